#include "tools/partition_search.h"

#include "common/activity.h"
#include "common/le.h"
#include "common/number_text.h"
#include "common/text.h"
#include "fs/exfat/exfat_volume.h"
#include "fs/fat/fat_format.h"
#include "fs/fat/fat_volume.h"
#include "fs/ntfs/ntfs_format.h"
#include "resources/strings.h"
#include "tools/partition_session.h"
#include "volume/identify.h"
#include "volume/mount.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstring>

namespace kestrova {
namespace {

constexpr std::size_t kSector = 512;
constexpr std::uint64_t kTailBytes = 0xA00000;  // the end-of-disk pass covers the last 10 MiB
constexpr std::uint64_t kTailUnits = 10;

void StampNow(std::uint16_t foundAt[8]) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  foundAt[0] = static_cast<std::uint16_t>(tm.tm_year + 1900);
  foundAt[1] = static_cast<std::uint16_t>(tm.tm_mon + 1);
  foundAt[2] = static_cast<std::uint16_t>(tm.tm_wday);
  foundAt[3] = static_cast<std::uint16_t>(tm.tm_mday);
  foundAt[4] = static_cast<std::uint16_t>(tm.tm_hour);
  foundAt[5] = static_cast<std::uint16_t>(tm.tm_min);
  foundAt[6] = static_cast<std::uint16_t>(tm.tm_sec);
  foundAt[7] = static_cast<std::uint16_t>(ms);
}

std::u16string Number(std::uint64_t v) { return ToUtf16(std::to_string(v)); }

bool HasUtf16(std::span<const std::uint8_t> bytes, std::u16string_view text) {
  const std::size_t n = text.size() * 2;
  if (bytes.size() < n) return false;
  for (std::size_t i = 0; i + n <= bytes.size(); ++i) {
    bool match = true;
    for (std::size_t k = 0; k < text.size() && match; ++k)
      match = bytes[i + 2 * k] == static_cast<std::uint8_t>(text[k]) && bytes[i + 2 * k + 1] == 0;
    if (match) return true;
  }
  return false;
}

}  // namespace

bool IsForcedWholeDrive(const DriveEntry& e) {
  const std::u16string fs = EntryFsName(e);
  return fs.size() >= 3 && fs.compare(fs.size() - 3, 3, u"(-)") == 0;
}

std::u16string StampedLogLine(const std::uint16_t foundAt[8], std::u16string_view text) {
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "%i.%02i.%02i-%02i:%02i:%02i -> ", foundAt[0], foundAt[1], foundAt[3],
                foundAt[4], foundAt[5], foundAt[6]);
  return ToUtf16(stamp) + std::u16string(text);
}

SectorProbe ProbeSector(std::span<const std::uint8_t> sector) {
  SectorProbe p;
  if (sector.size() < kSector) return p;
  sector = sector.first(kSector);
  if (sector[510] == 0x55 && sector[511] == 0xAA) {
    const auto ntfs = ParseNtfsBootSector(sector);
    if (ntfs && ntfs->signature && ntfs->bytesPerSector == 512 && ntfs->MediaWordValid()) {
      p.hint = SectorHint::NtfsBoot;
      p.ntfsTotalSectors = ntfs->totalSectors;
      const std::uint64_t spc = ntfs->SectorsPerCluster();
      p.ntfsMftSector = ntfs->mftCluster < (kAllOnes / 2) / std::max<std::uint64_t>(spc, 1) ? ntfs->mftCluster * spc : 0;
      return p;
    }
    p.hint = SectorHint::BootSignature;
    return p;
  }
  if (sector[56] == 0x53 && sector[57] == 0xEF) {
    const std::uint32_t logBlock = LoadLe32(sector, 24);
    // Block and cluster size agree (no bigalloc) and the block is at most 32 MiB.
    if (logBlock != LoadLe32(sector, 28) || logBlock > 15) return p;
    p.hint = SectorHint::ExtSuperblock;
    const std::uint64_t blockSize = 1024ull << logBlock;
    const std::uint16_t group = LoadLe16(sector, 90);
    if (group == 0) {
      p.extOffsetBytes = 1024;  // the primary, 1024 bytes into the volume
    } else {
      // A backup opens its block group: group x blocks per group after the first data block.
      const std::uint64_t firstData = LoadLe32(sector, 20);
      const std::uint64_t perGroup = LoadLe32(sector, 32);
      const std::uint64_t block = firstData + std::uint64_t{group} * perGroup;  // below 2^49
      p.extOffsetBytes = perGroup != 0 && block < (1ull << 62) / blockSize ? block * blockSize : 0;
    }
    return p;
  }
  if (BytesEqual(sector, 52, "ReIsErFs") || BytesEqual(sector, 52, "ReIsEr2Fs") ||
      BytesEqual(sector, 52, "ReIsEr3Fs")) {
    p.hint = SectorHint::ReiserSuperblock;
    return p;
  }
  return p;
}

bool NamesNtLoader(std::span<const std::uint8_t> next) {
  const auto head = next.first(std::min<std::size_t>(next.size(), 256));
  return HasUtf16(head, u"NTLDR") || HasUtf16(head, u"BOOTMGR");
}

PartitionSearch::PartitionSearch(SectorDevice& device, Ui& ui, WholeDriveOpener open, SearchSetup setup)
    : device_(device),
      ui_(ui),
      open_(std::move(open)),
      mode_(setup.mode),
      drive_(setup.drive),
      driveName_(std::move(setup.driveName)),
      resumed_(setup.resumed),
      position_(setup.position),
      tailDone_(setup.tailDone),
      results_(std::move(setup.results)) {
  if (results_.size() > kMaxSearchResults) results_.resize(kMaxSearchResults);
}

void PartitionSearch::LogText(std::u16string text) {
  std::uint16_t now[8];
  StampNow(now);
  std::scoped_lock lock(lock_);
  log_.push_back(StampedLogLine(now, text));
}

void PartitionSearch::LogResult(const DriveEntry& e) {
  std::u16string line = FillPlaceholders(e.damagedResult ? u"%s %s %I64d - %s (%s) [DAMAGED]" : u"%s %s %I64d - %s (%s)",
                                         {EntryFsName(e), Text(StringId::PartScanDetectedAtSector), Number(e.start),
                                          EntryLabel(e), ToUtf16(SizeText(e.sectors * kSector))});
  std::scoped_lock lock(lock_);
  // The record is packed: its stamp is copied out before it is read as words.
  std::uint16_t at[8];
  static_assert(sizeof at == sizeof e.foundAt);
  std::memcpy(at, &e.foundAt, sizeof at);
  log_.push_back(StampedLogLine(at, line));
}

std::vector<DriveEntry> PartitionSearch::Results() const {
  std::scoped_lock lock(lock_);
  return results_;
}

std::size_t PartitionSearch::ResultCount() const {
  std::scoped_lock lock(lock_);
  return results_.size();
}

std::vector<std::u16string> PartitionSearch::Log() const {
  std::scoped_lock lock(lock_);
  return log_;
}

std::size_t PartitionSearch::LogSize() const {
  std::scoped_lock lock(lock_);
  return log_.size();
}

void PartitionSearch::RequestSave(const std::string& path) {
  {
    std::scoped_lock lock(lock_);
    savePath_ = path;
  }
  saveRequested_.store(true);
  if (!running_.load()) {
    saveRequested_.store(false);
    WriteSession(path);
  }
}

bool PartitionSearch::SaveNow(const std::string& path) { return WriteSession(path); }

bool PartitionSearch::WriteSession(const std::string& path) {
  PartitionSession s;
  s.name = sessionName_;
  s.deviceSectors = deviceSectors_.load();
  s.mode = static_cast<std::int32_t>(mode_);
  s.position = std::min(position_.load(), s.deviceSectors);
  s.results = Results();
  const bool ok = SavePartitionSession(path, s) == SessionFileStatus::Ok;
  if (ok) LogText(Text(StringId::PartScanSavingScanState));
  return ok;
}

void PartitionSearch::PrepareContinue() {
  finishRequested_.store(false);
  finished_.store(false);
}

bool PartitionSearch::ReadOne(std::uint64_t sector, std::vector<std::uint8_t>& out) {
  out.assign(std::max<std::size_t>(device_.sectorSize, kSector), 0);
  return device_.ReadDeviceSectors(sector, out, 1) == ReadOk;
}

bool PartitionSearch::Identify(std::uint64_t start, DriveEntry& out, std::span<const std::uint8_t> preRead,
                               std::uint64_t count) {
  IdentifyContext ctx{device_, drive_, nullptr, nullptr};
  if (count == 0) return IdentifyVolume(ctx, start, nullptr, out, preRead);
  // The count reaches identification as a table entry would give it (the NTFS
  // backup is looked for at its end); a GPT-style range only where 32 bits do not hold it.
  if (count <= 0xFFFFFFFFu) {
    MbrEntry table;
    table.type = 0;
    table.sectorCount = static_cast<std::uint32_t>(count);
    return IdentifyVolume(ctx, start, &table, out, preRead);
  }
  GptEntry range;
  range.firstSector = start;
  range.lastSector = start + count - 1;
  return IdentifyVolume(ctx, start, nullptr, out, preRead, &range);
}

bool PartitionSearch::AddResult(DriveEntry entry, bool unvalidated) {
  ActivityMark activity(Fn::PartitionSearchAddResult);
  if (entry.sectors == 0) return false;
  {
    std::scoped_lock lock(lock_);
    if (results_.size() >= kMaxSearchResults) return false;
    // A whole drive read as a forced type stands beside whatever begins at
    // its sector 0; it only repeats itself.
    const bool forced = IsForcedWholeDrive(entry);
    for (const DriveEntry& r : results_)
      if (r.start == entry.start && IsForcedWholeDrive(r) == forced &&
          (!forced || EntryFsName(r) == EntryFsName(entry)))
        return false;
  }
  StampNow(entry.foundAt);
  entry.drive = drive_;
  entry.damagedResult = 0;
  if (!unvalidated) {
    bool notValidatable = false;
    entry.damagedResult = ValidateResult(entry, notValidatable) ? 0 : 1;
  }
  {
    std::scoped_lock lock(lock_);
    results_.push_back(entry);
  }
  LogResult(entry);
  return true;
}

bool PartitionSearch::ValidateResult(const DriveEntry& e, bool& notValidatable) {
  ActivityMark activity(Fn::PartitionSearchValidate);
  notValidatable = false;
  const std::u16string fs = EntryFsName(e);
  std::vector<std::uint8_t> boot;
  if (fs == u"NTFS") {
    std::optional<NtfsBootSector> b;
    if (ReadOne(e.start, boot)) b = ParseNtfsBootSector(boot);
    if ((!b || !b->signature) && e.sectors && ReadOne(e.start + e.sectors - 1, boot)) b = ParseNtfsBootSector(boot);
    if (!b || !b->signature || b->bytesPerSector == 0) return false;
    const std::uint32_t recordSize = b->RecordSize();
    const std::uint64_t spc = b->SectorsPerCluster();
    if (recordSize == 0 || b->mftCluster >= kNtfsMaxClusterNumber) return false;
    const std::uint64_t bps = b->bytesPerSector;
    const std::uint64_t offset = b->mftCluster * spc * bps;  // bytes into the volume
    if (offset % kSector != 0) return false;
    const auto sectors = static_cast<std::uint32_t>((recordSize + kSector - 1) / kSector);
    std::vector<std::uint8_t> record(std::size_t{sectors} * std::max<std::size_t>(device_.sectorSize, kSector));
    if (device_.ReadDeviceSectors(e.start + offset / kSector, record, sectors) != ReadOk) return false;
    record.resize(recordSize);
    ApplyNtfsRecordFixups(record);
    return BytesEqual(record, 0, "FILE");
  }
  if (fs == u"FAT32") {
    // The boot sector, or its backup when it is gone (a volume found through the backup).
    std::optional<FatBootSector> b;
    for (const std::uint64_t at : {std::uint64_t{0}, std::uint64_t{6}}) {
      if (ReadOne(e.start + at, boot)) b = ParseFatBootSector(boot);
      if (b && b->fat32String && b->GeometrySane()) break;
      b.reset();
    }
    if (!b) return false;
    const std::uint64_t spc = b->sectorsPerCluster;
    const std::uint64_t fatSectors = std::uint64_t{b->sectorsPerFat32} * (b->fatCount == 2 ? 2 : 1);
    const std::uint64_t dataStart = std::uint64_t{b->reservedSectors} + fatSectors;
    const std::uint64_t total = b->TotalSectors();
    if (spc == 0 || b->rootCluster < 2 || total <= dataStart) return false;
    const std::uint64_t clusters = (total - dataStart) / spc;
    const std::uint64_t root = e.start + dataStart + spc * (b->rootCluster - 2ull);
    if (!ReadOne(root, boot)) return false;
    int good = 0;
    for (std::size_t i = 0; i < 16; ++i) {
      const auto entry = std::span<const std::uint8_t>(boot).subspan(i * 32, 32);
      if (entry[0] == 0) break;
      const std::uint8_t attr = entry[11];
      if (attr == 0x0F) continue;  // a long-name part
      if (attr >= 100) return false;
      const std::uint32_t first = (std::uint32_t{LoadLe16(entry, 20)} << 16) | LoadLe16(entry, 26);
      const bool label = attr == 0x08 || attr == 0x28;
      if (first > clusters + 1) return false;
      // Cluster 0 is how FAT stores an empty file; a deleted entry may have lost its number.
      const bool empty = LoadLe32(entry, 28) == 0 && (attr & 0x10) == 0;
      if (!label && first < 2 && !empty && entry[0] != 0xE5) return false;
      ++good;
    }
    return good > 0;
  }
  if (fs == u"EXFAT") return true;
  notValidatable = true;
  return true;
}

void PartitionSearch::CorrectStart(DriveEntry& e) {
  const std::u16string fs = EntryFsName(e);
  std::vector<std::uint8_t> boot;
  std::uint32_t back = 0;
  if (fs == u"EXFAT" && ReadOne(e.start, boot) && CheckExfatBootCopy(device_, e.start, boot, back) &&
      e.start >= back) {
    e.start -= back;
  } else if (fs == u"FAT32" && ReadOne(e.start, boot) && CheckFat32BootCopy(device_, e.start, boot, back) &&
             e.start >= back) {
    e.start -= back;
  }
}

PartitionSearch::Examined PartitionSearch::AfterIdentified(std::uint64_t s, DriveEntry& found) {
  CorrectStart(found);
  nextPosition_ = s + 1;
  // The search moves to the volume's end, never past a volume that may follow
  // it closely, so the end is not rounded up to a track boundary.
  const std::uint64_t end = found.start + found.sectors;
  if (end <= s) return Examined::Moved;  // ends here: nothing to add
  const std::uint64_t distance = end - s;
  const std::u16string fs = EntryFsName(found);
  const bool added = AddResult(found, false);
  if (added && mode_ == SearchMode::Fast && (fs == u"NTFS" || fs == u"FAT32")) {
    DriveEntry last;
    {
      std::scoped_lock lock(lock_);
      last = results_.back();
    }
    if (!last.damagedResult) {
      const std::uint64_t skipTo = distance > 62 ? found.start + distance : found.start + 1;
      nextPosition_ = std::max(skipTo, s + 1);
    }
  }
  return Examined::Moved;
}

PartitionSearch::Examined PartitionSearch::FromNtfsBackup(std::uint64_t s, std::uint64_t total) {
  std::uint64_t start = s - total;
  DriveEntry e;
  if (!Identify(start, e, {}, total + 1)) {
    start = start / 63 * 63;
    if (!Identify(start, e, {}, s - start + 1)) {
      e = MakeDriveEntry();
      SetEntryFsName(e, u"UNKNOWN");
      SetEntryLabel(e, u"NO NAME");
      e.letter = '$';
      e.sectorSize = kSector;
      e.start = start;
      e.sectors = s - start + 1;
    }
  }
  AddResult(e, false);
  nextPosition_ = s + 1;
  return Examined::Moved;
}

bool PartitionSearch::ProbeNtfsBootSector(std::uint64_t s, std::span<const std::uint8_t> sector,
                                          std::span<const std::uint8_t> next) {
  const SectorProbe probe = ProbeSector(sector);
  if (probe.hint != SectorHint::NtfsBoot) return false;
  const std::size_t before = ResultCount();
  if (!IsNtfsPrimary(s, probe, next)) {
    FromNtfsBackup(s, probe.ntfsTotalSectors);
  } else {
    DriveEntry e = MakeDriveEntry();
    if (Identify(s, e, sector.first(std::min<std::size_t>(sector.size(), kSector))) && EntryFsName(e) == u"NTFS")
      AddResult(e, false);
  }
  return ResultCount() > before;
}

bool PartitionSearch::IsNtfsPrimary(std::uint64_t s, const SectorProbe& probe, std::span<const std::uint8_t> next) {
  // A primary is followed by its loader's code, or has its MFT where the boot
  // sector says; the backup at a volume's end has neither.
  std::vector<std::uint8_t> following;
  if (next.empty() && ReadOne(s + 1, following)) next = following;
  if (NamesNtLoader(next) || probe.ntfsTotalSectors > s) return true;
  std::vector<std::uint8_t> mft;
  return probe.ntfsMftSector != 0 && ReadOne(s + probe.ntfsMftSector, mft) && BytesEqual(mft, 0, "FILE");
}

PartitionSearch::Examined PartitionSearch::Examine(std::uint64_t s, std::span<const std::uint8_t> sector,
                                                   std::span<const std::uint8_t> next) {
  const SectorProbe probe = ProbeSector(sector);
  DriveEntry found;
  switch (probe.hint) {
    case SectorHint::None:
      return Examined::Next;
    case SectorHint::NtfsBoot:
      if (!IsNtfsPrimary(s, probe, next)) return FromNtfsBackup(s, probe.ntfsTotalSectors);
      [[fallthrough]];
    case SectorHint::BootSignature:
      if (!Identify(s, found, sector)) return Examined::Next;
      if (EntryFsName(found) == u"FAT12") return Examined::Next;
      return AfterIdentified(s, found);
    case SectorHint::ExtSuperblock: {
      const std::uint64_t back = probe.extOffsetBytes / kSector;
      if (probe.extOffsetBytes == 0 || probe.extOffsetBytes % kSector != 0 || back > s) return Examined::Next;
      if (!Identify(s - back, found)) return Examined::Next;
      return AfterIdentified(s, found);
    }
    case SectorHint::ReiserSuperblock: {
      const std::uint64_t back = 65536 / kSector;
      if (back > s || !Identify(s - back, found)) return Examined::Next;
      return AfterIdentified(s, found);
    }
  }
  return Examined::Next;
}

void PartitionSearch::WholeDriveCheck(FsType atSectorZero) {
  ActivityMark activity(Fn::PartitionSearchWholeDrive);
  if (atSectorZero != FsType::None && atSectorZero != FsType::RawOther) return;
  // A volume the full identification knows (ext, ReiserFS, swap, HPFS) is a
  // file system found at sector 0 too: no forced reading of the whole drive.
  DriveEntry atZero;
  if (Identify(0, atZero) && EntryFsName(atZero) != u"UNKNOWN") return;
  SilentUi quiet;  // a type that is not there is no news
  const std::uint64_t total = deviceSectors_.load();
  struct Try {
    FsType type;
    const char16_t* name;
  };
  for (const Try t : {Try{FsType::Exfat, u"EXFAT(-)"}, Try{FsType::Fat16, u"FAT16(-)"}, Try{FsType::Fat32, u"FAT32(-)"}}) {
    OpenedVolume opened;
    if (!open_(device_, t.type, opened)) continue;
    FatReader fat;
    ExfatReader exfat;
    MountHooks hooks = fat.Hooks(DriveSettings{});
    hooks.locateExfat = exfat.Hooks(DriveSettings{}).locateExfat;
    hooks.loadTables = nullptr;
    MountRequest request;
    request.request = t.type;
    request.hooks = &hooks;
    MountedVolume mounted;
    if (!MountVolume(device_, quiet, request, opened, mounted) || device_.fsType != t.type) continue;
    DriveEntry e = MakeDriveEntry();
    SetEntryFsName(e, t.name);
    SetEntryLabel(e, u"NO NAME");
    e.letter = '$';
    e.start = 0;
    e.sectors = total;
    e.sectorSize = kSector;
    e.wholeDrive = 1;
    AddResult(e, true);
  }
}

void PartitionSearch::TailPass(WorkerToken& token) {
  ActivityMark activity(Fn::PartitionSearchTail);
  const std::uint64_t total = deviceSectors_.load();
  const std::uint64_t unit = std::max<std::uint64_t>(1, device_.buffers.transferUnit() / kSector);
  const std::uint64_t tail = kTailBytes / kSector;
  std::uint64_t s0 = total > tail ? total - tail : 0;
  std::vector<std::uint8_t> buffer(std::min(unit, total - s0) * kSector);
  for (std::uint64_t u = 0; u < kTailUnits && s0 < total && !token.StopRequested(); ++u) {
    const auto n = static_cast<std::uint32_t>(std::min(unit, total - s0));
    device_.ReadDeviceSectors(s0, buffer, n);
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::uint64_t s = s0 + i;
      const auto sector = std::span<const std::uint8_t>(buffer).subspan(std::size_t{i} * kSector, kSector);
      const SectorProbe probe = ProbeSector(sector);
      if (probe.hint != SectorHint::NtfsBoot || probe.ntfsTotalSectors > s) continue;
      std::vector<std::uint8_t> next;
      if (i + 1 < n) next.assign(sector.end(), sector.end() + kSector);
      else ReadOne(s + 1, next);
      if (NamesNtLoader(next)) continue;
      std::vector<std::uint8_t> mft;
      if (probe.ntfsMftSector != 0 && ReadOne(s + probe.ntfsMftSector, mft) && BytesEqual(mft, 0, "FILE")) continue;
      FromNtfsBackup(s, probe.ntfsTotalSectors);
    }
    s0 += n;
  }
}

void PartitionSearch::Run(WorkerToken& token) {
  ActivityMark activity(Fn::PartitionSearchRun);
  running_.store(true);
  finished_.store(false);
  if (resumed_) {
    const std::vector<DriveEntry> carried = Results();
    LogText(Text(StringId::PartScanTotalPartitionsDetected) + u" " + Number(carried.size()));
    for (const DriveEntry& e : carried) LogResult(e);
    resumed_ = false;
  }
  LogText(Text(StringId::PartScanInitializingHDD) + u" " + driveName_);
  LogText(Text(StringId::PartScanStartingPartitionScan));

  OpenedVolume opened;
  if (!open_(device_, FsType::Detect, opened) || device_.deviceSectors == 0 || device_.deviceSectors == kAllOnes) {
    LogText(Text(StringId::FailedToInitializeDevice));
    failed_.store(true);
    running_.store(false);
    return;
  }
  deviceSectors_.store(device_.deviceSectors);
  const std::uint64_t total = device_.deviceSectors;
  if (!tailDone_.load()) {
    WholeDriveCheck(opened.type);
    if (!open_(device_, FsType::Detect, opened)) {
      LogText(Text(StringId::FailedToInitializeDevice));
      failed_.store(true);
      running_.store(false);
      return;
    }
    TailPass(token);
    tailDone_.store(true);
  }

  std::uint64_t pos = std::min(position_.load(), total);
  LogText(FillPlaceholders(u"%s %I64d.", {Text(StringId::PartScanStartingAnalyzesFromSector), Number(pos)}));
  token.SetTotal(total);
  token.SetDone(pos);
  const std::uint64_t unit =
      std::min(std::max<std::uint64_t>(1, device_.buffers.transferUnit() / kSector), total);
  std::vector<std::uint8_t> buffer(unit * kSector);
  int percent = -1;
  auto lastCheck = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  while (pos < total && !token.StopRequested() && !finishRequested_.load()) {
    if (!token.WaitWhilePaused()) break;
    const auto n = static_cast<std::uint32_t>(std::min(unit, total - pos));
    // Unreadable sectors are examined as the read policy leaves them.
    device_.ReadDeviceSectors(pos, buffer, n);
    bool moved = false;
    for (std::uint32_t i = 0; i < n; ++i) {
      const auto sector = std::span<const std::uint8_t>(buffer).subspan(std::size_t{i} * kSector, kSector);
      // Cheap byte tests first: most sectors are none of the four.
      const std::uint8_t* b = sector.data();
      if (!(b[510] == 0x55 && b[511] == 0xAA) && !(b[56] == 0x53 && b[57] == 0xEF) && b[52] != 'R') continue;
      const auto next = i + 1 < n ? std::span<const std::uint8_t>(buffer).subspan(std::size_t{i + 1} * kSector, kSector)
                                  : std::span<const std::uint8_t>{};
      if (Examine(pos + i, sector, next) == Examined::Moved) {
        pos = nextPosition_;
        moved = true;
        break;
      }
    }
    if (!moved) pos += n;
    position_.store(pos);
    token.SetDone(pos);
    const auto now = std::chrono::steady_clock::now();
    if (now - lastCheck >= std::chrono::milliseconds(25)) {
      lastCheck = now;
      const int p = static_cast<int>(std::min<std::uint64_t>(pos, total) * 100 / total);
      if (p != percent) {
        percent = p;
        ui_.Progress(pos, total);
      }
      token.SetStatus(FillPlaceholders(u"%s %s / %s", {Text(StringId::PartScanSector), ToUtf16(GroupNumber(pos)),
                                                        ToUtf16(GroupNumber(total))}));
    }
    if (saveRequested_.exchange(false)) {
      std::string path;
      {
        std::scoped_lock lock(lock_);
        path = savePath_;
      }
      WriteSession(path);
    }
  }
  position_.store(pos);
  token.SetDone(pos);
  token.SetStatus(FillPlaceholders(u"%s %s / %s", {Text(StringId::PartScanSector), ToUtf16(GroupNumber(pos)),
                                                    ToUtf16(GroupNumber(total))}));
  if (pos >= total) {
    finished_.store(true);
    LogText(Text(StringId::PartScanHDDScanDone));
    ui_.Progress(total, total);
    LogText(FillPlaceholders(u"%s %s %s", {Text(StringId::PartScanScanOf), driveName_, Text(StringId::PartScanFinished)}));
  }
  if (saveRequested_.exchange(false)) {
    std::string path;
    {
      std::scoped_lock lock(lock_);
      path = savePath_;
    }
    WriteSession(path);
  }
  running_.store(false);
}

}  // namespace kestrova
