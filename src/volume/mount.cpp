#include "volume/mount.h"
#include "common/activity.h"

#include "common/le.h"
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

std::uint64_t FatTotal(Bytes b) {
  // A non-zero 16-bit count is the count (the 32-bit field is then unused).
  const std::uint16_t small = LoadLe16(b, 19);
  return small != 0 ? small : LoadLe32(b, 32);
}

class Mounter {
 public:
  Mounter(SectorDevice& d, Ui& ui, const MountRequest& r, const OpenedVolume& opened, MountedVolume& out)
      : d_(d), ui_(ui), r_(r), opened_(opened), out_(out) {}
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

  SectorDevice& d_;
  Ui& ui_;
  const MountRequest& r_;
  const OpenedVolume& opened_;
  MountedVolume& out_;
};

void Mounter::Fat1216() {
  const Bytes b = Boot();
  const std::uint16_t reserved = LoadLe16(b, 14);
  const std::uint8_t fats = LoadU8(b, 16);
  const std::uint16_t spf = LoadLe16(b, 22);
  const std::uint32_t spc = std::max<std::uint32_t>(1, LoadU8(b, 13));
  out_.fatCount = fats;
  out_.firstFatStart = reserved;
  out_.fatStart = reserved + (fats == 2 ? spf : 0u);
  out_.sectorsPerFat = spf;
  out_.rootDirSector = out_.fatStart + spf;
  out_.rootEntries = LoadLe16(b, 17);
  const std::uint64_t dataStart = out_.rootDirSector + std::uint64_t{out_.rootEntries} * 32 / d_.sectorSize;
  const std::uint64_t total = d_.fsType == FsType::Fat12 ? LoadLe16(b, 19) : FatTotal(b);
  out_.totalSectors = total;
  d_.sectorsPerCluster = spc;
  d_.dataStart = dataStart;
  d_.clusterBase = static_cast<std::int64_t>(dataStart) - 2 * static_cast<std::int64_t>(spc);
  d_.lastCluster = total > dataStart ? ClampU32((total - dataStart) / spc + 1) : 1;
}

void Mounter::Fat32() {
  // A boot sector without sizes: try the fallback copies, the last one as it stands.
  for (std::uint64_t at : kFat32BootFallbacks) {
    if (LoadU8(Boot(), 13) != 0 && LoadLe16(Boot(), 11) != 0) break;
    std::vector<std::uint8_t> sector(std::max<std::size_t>(d_.sectorSize, 512));
    if (d_.ReadSectors(at, sector, 1) != ReadOk) continue;
    out_.bootSector = sector;
    out_.bootSectorAt = at;
  }
  const Bytes b = Boot();
  if (LoadU8(b, 13) == 0 || LoadLe16(b, 11) == 0) out_.damaged = true;  // mounted with safe sizes
  const std::uint32_t spc = std::max<std::uint32_t>(1, LoadU8(b, 13));
  const std::uint16_t reserved = LoadLe16(b, 14);
  const std::uint8_t fats = LoadU8(b, 16);
  const std::uint32_t spf = LoadLe32(b, 36);
  out_.fatCount = fats;
  out_.firstFatStart = reserved;
  out_.fatStart = ClampU32(std::uint64_t{reserved} + (fats == 2 ? spf : 0u));
  out_.sectorsPerFat = spf;
  const std::uint64_t dataStart = std::uint64_t{out_.fatStart} + spf;
  const std::uint64_t total = LoadLe32(b, 32);
  out_.totalSectors = total;
  d_.sectorsPerCluster = spc;
  d_.dataStart = dataStart;
  d_.clusterBase = static_cast<std::int64_t>(dataStart) - 2 * static_cast<std::int64_t>(spc);
  d_.rootCluster = LoadLe32(b, 44);
  d_.lastCluster = total > dataStart ? ClampU32((total - dataStart) / spc + 1) : 1;
}

void Mounter::Ntfs() {
  const Bytes b = Boot();
  const std::uint16_t bps = LoadLe16(b, 11);
  if (IsSaneSectorSize(bps)) d_.sectorSize = bps;
  std::uint32_t spc = LoadU8(b, 13);
  // Clusters above 64 KiB are stored as a negative power of two.
  if (spc > 0x80) spc = (256 - spc) <= 20 ? 1u << (256 - spc) : 1;
  if (spc == 0) spc = 1;
  const std::uint64_t total = LoadLe64(b, 40);
  out_.totalSectors = total;
  d_.sectorsPerCluster = spc;
  d_.dataStart = 2;
  d_.clusterBase = 0;
  d_.lastCluster = total / spc > 0 ? ClampU32(total / spc - 1) : 0;
  const std::uint64_t mftCluster = LoadLe64(b, 48);
  const std::uint64_t mirrorCluster = LoadLe64(b, 56);
  out_.mftStartSector = mftCluster < (1ull << 48) ? mftCluster * spc : kAllOnes;
  out_.mftMirrorSector = mirrorCluster < (1ull << 48) ? mirrorCluster * spc : kAllOnes;
  out_.mftRecordSize = NtfsRecordSize(static_cast<std::int8_t>(LoadU8(b, 64)), spc, d_.sectorSize);
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
  if (!BytesEqual(record, 0, "FILE") || !ApplyNtfsFixups(record, std::min<std::uint32_t>(512, d_.sectorSize))) return;
  static constexpr std::uint8_t kMftName[] = {'$', 0, 'M', 0, 'F', 0, 'T', 0};
  out_.mftUsable = std::search(record.begin(), record.end(), std::begin(kMftName), std::end(kMftName)) != record.end();
}

void Mounter::Exfat() {
  const Bytes b = Boot();
  const unsigned spcShift = std::min<unsigned>(LoadU8(b, 109), 25);
  const std::uint32_t spc = 1u << spcShift;
  const std::uint32_t heap = LoadLe32(b, 88);
  d_.sectorsPerCluster = spc;
  d_.dataStart = heap;
  d_.clusterBase = static_cast<std::int64_t>(heap) - 2 * static_cast<std::int64_t>(spc);
  d_.rootCluster = LoadLe32(b, 96);
  d_.clusterCount = LoadLe64(b, 72) / spc;
  out_.totalSectors = LoadLe64(b, 72);
  out_.fatCount = LoadU8(b, 110);
  out_.firstFatStart = LoadLe32(b, 80);
  out_.sectorsPerFat = LoadLe32(b, 84);
  out_.fatStart = out_.firstFatStart + (out_.fatCount == 2 ? out_.sectorsPerFat : 0u);
  // Cluster numbers start at 2: the last one is the heap's count + 1.
  d_.lastCluster = ClampU32(std::uint64_t{LoadLe32(b, 92)} + 1);
}

void Mounter::Raw() {
  const std::uint64_t total = KnownVolumeSectors(d_, r_.partitionCount);
  d_.fsType = FsType::Ntfs;
  out_.damaged = true;
  out_.mftRecordSize = kDamagedRecordSize;
  d_.sectorsPerCluster = 1;
  d_.dataStart = 0;
  d_.clusterBase = 0;
  out_.totalSectors = total ? total : kAllOnes;
  d_.lastCluster = total ? ClampU32(total - 1) : ClampU32(kAllOnes);
}

void Mounter::DamagedNtfs() {
  d_.fsType = FsType::Ntfs;
  out_.damaged = true;
  out_.mftRecordSize = kDamagedRecordSize;
  d_.dataStart = 0;
  d_.clusterBase = 0;
  std::uint64_t total = KnownVolumeSectors(d_, r_.partitionCount);
  if (r_.settings.manualCount != 0) {
    d_.clusterBase = static_cast<std::int64_t>(r_.settings.manualStart);
    d_.dataStart = r_.settings.manualStart + 2;
    total = r_.settings.manualCount;
  }
  out_.totalSectors = total ? total : kAllOnes;
  const std::uint64_t clusters = (total ? total : kU32Max) / d_.sectorsPerCluster;
  d_.lastCluster = clusters > 0 ? ClampU32(clusters - 1) : 0;
}

void Mounter::Fallback(bool keepExfat) {
  d_.fsType = keepExfat ? FsType::Exfat : FsType::Ntfs;
  out_.damaged = true;
  d_.dataStart = 0;
  d_.clusterBase = 0;
  d_.sectorsPerCluster = std::max<std::uint32_t>(1, LoadU8(Boot(), 13));
  out_.mftRecordSize = kDamagedRecordSize;
  // Unbounded: the partition's own count, when known, bounds the volume in Finish.
  out_.totalSectors = kAllOnes;
  d_.lastCluster = ClampU32(kU32Max / d_.sectorsPerCluster - 1);
}

bool Mounter::Overridden() {
  const DriveSettings& s = r_.settings;
  d_.fsType = s.ChosenFs();
  const std::uint32_t chosen = ClusterChoiceSectors(s.clusterChoice, d_.sectorSize);
  d_.sectorsPerCluster =
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
  d_.fsType = r_.request;
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
  d_.sectorsPerCluster =
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
  d_.bytesPerCluster = ClampU32(spc * d_.sectorSize);
  if (!d_.buffers.ResizeForCluster(d_.bytesPerCluster)) return false;
  std::uint64_t last;
  if (ntfsFormula) {
    last = (std::uint64_t{d_.lastCluster} + 1) * spc - 1;
  } else {
    // lastCluster x spc + clusterBase - 1 + spc, without the negative base.
    last = d_.dataStart + (std::uint64_t{std::max<std::uint32_t>(d_.lastCluster, 1)} - 1) * spc - 1;
  }
  if (r_.partitionCount) last = r_.partitionCount - 1;
  // Nothing past the device's end can be read; keep the bound honest for scans.
  if (d_.deviceSectors != kAllOnes && d_.deviceSectors > d_.volumeStart)
    last = std::min(last, d_.deviceSectors - d_.volumeStart - 1);
  d_.volumeLastSector = last;
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
    d_.fsType = opened_.type;
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

std::uint32_t NtfsRecordSize(std::int8_t raw, std::uint32_t sectorsPerCluster, std::uint32_t bytesPerSector) {
  if (raw < 0) return -raw <= 16 ? 1u << (-raw) : 0;
  const std::uint64_t size = static_cast<std::uint64_t>(raw) * sectorsPerCluster * bytesPerSector;
  return size <= (1u << 20) ? static_cast<std::uint32_t>(size) : 0;
}

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
