#include "volume/identify.h"
#include "common/activity.h"

#include "common/le.h"
#include "common/text.h"
#include "fs/exfat/exfat_format.h"
#include "fs/fat/fat_format.h"
#include "fs/ntfs/ntfs_format.h"
#include "volume/fs_names.h"
#include "volume/volume_label.h"
#include "volume/volume_reader.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace kestrova {
namespace {

enum class Found { Exfat, Fat32, Fat12, Fat16, Ntfs, Hpfs, Ext, Reiser, Swap, Unknown };

FatBootSector Fat(Bytes b) { return ParseFatBootSector(b).value_or(FatBootSector{}); }
ExfatBootSector Exfat(Bytes b) { return ParseExfatBootSector(b).value_or(ExfatBootSector{}); }
NtfsBootSector Ntfs(Bytes b) { return ParseNtfsBootSector(b).value_or(NtfsBootSector{}); }

bool IsExfatBoot(Bytes b) { return Exfat(b).signature; }
bool IsFat32Boot(Bytes b) { return Fat(b).fat32String; }
bool IsNtfsBoot(Bytes b) { return Ntfs(b).signature; }

std::u16string LabelText(const std::array<std::uint8_t, 11>& field) { return Latin1Field(field); }

struct Scratch {
  std::vector<std::uint8_t> boot;
  bool bootDamaged = false;
};

class Identifier {
 public:
  Identifier(IdentifyContext& ctx, std::uint64_t start, DriveEntry& result)
      : ctx_(ctx), dev_(ctx.device), start_(start), result_(result), reader_(ctx.device, start) {}

  bool Run(const MbrEntry* table, std::span<const std::uint8_t> preRead, const GptEntry* gpt);

 private:
  Found Test(Bytes boot);
  bool ReadAbs(std::uint64_t sector, std::vector<std::uint8_t>& out) { return reader_.ReadSector(sector, out); }
  bool DetailExfat(std::uint64_t& fsCount);
  bool DetailFat32(std::uint64_t& fsCount);
  bool DetailFat1216(bool fat12, std::uint64_t& fsCount);
  bool DetailNtfs(std::uint64_t tableCount, std::uint64_t& fsCount);
  void MatchSystemVolume();

  IdentifyContext& ctx_;
  SectorDevice& dev_;
  std::uint64_t start_;
  DriveEntry& result_;
  VolumeReader reader_;
  Scratch s_;
  // Filled by the Linux tests that read beyond the boot sector.
  std::u16string extName_, extLabel_;
  std::uint64_t extCount_ = 0;
  std::u16string reiserLabel_;
  std::uint64_t reiserCount_ = 0;
  std::u16string swapName_;
};

Found Identifier::Test(Bytes b) {
  const ExfatBootSector exfat = Exfat(b);
  const FatBootSector fat = Fat(b);
  if (exfat.signature && exfat.GeometrySane()) return Found::Exfat;
  if (fat.fat32String && fat.GeometrySane()) return Found::Fat32;
  if (fat.fat12String && fat.GeometrySane()) return Found::Fat12;
  if (fat.fat16String && fat.GeometrySane()) return Found::Fat16;
  if (IsNtfsBoot(b)) return Found::Ntfs;
  if (fat.hpfsString) return Found::Hpfs;

  std::uint8_t sb[1024];
  if (reader_.Read(1024, sb) && LoadLe16(sb, 56) == 0xEF53 && LoadLe16(sb, 58) <= 2 && LoadLe16(sb, 60) <= 3) {
    const std::uint32_t logBlock = LoadLe32(sb, 24);
    if (logBlock <= 6) {
      const std::uint32_t compat = LoadLe32(sb, 92);
      extName_ = compat == 0 ? u"Ext2" : compat == 4 ? u"Ext3" : u"Ext";
      extLabel_ = Latin1Field(std::span<const std::uint8_t>(sb + 120, 16));
      extCount_ = static_cast<std::uint64_t>(LoadLe32(sb, 4)) * (1024ull << logBlock) / 512;
      return Found::Ext;
    }
  }
  // "ReIsErFs" is the 3.5 format; 3.6 writes "ReIsEr2Fs" and a relocated or
  // non-standard journal "ReIsEr3Fs". All three are ReiserFS.
  if (reader_.Read(65536, sb) && (BytesEqual(sb, 52, std::string_view("ReIsErFs\0\0", 10)) ||
                                  BytesEqual(sb, 52, std::string_view("ReIsEr2Fs\0", 10)) ||
                                  BytesEqual(sb, 52, std::string_view("ReIsEr3Fs\0", 10)))) {
    reiserLabel_ = Latin1Field(std::span<const std::uint8_t>(sb + 100, 16));
    reiserCount_ = static_cast<std::uint64_t>(LoadLe32(sb, 0)) * LoadLe16(sb, 44) / 512;
    return Found::Reiser;
  }
  std::uint8_t tail[10];
  if (reader_.Read(4096 - 10, tail)) {
    if (BytesEqual(tail, 0, "SWAPSPACE2")) {
      swapName_ = u"Linux Swap 2";
      return Found::Swap;
    }
    if (BytesEqual(tail, 0, "SWAP-SPACE")) {
      swapName_ = u"Linux Swap";
      return Found::Swap;
    }
  }
  return Found::Unknown;
}

bool Identifier::DetailExfat(std::uint64_t& fsCount) {
  std::vector<std::uint8_t> backup;
  if (ReadAbs(start_ + 12, backup) && IsExfatBoot(backup) && Exfat(backup).GeometrySane() &&
      Exfat(backup).serial == Exfat(s_.boot).serial &&
      std::memcmp(backup.data(), s_.boot.data(), kExfatCompareBytes) != 0) {
    s_.boot = backup;
    s_.bootDamaged = true;
  }
  const ExfatBootSector b = Exfat(s_.boot);
  const std::uint32_t bps = b.BytesPerSector();
  const std::uint32_t spc = b.SectorsPerCluster();
  const std::uint32_t fatOffset = b.fatOffset;
  const std::uint32_t heap = b.heapOffset;
  const std::uint64_t length = b.volumeLength;
  result_.sectorSize = bps;
  result_.serial = b.serial;

  // A table start that points at the backup region: the FAT then sits 12 sectors earlier.
  std::vector<std::uint8_t> fat;
  if (ReadAbs(start_ + fatOffset, fat) && LoadLe32(fat, 0) != 0xFFFFFFF8 && start_ + fatOffset >= 12 &&
      start_ >= 12 && ReadAbs(start_ + fatOffset - 12, fat) && LoadLe32(fat, 0) == 0xFFFFFFF8) {
    start_ -= 12;
    reader_.set_start(start_);
  }
  ExfatRootGeometry g;
  g.bytesPerSector = bps;
  g.sectorsPerCluster = spc;
  g.fatStartSector = fatOffset;
  g.heapStartSector = heap;
  g.rootCluster = b.rootCluster;
  g.clusterCount = length / spc;
  if (auto label = ReadExfatRootLabel(reader_, g); label && !label->empty()) SetEntryLabel(result_, *label);
  fsCount = length;
  return true;
}

bool Identifier::DetailFat32(std::uint64_t& fsCount) {
  std::vector<std::uint8_t> backup;
  if (ReadAbs(start_ + 6, backup) && IsFat32Boot(backup)) {
    // The copy may differ legitimately in the hidden-sector count and byte 65.
    std::memcpy(backup.data() + kFatHiddenSectorsOffset, s_.boot.data() + kFatHiddenSectorsOffset, 4);
    backup[kFat32DirtyByteOffset] = s_.boot[kFat32DirtyByteOffset];
    if (Fat(backup).GeometrySane() && Fat(backup).serial32 == Fat(s_.boot).serial32 &&
        std::memcmp(backup.data(), s_.boot.data(), kFatCompareBytes) != 0) {
      s_.boot = backup;
      s_.bootDamaged = true;
    }
  }
  const FatBootSector b = Fat(s_.boot);
  const std::uint16_t bps = b.bytesPerSector;
  const std::uint8_t spc = b.sectorsPerCluster;
  const std::uint16_t reserved = b.reservedSectors;
  const std::uint8_t fats = b.fatCount;
  const std::uint32_t spf = b.sectorsPerFat32;
  result_.sectorSize = bps;
  result_.serial = b.serial32;
  const std::u16string bootLabel = LabelText(b.label32);
  if (!bootLabel.empty()) SetEntryLabel(result_, bootLabel);

  const std::uint64_t dataStart = reserved + static_cast<std::uint64_t>(spf) * (fats == 2 ? 2 : 1);
  // A table start 6 sectors too far lands on the backup boot sector; the sector
  // 6 before the first FAT then holds the FAT's media bytes (F8 .. .. 0F).
  const std::int64_t probe = static_cast<std::int64_t>(start_) + reserved + (fats == 2 ? spf : 0) -
                             static_cast<std::int64_t>(spf) - 6;
  std::vector<std::uint8_t> fat;
  if (start_ >= 6 && probe >= 0 && ReadAbs(static_cast<std::uint64_t>(probe), fat) && fat[0] == 0xF8 && fat[3] == 0x0F) {
    start_ -= 6;
    reader_.set_start(start_);
  }
  FatRootGeometry g;
  g.bytesPerSector = bps;
  g.sectorsPerCluster = spc;
  g.fatStartSector = reserved;
  g.dataStartSector = dataStart;
  g.rootCluster = b.rootCluster;
  if (auto label = ReadFatRootLabel(reader_, g); label && !label->empty()) SetEntryLabel(result_, *label);
  fsCount = b.TotalSectors();
  return true;
}

bool Identifier::DetailFat1216(bool fat12, std::uint64_t& fsCount) {
  const FatBootSector b = Fat(s_.boot);
  const std::uint16_t bps = b.bytesPerSector;
  result_.sectorSize = fat12 ? 512 : bps;
  result_.serial = b.serial16;
  const std::u16string bootLabel = LabelText(b.label16);
  SetEntryLabel(result_, !bootLabel.empty() ? bootLabel : fat12 ? u"N/A=FAT12" : u"NO NAME");
  const std::uint16_t reserved = b.reservedSectors;
  const std::uint8_t fats = b.fatCount;
  const std::uint16_t spf = b.sectorsPerFat16;
  FatRootGeometry g;
  g.bytesPerSector = bps;
  g.sectorsPerCluster = b.sectorsPerCluster;
  g.rootCluster = 0;
  g.rootSector = reserved + static_cast<std::uint64_t>(spf) * (fats == 2 ? 2 : 1);
  g.rootEntries = b.rootEntries;
  if (auto label = ReadFatRootLabel(reader_, g); label && !label->empty()) SetEntryLabel(result_, *label);
  fsCount = b.TotalSectors();
  return true;
}

bool Identifier::DetailNtfs(std::uint64_t tableCount, std::uint64_t& fsCount) {
  if (tableCount != 0) {
    std::vector<std::uint8_t> backup;
    if (ReadAbs(start_ + tableCount - 1, backup) && IsNtfsBoot(backup) &&
        Ntfs(backup).totalSectors == Ntfs(s_.boot).totalSectors && Ntfs(backup).serial == Ntfs(s_.boot).serial &&
        std::memcmp(backup.data(), s_.boot.data(), kNtfsCompareBytes) != 0) {
      s_.boot = backup;
      s_.bootDamaged = true;
    }
  }
  const NtfsBootSector b = Ntfs(s_.boot);
  const std::uint16_t bps = b.bytesPerSector;
  if (bps == 0 || !b.MediaWordValid()) return false;
  const std::uint32_t spc = b.SectorsPerCluster();
  result_.sectorSize = bps;
  result_.serial = static_cast<std::uint32_t>(b.serial);
  const std::uint32_t recordSize = b.RecordSize();
  // The label is optional: absurd record sizes or cluster numbers only skip it.
  if (recordSize != 0 && b.mftCluster < kNtfsMaxClusterNumber) {
    std::vector<std::uint8_t> record(recordSize);
    const std::uint64_t offset = b.mftCluster * spc * bps + 3ull * recordSize;
    if (reader_.Read(offset, record) && ApplyNtfsRecordFixups(record).intact) {
      if (auto label = NtfsVolumeNameInRecord(record); label && !label->empty()) SetEntryLabel(result_, *label);
    }
  }
  fsCount = b.totalSectors;
  // Sectors larger than the device's (4 KiB NTFS in a 512-byte image): the
  // entry counts in the device's sectors, as its start and the table do.
  const std::uint32_t deviceSector = std::max<std::uint32_t>(dev_.sectorSize, 512);
  if (bps > deviceSector && bps % deviceSector == 0) {
    result_.sectorSize = deviceSector;
    fsCount = fsCount > kAllOnes / (bps / deviceSector) ? kAllOnes : fsCount * (bps / deviceSector);
  }
  return true;
}

void Identifier::MatchSystemVolume() {
  if (!ctx_.systemVolumes) return;
  for (const SystemVolume& v : *ctx_.systemVolumes) {
    if (v.physicalDrive < 0 || v.physicalDrive != result_.drive || v.startSector != start_ ||
        v.serial != result_.serial)
      continue;
    // Linux has no letters: the mount point stands where the letter would be shown.
    if (!v.mountPoint.empty()) SetEntryLabel(result_, LabelWithMountPoint(EntryLabel(result_), v.mountPoint));
    result_.freeBytes = static_cast<double>(v.freeBytes);
    return;
  }
}

bool Identifier::Run(const MbrEntry* table, std::span<const std::uint8_t> preRead, const GptEntry* gpt) {
  result_ = MakeDriveEntry();
  result_.drive = ctx_.drive;
  std::uint64_t count = 0;
  if (gpt) {
    if (gpt->firstSector == 0 || gpt->lastSector == 0 || gpt->lastSector < gpt->firstSector) return false;
    count = gpt->lastSector - gpt->firstSector + 1;
  } else if (table) {
    if (table->type == kGptProtectiveType) return false;
    count = table->sectorCount;
  }
  if (table) {
    result_.startHead = table->startHead;
    result_.startSector = table->startSector;
    result_.startCylinder = table->startCylinder;
    result_.endHead = table->endHead;
    result_.endSector = table->endSector;
    result_.endCylinder = table->endCylinder;
    result_.partitionType = table->type;
  }
  const std::size_t ss = std::max<std::size_t>(dev_.sectorSize, 512);
  if (!preRead.empty()) {
    s_.boot.assign(ss, 0);
    std::copy_n(preRead.begin(), std::min(preRead.size(), ss), s_.boot.begin());
  } else if (!ReadAbs(start_, s_.boot)) {
    return false;
  }
  if (LoadLe16(s_.boot, 510) == 0xAA55 && std::all_of(s_.boot.begin(), s_.boot.begin() + 446, [](std::uint8_t x) { return x == 0; }))
    return false;  // a partition table, not a boot sector

  SetEntryFsName(result_, u"UNKNOWN");
  result_.fsKind = 0;  // set again below by whichever test recognises the volume
  SetEntryLabel(result_, u"NO NAME");
  result_.letter = '$';
  result_.sectorSize = 512;
  result_.serial = 0;

  Found found = Test(s_.boot);
  if (found == Found::Unknown && count != 0) {
    // One more pass with a backup boot sector, unless sector 63 holds NTFS (then
    // the table points at something else and the entry stays unknown).
    std::vector<std::uint8_t> probe;
    if (!(ReadAbs(start_ + 63, probe) && IsNtfsBoot(probe))) {
      std::vector<std::uint8_t> backup;
      if ((ReadAbs(start_ + count - 1, backup) && IsNtfsBoot(backup)) ||
          (ReadAbs(start_ + 6, backup) && IsFat32Boot(backup)) ||
          (ReadAbs(start_ + 2, backup) && IsFat32Boot(backup))) {
        s_.boot = backup;
        s_.bootDamaged = true;
        found = Test(s_.boot);
      }
    }
  }

  std::uint64_t fsCount = 0;
  std::uint64_t threshold = kFatCountThreshold;
  bool recognised = true;
  bool exactCount = false;  // exFAT takes its own length whatever the table says
  switch (found) {
    case Found::Exfat:
      SetEntryFsName(result_, u"EXFAT");
      result_.fsKind = kKindExfat;
      DetailExfat(fsCount);
      exactCount = true;
      break;
    case Found::Fat32:
      SetEntryFsName(result_, u"FAT32");
      result_.fsKind = kKindFat32;
      DetailFat32(fsCount);
      break;
    case Found::Fat12:
      SetEntryFsName(result_, u"FAT12");
      result_.fsKind = kKindFat12;
      DetailFat1216(true, fsCount);
      break;
    case Found::Fat16:
      SetEntryFsName(result_, u"FAT16");
      result_.fsKind = kKindFat16;
      DetailFat1216(false, fsCount);
      break;
    case Found::Ntfs:
      SetEntryFsName(result_, u"NTFS");
      result_.fsKind = kKindNtfs;
      if (!DetailNtfs(count, fsCount)) return false;
      threshold = kNtfsCountThreshold;
      break;
    case Found::Hpfs: {
      SetEntryFsName(result_, u"HPFS");
      result_.fsKind = kKindHpfs;
      // The FAT12/16 block layout.
      const FatBootSector b = Fat(s_.boot);
      result_.sectorSize = b.bytesPerSector;
      const std::u16string label = LabelText(b.label16);
      if (!label.empty()) SetEntryLabel(result_, label);
      result_.serial = b.serial16;
      fsCount = b.totalSectors32;
      break;
    }
    case Found::Ext:
      SetEntryFsName(result_, extName_);
      result_.fsKind = kKindLinux;
      if (!extLabel_.empty()) SetEntryLabel(result_, extLabel_);
      fsCount = extCount_;
      break;
    case Found::Reiser:
      SetEntryFsName(result_, u"ReiserFS");
      result_.fsKind = kKindLinux;
      if (!reiserLabel_.empty()) SetEntryLabel(result_, reiserLabel_);
      fsCount = reiserCount_;
      threshold = kReiserCountThreshold;
      break;
    case Found::Swap:
      SetEntryFsName(result_, swapName_);
      result_.fsKind = kKindSwap;
      SetEntryLabel(result_, u"Linux Swap");
      fsCount = 0;  // swap carries no count the list uses
      break;
    case Found::Unknown:
      recognised = false;
      break;
  }

  // Count reconciliation: a partition slightly larger than its file system keeps the table's size.
  if (exactCount) {
    count = fsCount;
  } else if (recognised && fsCount != 0) {
    if (count == 0) {
      count = fsCount;
    } else {
      const std::uint64_t diff = count > fsCount ? count - fsCount : fsCount - count;
      if (diff > threshold) count = fsCount;
    }
  }
  result_.start = start_;
  result_.sectors = count;
  result_.bootDamaged = s_.bootDamaged ? 1 : 0;

  // A BitLocker volume's boot sector names no file system the tests know: the
  // mark is looked for on every entry, recognised or not.
  const bool bitLocker =
      LoadU8(s_.boot, 508) == 0x1F && LoadU8(s_.boot, 509) == 0x2C && LoadLe16(s_.boot, 510) == 0xAA55;
  if (!recognised) {
    if (bitLocker && count != 0) SetEntryLabel(result_, u"BitLocker Boot");
    return count != 0;
  }

  SetEntryLabel2(result_, EntryLabel(result_));
  MatchSystemVolume();
  if (bitLocker) SetEntryLabel(result_, u"BitLocker Boot");
  if (s_.bootDamaged && ctx_.damagedBootSectors) ctx_.damagedBootSectors->push_back(result_);
  return true;
}

}  // namespace

std::u16string LabelWithMountPoint(const std::u16string& label, const std::string& mountPoint) {
  const std::u16string where = u"(" + ToUtf16(mountPoint) + u")";
  return label == u"NO NAME" ? where : label + u" " + where;
}

bool IdentifyVolume(IdentifyContext& ctx, std::uint64_t start, const MbrEntry* table, DriveEntry& result,
                    std::span<const std::uint8_t> preRead, const GptEntry* gpt) {
  ActivityMark activity(Fn::IdentifyVolume);
  Identifier id(ctx, start, result);
  return id.Run(table, preRead, gpt);
}

FsType QuickFsTest(std::span<const std::uint8_t> b) {
  const FatBootSector fat = Fat(b);
  if (IsExfatBoot(b)) return FsType::Exfat;
  if (fat.fat32String) return FsType::Fat32;
  if (fat.fat12String) return FsType::Fat12;
  if (fat.fat16String) return FsType::Fat16;
  if (IsNtfsBoot(b)) return FsType::Ntfs;
  return FsType::RawOther;
}

namespace {

// Reads one sector at a volume-relative number: the caller chooses whether inside
// the mounted volume or at an absolute start on the whole device.
using SectorRead = ReadResult (*)(SectorDevice&, std::uint64_t start, std::uint64_t sector,
                                  std::vector<std::uint8_t>& out);

OpenIdentification IdentifyWith(SectorDevice& device, SectorRead read, std::uint64_t start,
                                std::span<const std::uint8_t> bootAtStart, std::uint64_t volumeSectors) {
  ActivityMark activity(Fn::IdentifyAtOpen);
  OpenIdentification out;
  out.bootSector.assign(bootAtStart.begin(), bootAtStart.end());
  out.type = QuickFsTest(bootAtStart);
  if (out.type != FsType::RawOther) return out;

  struct Backup {
    std::uint64_t sector;
    FsType type;
  };
  std::vector<Backup> backups{{12, FsType::Exfat}, {2, FsType::Fat32}, {6, FsType::Fat32}};
  if (volumeSectors != 0) {
    backups.push_back({volumeSectors - 1, FsType::Ntfs});
    backups.push_back({volumeSectors, FsType::Ntfs});
  }
  std::vector<std::uint8_t> sector(std::max<std::size_t>(device.sectorSize, 512));
  for (const Backup& b : backups) {
    if (read(device, start, b.sector, sector) != ReadOk) continue;
    if (QuickFsTest(sector) != b.type) continue;
    out.type = b.type;
    out.bootSectorAt = b.sector;
    out.bootSector = sector;
    return out;
  }
  return out;
}

}  // namespace

OpenIdentification IdentifyAtOpen(SectorDevice& device, std::span<const std::uint8_t> bootAtStart,
                                  std::uint64_t volumeSectors) {
  const SectorRead inVolume = [](SectorDevice& d, std::uint64_t, std::uint64_t sector, std::vector<std::uint8_t>& out) {
    return d.ReadSectors(sector, out, 1);
  };
  return IdentifyWith(device, inVolume, 0, bootAtStart, volumeSectors);
}

OpenIdentification IdentifyAtDeviceSector(SectorDevice& device, std::uint64_t start,
                                          std::span<const std::uint8_t> bootAtStart, std::uint64_t volumeSectors) {
  const SectorRead absolute = [](SectorDevice& d, std::uint64_t at, std::uint64_t sector,
                                 std::vector<std::uint8_t>& out) {
    if (at > kAllOnes - sector) return ReadFailed;
    return d.ReadDeviceSectors(at + sector, out, 1);
  };
  return IdentifyWith(device, absolute, start, bootAtStart, volumeSectors);
}

}  // namespace kestrova
