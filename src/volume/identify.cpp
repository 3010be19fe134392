#include "volume/identify.h"
#include "common/activity.h"

#include "common/le.h"
#include "common/text.h"
#include "volume/fs_names.h"
#include "volume/volume_label.h"
#include "volume/volume_reader.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace kestrova {
namespace {

enum class Found { Exfat, Fat32, Fat12, Fat16, Ntfs, Hpfs, Ext, Reiser, Swap, Unknown };

bool IsPowerOfTwo(std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Geometry a FAT boot sector must have before any of it is used; a sector that
// only carries the type string falls through to the next test.
bool FatGeometrySane(Bytes b) {
  const std::uint16_t bps = LoadLe16(b, 11);
  const std::uint8_t spc = LoadU8(b, 13);
  return bps >= 512 && bps <= 4096 && IsPowerOfTwo(bps) && IsPowerOfTwo(spc);
}

bool ExfatGeometrySane(Bytes b) {
  const unsigned bpsShift = LoadU8(b, 108), spcShift = LoadU8(b, 109);
  return bpsShift >= 9 && bpsShift <= 12 && bpsShift + spcShift <= 25;
}

bool IsExfatBoot(Bytes b) { return BytesEqual(b, 3, "EXFAT"); }
bool IsFat32Boot(Bytes b) { return BytesEqual(b, 82, "FAT32"); }
bool IsNtfsBoot(Bytes b) { return BytesEqual(b, 3, "NTFS"); }

std::uint64_t FatTotalSectors(Bytes b) {
  const std::uint16_t small = LoadLe16(b, 19);
  // Small volumes (floppies) keep their count in the 16-bit field and 0 in the 32-bit one.
  return small != 0 ? small : LoadLe32(b, 32);
}

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
  if (IsExfatBoot(b) && ExfatGeometrySane(b)) return Found::Exfat;
  if (IsFat32Boot(b) && FatGeometrySane(b)) return Found::Fat32;
  if (BytesEqual(b, 54, "FAT12") && FatGeometrySane(b)) return Found::Fat12;
  if (BytesEqual(b, 54, "FAT16") && FatGeometrySane(b)) return Found::Fat16;
  if (IsNtfsBoot(b)) return Found::Ntfs;
  if (BytesEqual(b, 54, "HPFS")) return Found::Hpfs;

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
  if (ReadAbs(start_ + 12, backup) && IsExfatBoot(backup) && ExfatGeometrySane(backup) &&
      LoadLe32(backup, 100) == LoadLe32(s_.boot, 100) && std::memcmp(backup.data(), s_.boot.data(), 90) != 0) {
    s_.boot = backup;
    s_.bootDamaged = true;
  }
  const Bytes b = s_.boot;
  const std::uint32_t bps = 1u << LoadU8(b, 108);
  const std::uint32_t spc = 1u << LoadU8(b, 109);
  const std::uint32_t fatOffset = LoadLe32(b, 80);
  const std::uint32_t heap = LoadLe32(b, 88);
  const std::uint64_t length = LoadLe64(b, 72);
  result_.sectorSize = bps;
  result_.serial = LoadLe32(b, 100);
  dev_.sectorsPerCluster = spc;
  dev_.dataStart = heap;
  dev_.clusterBase = static_cast<std::int64_t>(heap) - 2 * static_cast<std::int64_t>(spc);
  dev_.rootCluster = LoadLe32(b, 96);
  dev_.clusterCount = length / spc;

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
  g.rootCluster = dev_.rootCluster;
  g.clusterCount = dev_.clusterCount;
  if (auto label = ReadExfatRootLabel(reader_, g); label && !label->empty()) SetEntryLabel(result_, *label);
  fsCount = length;
  return true;
}

bool Identifier::DetailFat32(std::uint64_t& fsCount) {
  std::vector<std::uint8_t> backup;
  if (ReadAbs(start_ + 6, backup) && IsFat32Boot(backup)) {
    // The copy may differ legitimately in the hidden-sector count and byte 65.
    std::memcpy(backup.data() + 28, s_.boot.data() + 28, 4);
    backup[65] = s_.boot[65];
    if (FatGeometrySane(backup) && LoadLe32(backup, 67) == LoadLe32(s_.boot, 67) &&
        std::memcmp(backup.data(), s_.boot.data(), 90) != 0) {
      s_.boot = backup;
      s_.bootDamaged = true;
    }
  }
  const Bytes b = s_.boot;
  const std::uint16_t bps = LoadLe16(b, 11);
  const std::uint8_t spc = LoadU8(b, 13);
  const std::uint16_t reserved = LoadLe16(b, 14);
  const std::uint8_t fats = LoadU8(b, 16);
  const std::uint32_t spf = LoadLe32(b, 36);
  result_.sectorSize = bps;
  result_.serial = LoadLe32(b, 67);
  const std::u16string bootLabel = Latin1Field(b.subspan(71, 11));
  if (!bootLabel.empty()) SetEntryLabel(result_, bootLabel);

  const std::uint64_t dataStart = reserved + static_cast<std::uint64_t>(spf) * (fats == 2 ? 2 : 1);
  dev_.sectorsPerCluster = spc;
  dev_.dataStart = dataStart;
  dev_.clusterBase = static_cast<std::int64_t>(dataStart) - 2 * static_cast<std::int64_t>(spc);
  dev_.rootCluster = LoadLe32(b, 44);

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
  g.rootCluster = dev_.rootCluster;
  if (auto label = ReadFatRootLabel(reader_, g); label && !label->empty()) SetEntryLabel(result_, *label);
  fsCount = FatTotalSectors(b);
  return true;
}

bool Identifier::DetailFat1216(bool fat12, std::uint64_t& fsCount) {
  const Bytes b = s_.boot;
  const std::uint16_t bps = LoadLe16(b, 11);
  result_.sectorSize = fat12 ? 512 : bps;
  result_.serial = LoadLe32(b, 39);
  const std::u16string bootLabel = Latin1Field(b.subspan(43, 11));
  SetEntryLabel(result_, !bootLabel.empty() ? bootLabel : fat12 ? u"N/A=FAT12" : u"NO NAME");
  const std::uint16_t reserved = LoadLe16(b, 14);
  const std::uint8_t fats = LoadU8(b, 16);
  const std::uint16_t spf = LoadLe16(b, 22);
  FatRootGeometry g;
  g.bytesPerSector = bps;
  g.sectorsPerCluster = LoadU8(b, 13);
  g.rootCluster = 0;
  g.rootSector = reserved + static_cast<std::uint64_t>(spf) * (fats == 2 ? 2 : 1);
  g.rootEntries = LoadLe16(b, 17);
  if (auto label = ReadFatRootLabel(reader_, g); label && !label->empty()) SetEntryLabel(result_, *label);
  fsCount = FatTotalSectors(b);
  return true;
}

bool Identifier::DetailNtfs(std::uint64_t tableCount, std::uint64_t& fsCount) {
  if (tableCount != 0) {
    std::vector<std::uint8_t> backup;
    if (ReadAbs(start_ + tableCount - 1, backup) && IsNtfsBoot(backup) &&
        LoadLe64(backup, 40) == LoadLe64(s_.boot, 40) && LoadLe64(backup, 72) == LoadLe64(s_.boot, 72) &&
        std::memcmp(backup.data(), s_.boot.data(), 84) != 0) {
      s_.boot = backup;
      s_.bootDamaged = true;
    }
  }
  const Bytes b = s_.boot;
  const std::uint16_t bps = LoadLe16(b, 11);
  if (bps == 0 || LoadLe32(b, 36) != 0x00800080) return false;
  const std::uint8_t spc = LoadU8(b, 13);
  result_.sectorSize = bps;
  result_.serial = static_cast<std::uint32_t>(LoadLe64(b, 72));
  const auto raw = static_cast<std::int8_t>(LoadU8(b, 64));
  std::uint64_t recordSize = 0;
  if (raw < 0) {
    if (-raw <= 16) recordSize = 1ull << (-raw);
  } else {
    recordSize = static_cast<std::uint64_t>(raw) * spc * bps;
  }
  const std::uint64_t mftCluster = LoadLe64(b, 48);
  // The label is optional: absurd record sizes or cluster numbers only skip it.
  if (recordSize >= 256 && recordSize <= 65536 && spc != 0 && mftCluster < (1ull << 48)) {
    std::vector<std::uint8_t> record(static_cast<std::size_t>(recordSize));
    const std::uint64_t offset = mftCluster * spc * bps + 3 * recordSize;
    if (reader_.Read(offset, record) && ApplyNtfsFixups(record, 512)) {
      if (auto label = NtfsVolumeNameInRecord(record); label && !label->empty()) SetEntryLabel(result_, *label);
    }
  }
  fsCount = LoadLe64(b, 40);
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
      const Bytes b = s_.boot;
      result_.sectorSize = LoadLe16(b, 11);
      const std::u16string label = Latin1Field(b.subspan(43, 11));
      if (!label.empty()) SetEntryLabel(result_, label);
      result_.serial = LoadLe32(b, 39);
      fsCount = LoadLe32(b, 32);
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

  if (!recognised) return count != 0;

  SetEntryLabel2(result_, EntryLabel(result_));
  MatchSystemVolume();
  if (LoadU8(s_.boot, 508) == 0x1F && LoadU8(s_.boot, 509) == 0x2C && LoadLe16(s_.boot, 510) == 0xAA55)
    SetEntryLabel(result_, u"BitLocker Boot");
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
  if (IsExfatBoot(b)) return FsType::Exfat;
  if (IsFat32Boot(b)) return FsType::Fat32;
  if (BytesEqual(b, 54, "FAT12")) return FsType::Fat12;
  if (BytesEqual(b, 54, "FAT16")) return FsType::Fat16;
  if (IsNtfsBoot(b)) return FsType::Ntfs;
  return FsType::RawOther;
}

OpenIdentification IdentifyAtOpen(SectorDevice& device, std::span<const std::uint8_t> bootAtStart,
                                  std::uint64_t volumeSectors) {
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
    if (device.ReadSectors(b.sector, sector, 1) != ReadOk) continue;
    if (QuickFsTest(sector) != b.type) continue;
    out.type = b.type;
    out.bootSectorAt = b.sector;
    out.bootSector = sector;
    return out;
  }
  return out;
}

}  // namespace kestrova
