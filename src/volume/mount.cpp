#include "volume/mount.h"
#include "common/activity.h"

#include "common/le.h"
#include "fs/exfat/exfat_format.h"
#include "fs/fat/fat_format.h"
#include "fs/ntfs/ntfs_format.h"
#include "resources/strings.h"
#include "volume/cluster_defaults.h"
#include "volume/identify.h"
#include "volume/volume_label.h"

#include <algorithm>
#include <limits>

namespace kestrova {
namespace {

constexpr std::uint32_t kDamagedRecordSize = 1024;
constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

std::uint32_t ClampU32(std::uint64_t v) { return static_cast<std::uint32_t>(std::min(v, kU32Max)); }

bool IsSaneSectorSize(std::uint32_t bps) { return bps >= 256 && bps <= 4096 && (bps & (bps - 1)) == 0; }

// The volume's size as far as the open knows it.
std::uint64_t KnownVolumeSectors(const SectorDevice& d, std::uint64_t partitionCount) {
  if (partitionCount) return partitionCount;
  if (d.volumeSectorsHint) return d.volumeSectorsHint;
  if (d.volumeLastSector != kAllOnes) return d.volumeLastSector + 1;
  if (d.deviceSectors != kAllOnes && d.deviceSectors > d.volumeStart) return d.deviceSectors - d.volumeStart;
  return 0;
}

// Sectors the device holds from the volume's start on; kAllOnes when unknown.
std::uint64_t DeviceHolds(const SectorDevice& d) {
  if (d.deviceSectors == kAllOnes) return kAllOnes;
  return d.deviceSectors > d.volumeStart ? d.deviceSectors - d.volumeStart : 0;
}

// The last cluster number of a FAT-style volume: what the boot sector's count
// gives, no more than the device holds (a hostile count must not size tables
// or walks) and no more than the table width can address.
std::uint32_t BoundedLastCluster(const SectorDevice& d, std::uint64_t total, std::uint64_t dataStart,
                                 std::uint32_t spc, std::uint32_t widthMax) {
  total = std::min(total, DeviceHolds(d));
  if (total <= dataStart) return 1;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>((total - dataStart) / spc + 1, widthMax));
}

class Mounter {
 public:
  Mounter(SectorDevice& d, Ui& ui, const MountRequest& r, const OpenedVolume& opened, MountedVolume& out)
      : d_(d), g_(d.GeometryForMount()), ui_(ui), r_(r), opened_(opened), out_(out) {}
  bool Run();

 private:
  Bytes Boot() const { return out_.bootSector; }
  bool Hook(const std::function<bool(SectorDevice&, MountedVolume&)> MountHooks::*which) {
    return r_.hooks && (r_.hooks->*which) && (r_.hooks->*which)(d_, out_);
  }
  void Fat1216();
  void Fat32();
  void Ntfs();
  void Exfat();
  void Raw();
  bool Overridden();
  bool Forced();
  void Fallback(bool keepExfat);
  void DamagedNtfs();
  bool Finish(bool ntfsFormula);
  // The NTFS-style bound: clusters 0..lastCluster64_, kept in 64 bits so a
  // whole device beyond 2^32 sectors stays whole (lastCluster itself is 32-bit).
  void SetLastCluster64(std::uint64_t last) {
    lastCluster64_ = last;
    g_.lastCluster = ClampU32(last);
  }

  SectorDevice& d_;
  VolumeGeometry& g_;  // the mount is the geometry's writer
  Ui& ui_;
  const MountRequest& r_;
  const OpenedVolume& opened_;
  MountedVolume& out_;
  std::uint64_t lastCluster64_ = 0;
};

void Mounter::Fat1216() {
  const FatBootSector b = ParseFatBootSector(Boot()).value_or(FatBootSector{});
  const std::uint16_t spf = b.sectorsPerFat16;
  const std::uint32_t spc = std::max<std::uint32_t>(1, b.sectorsPerCluster);
  out_.fatCount = b.fatCount;
  out_.firstFatStart = b.reservedSectors;
  out_.fatStart = static_cast<std::uint32_t>(b.LastFatStart(spf));
  out_.sectorsPerFat = spf;
  out_.rootDirSector = out_.fatStart + spf;
  out_.rootEntries = b.rootEntries;
  const std::uint64_t dataStart = out_.rootDirSector + std::uint64_t{out_.rootEntries} * 32 / d_.sectorSize;
  const std::uint64_t total = b.TotalSectors();
  out_.totalSectors = total;
  g_.sectorsPerCluster = spc;
  g_.dataStart = dataStart;
  g_.clusterBase = static_cast<std::int64_t>(dataStart) - 2 * static_cast<std::int64_t>(spc);
  g_.lastCluster = BoundedLastCluster(d_, total, dataStart, spc,
                                      d_.fsType == FsType::Fat12 ? kFat12MaxCluster : kFat16MaxCluster);
}

void Mounter::Fat32() {
  // A boot sector without sizes: try the fallback copies, the last one as it stands.
  auto sized = [this] {
    const auto b = ParseFatBootSector(Boot());
    return b && b->sectorsPerCluster != 0 && b->bytesPerSector != 0;
  };
  for (std::uint64_t at : kFat32BootFallbacks) {
    if (sized()) break;
    std::vector<std::uint8_t> sector(std::max<std::size_t>(d_.sectorSize, 512));
    if (d_.ReadSectors(at, sector, 1) != ReadOk) continue;
    out_.bootSector = sector;
    out_.bootSectorAt = at;
  }
  if (!sized()) out_.damaged = true;  // mounted with safe sizes
  const FatBootSector b = ParseFatBootSector(Boot()).value_or(FatBootSector{});
  const std::uint32_t spc = std::max<std::uint32_t>(1, b.sectorsPerCluster);
  const std::uint32_t spf = b.sectorsPerFat32;
  out_.fatCount = b.fatCount;
  out_.firstFatStart = b.reservedSectors;
  out_.fatStart = ClampU32(b.LastFatStart(spf));
  out_.sectorsPerFat = spf;
  const std::uint64_t dataStart = std::uint64_t{out_.fatStart} + spf;
  // The one count rule: mkfs puts small FAT32 volumes' counts in the 16-bit field.
  const std::uint64_t total = b.TotalSectors();
  out_.totalSectors = total;
  g_.sectorsPerCluster = spc;
  g_.dataStart = dataStart;
  g_.clusterBase = static_cast<std::int64_t>(dataStart) - 2 * static_cast<std::int64_t>(spc);
  g_.rootCluster = b.rootCluster;
  g_.lastCluster = BoundedLastCluster(d_, total, dataStart, spc, kFat32MaxCluster);
}

void Mounter::Ntfs() {
  const NtfsBootSector b = ParseNtfsBootSector(Boot()).value_or(NtfsBootSector{});
  const std::uint32_t fsSectorSize = IsSaneSectorSize(b.bytesPerSector) ? b.bytesPerSector : d_.sectorSize;
  const std::uint32_t fsSpc = b.SectorsPerCluster();
  // Everything is kept in the device's sectors: the start, the device's length
  // and a partition's count are in them. A file system with larger sectors (4 KiB
  // NTFS in a 512-byte image) has its numbers scaled; a cluster smaller than the
  // device's sector cannot be addressed that way and takes the file system's size.
  std::uint64_t scale = 1;
  std::uint32_t spc = fsSpc;
  const std::uint64_t clusterBytes = std::uint64_t{fsSpc} * fsSectorSize;
  if (fsSectorSize != d_.sectorSize) {
    if (fsSectorSize > d_.sectorSize && fsSectorSize % d_.sectorSize == 0 && clusterBytes / d_.sectorSize <= kU32Max) {
      scale = fsSectorSize / d_.sectorSize;
      spc = static_cast<std::uint32_t>(clusterBytes / d_.sectorSize);
    } else {
      g_.sectorSize = fsSectorSize;
    }
  }
  const std::uint64_t total =
      b.totalSectors > std::numeric_limits<std::uint64_t>::max() / scale ? kAllOnes : b.totalSectors * scale;
  out_.totalSectors = total;
  g_.sectorsPerCluster = spc;
  g_.dataStart = 2;
  g_.clusterBase = 0;
  SetLastCluster64(total / spc > 0 ? total / spc - 1 : 0);
  out_.mftStartSector = b.mftCluster < kNtfsMaxClusterNumber ? b.mftCluster * spc : kAllOnes;
  out_.mftMirrorSector = b.mirrorCluster < kNtfsMaxClusterNumber ? b.mirrorCluster * spc : kAllOnes;
  out_.mftRecordSize = NtfsRecordSize(b.recordSizeRaw, fsSpc, fsSectorSize);
  if (out_.mftRecordSize == 0) {
    out_.mftRecordSize = kDamagedRecordSize;
    return;  // no usable record size: the MFT is found by scanning
  }
  // Record 0 must name "$MFT", or the reader scans for records instead.
  if (out_.mftStartSector == kAllOnes) return;
  const std::uint32_t sectors = std::max<std::uint32_t>(1, out_.mftRecordSize / d_.sectorSize);
  std::vector<std::uint8_t> record(std::size_t{sectors} * d_.sectorSize);
  if (d_.ReadSectors(out_.mftStartSector, record, sectors) != ReadOk) return;
  record.resize(out_.mftRecordSize);
  if (!ParseNtfsRecordHeader(record) || !ApplyNtfsRecordFixups(record).intact) return;
  static constexpr std::uint8_t kMftName[] = {'$', 0, 'M', 0, 'F', 0, 'T', 0};
  out_.mftUsable = std::search(record.begin(), record.end(), std::begin(kMftName), std::end(kMftName)) != record.end();
}

void Mounter::Exfat() {
  const ExfatBootSector b = ParseExfatBootSector(Boot()).value_or(ExfatBootSector{});
  const std::uint32_t spc = b.SectorsPerCluster();
  const std::uint32_t heap = b.heapOffset;
  g_.sectorsPerCluster = spc;
  g_.dataStart = heap;
  g_.clusterBase = static_cast<std::int64_t>(heap) - 2 * static_cast<std::int64_t>(spc);
  g_.rootCluster = b.rootCluster;
  g_.clusterCount = b.volumeLength / spc;
  out_.totalSectors = b.volumeLength;
  out_.fatCount = b.fatCount;
  out_.firstFatStart = b.fatOffset;
  out_.sectorsPerFat = b.fatLength;
  out_.fatStart = ClampU32(b.ActiveFatStart());
  // Cluster numbers start at 2: the last one is the heap's count + 1, no more
  // clusters than the device holds after the heap's start.
  std::uint64_t count = std::min<std::uint32_t>(b.clusterCount, kExfatMaxClusterCount);
  const std::uint64_t holds = DeviceHolds(d_);
  if (holds != kAllOnes) count = std::min<std::uint64_t>(count, holds > heap ? (holds - heap) / spc : 0);
  g_.lastCluster = ClampU32(count + 1);
}

void Mounter::Raw() {
  const std::uint64_t total = KnownVolumeSectors(d_, r_.partitionCount);
  g_.fsType = FsType::Ntfs;
  out_.damaged = true;
  out_.mftRecordSize = kDamagedRecordSize;
  g_.sectorsPerCluster = 1;
  g_.dataStart = 0;
  g_.clusterBase = 0;
  out_.totalSectors = total ? total : kAllOnes;
  SetLastCluster64(total ? total - 1 : kU32Max);
}

void Mounter::DamagedNtfs() {
  g_.fsType = FsType::Ntfs;
  out_.damaged = true;
  out_.mftRecordSize = kDamagedRecordSize;
  g_.dataStart = 0;
  g_.clusterBase = 0;
  std::uint64_t total = KnownVolumeSectors(d_, r_.partitionCount);
  if (r_.settings.manualCount != 0) {
    g_.clusterBase = static_cast<std::int64_t>(r_.settings.manualStart);
    g_.dataStart = r_.settings.manualStart + 2;
    total = r_.settings.manualCount;
  }
  out_.totalSectors = total ? total : kAllOnes;
  const std::uint64_t clusters = (total ? total : kU32Max) / std::max<std::uint32_t>(1, d_.sectorsPerCluster);
  SetLastCluster64(clusters > 0 ? clusters - 1 : 0);
}

void Mounter::Fallback(bool keepExfat) {
  g_.fsType = keepExfat ? FsType::Exfat : FsType::Ntfs;
  out_.damaged = true;
  g_.dataStart = 0;
  g_.clusterBase = 0;
  g_.sectorsPerCluster = std::max<std::uint32_t>(1, ParseFatBootSector(Boot()).value_or(FatBootSector{}).sectorsPerCluster);
  out_.mftRecordSize = kDamagedRecordSize;
  // Unbounded: the partition's own count, when known, bounds the volume in Finish.
  out_.totalSectors = kAllOnes;
  SetLastCluster64(kU32Max / d_.sectorsPerCluster - 1);
}

bool Mounter::Overridden() {
  const DriveSettings& s = r_.settings;
  g_.fsType = s.ChosenFs();
  const std::uint32_t chosen = ClusterChoiceSectors(s.clusterChoice, d_.sectorSize);
  g_.sectorsPerCluster =
      chosen ? chosen : DefaultSectorsPerCluster(d_.fsType, KnownVolumeSectors(d_, r_.partitionCount), d_.sectorSize);
  out_.damaged = s.Damaged();
  switch (d_.fsType) {
    case FsType::Fat16:
      if (!Hook(&MountHooks::locateFat16)) {
        ui_.MessageBox(Text(StringId::CantLocalizeFat16), Text(StringId::Caption), MsgIcon::Warning, MsgButtons::Ok);
        Fallback(false);
      }
      break;
    case FsType::Fat32:
      if (!Hook(&MountHooks::locateFat32)) {
        ui_.MessageBox(Text(StringId::CantLocalizeFat32), Text(StringId::Caption), MsgIcon::Warning, MsgButtons::Ok);
        Fallback(false);
      }
      break;
    case FsType::Exfat:
      if (!Hook(&MountHooks::locateExfat)) Fallback(true);
      break;
    default:
      DamagedNtfs();
      break;
  }
  return true;
}

bool Mounter::Forced() {
  g_.fsType = r_.request;
  // The boot sector agrees with the forced type: its geometry is used.
  if (QuickFsTest(Boot()) == r_.request) {
    switch (r_.request) {
      case FsType::Fat12:
      case FsType::Fat16: Fat1216(); return true;
      case FsType::Fat32: Fat32(); return true;
      case FsType::Ntfs: Ntfs(); return true;
      case FsType::Exfat: Exfat(); return true;
      default: break;
    }
  }
  g_.sectorsPerCluster =
      DefaultSectorsPerCluster(r_.request, KnownVolumeSectors(d_, r_.partitionCount), d_.sectorSize);
  switch (r_.request) {
    case FsType::Fat16: return Hook(&MountHooks::locateFat16);
    case FsType::Fat32: return Hook(&MountHooks::locateFat32);
    case FsType::Exfat: return Hook(&MountHooks::locateExfat);
    case FsType::Ntfs: DamagedNtfs(); return true;
    case FsType::RawOther: Raw(); return true;
    default: return false;  // nothing to search for: not found
  }
}

bool Mounter::Finish(bool ntfsFormula) {
  const std::uint64_t spc = d_.sectorsPerCluster;
  g_.bytesPerCluster = ClampU32(spc * d_.sectorSize);
  if (!d_.buffers.ResizeForCluster(d_.bytesPerCluster)) return false;
  std::uint64_t last;
  if (ntfsFormula) {
    // A located or forced volume may have set only the 32-bit field.
    const std::uint64_t lastCluster = std::max<std::uint64_t>(lastCluster64_, d_.lastCluster);
    last = lastCluster >= kAllOnes / spc ? kAllOnes - 1 : (lastCluster + 1) * spc - 1;
  } else {
    // lastCluster x spc + clusterBase - 1 + spc, without the negative base.
    last = d_.dataStart + (std::uint64_t{std::max<std::uint32_t>(d_.lastCluster, 1)} - 1) * spc - 1;
  }
  if (r_.partitionCount) last = r_.partitionCount - 1;
  // Nothing past the device's end can be read; keep the bound honest for scans.
  if (d_.deviceSectors != kAllOnes && d_.deviceSectors > d_.volumeStart)
    last = std::min(last, d_.deviceSectors - d_.volumeStart - 1);
  g_.volumeLastSector = last;
  return true;
}

bool Mounter::Run() {
  out_ = MountedVolume{};
  out_.depth = r_.depth;
  out_.bootSector = opened_.raw.bootSector;
  out_.bootSectorAt = opened_.bootSectorAt;
  if (out_.bootSector.size() < 512) out_.bootSector.resize(512, 0);

  bool ok = true;
  if (r_.request != FsType::Detect) {
    ok = Forced();
  } else if (r_.settings.overrideFs) {
    ok = Overridden();
  } else {
    g_.fsType = opened_.type;
    out_.damaged = r_.settings.Damaged();
    switch (opened_.type) {
      case FsType::Fat12:
      case FsType::Fat16: Fat1216(); break;
      case FsType::Fat32: Fat32(); break;
      case FsType::Ntfs: Ntfs(); break;
      case FsType::Exfat: Exfat(); break;
      default: Raw(); break;
    }
  }
  if (!ok) {
    d_.Close();
    return false;
  }
  out_.type = d_.fsType;
  if (!Finish(d_.fsType == FsType::Ntfs)) {
    d_.Close();
    return false;
  }
  if (r_.depth >= 1 && r_.hooks && r_.hooks->loadTables && !r_.hooks->loadTables(d_, out_)) {
    d_.Close();
    return false;
  }
  return true;
}

}  // namespace

bool MountVolume(SectorDevice& device, Ui& ui, const MountRequest& request, const OpenedVolume& opened,
                 MountedVolume& out) {
  ActivityMark activity(Fn::MountVolume);
  return Mounter(device, ui, request, opened, out).Run();
}

bool OpenAndMountEntry(SectorDevice& device, const DriveTables& tables, Ui& ui, DriveEntry& entry,
                       const std::string& imagePath, const std::string& volumePath, const MountRequest& request,
                       OpenedVolume& opened, MountedVolume& mounted) {
  if (!OpenEntry(device, tables, ui, entry, imagePath, volumePath, request.request, opened)) return false;
  MountRequest r = request;
  if (r.partitionCount == 0 && !entry.wholeDrive) r.partitionCount = entry.sectors;
  return MountVolume(device, ui, r, opened, mounted);
}

}  // namespace kestrova
