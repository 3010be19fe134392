#include "volume/list_partitions.h"
#include "volume/fs_names.h"
#include "common/activity.h"

#include "common/le.h"
#include "volume/volume_reader.h"

#include <algorithm>
#include <set>

namespace kestrova {
namespace {

constexpr std::size_t kMbrEntriesAt = 446;
constexpr std::size_t kGptEntrySize = 128;

class Lister {
 public:
  Lister(IdentifyContext& ctx, std::uint64_t deviceSectors)
      : ctx_(ctx), reader_(ctx.device, 0), deviceSectors_(deviceSectors) {}

  PartitionListing Run();

 private:
  bool Read(std::uint64_t sector, std::vector<std::uint8_t>& out) { return reader_.ReadSector(sector, out); }
  // Appends unless a volume with the same start is listed already (hybrid
  // MBR+GPT disks describe the same volumes twice).
  void Add(const DriveEntry& entry);
  bool Listed(std::uint64_t start) const {
    return std::any_of(out_.volumes.begin(), out_.volumes.end(), [&](const DriveEntry& e) { return e.start == start; });
  }
  void ListGpt(std::uint64_t headerSector, Bytes header);
  void WalkExtended(const MbrEntry& container);
  void SearchAfterLast();
  void ListWithoutTable(Bytes sector0);

  IdentifyContext& ctx_;
  VolumeReader reader_;
  std::uint64_t deviceSectors_;
  const MbrEntry* whole_ = nullptr;  // the whole device as a table entry, for a volume without a table
  PartitionListing out_;
};

void Lister::Add(const DriveEntry& entry) {
  if (Listed(entry.start)) return;
  DriveEntry e = entry;
  e.startIsPhysical = 1;
  out_.volumes.push_back(e);
}

void Lister::ListGpt(std::uint64_t headerSector, Bytes header) {
  out_.gpt = true;
  const std::uint64_t entriesAt = LoadLe64(header, 72);
  const std::size_t perSector = std::max<std::size_t>(1, header.size() / kGptEntrySize);
  std::vector<std::uint8_t> sector;
  std::size_t taken = 0;
  for (std::uint64_t s = entriesAt; taken < kMaxGptEntries; ++s) {
    if (s == headerSector || !Read(s, sector)) return;
    for (std::size_t i = 0; i < perSector && taken < kMaxGptEntries; ++i, ++taken) {
      const Bytes raw = Bytes(sector).subspan(i * kGptEntrySize, kGptEntrySize);
      GptEntry gpt{LoadLe64(raw, 32), LoadLe64(raw, 40)};
      if (gpt.firstSector == 0 || gpt.lastSector == 0) continue;
      DriveEntry entry;
      if (IdentifyVolume(ctx_, gpt.firstSector, nullptr, entry, {}, &gpt)) Add(entry);
    }
  }
}

void Lister::WalkExtended(const MbrEntry& container) {
  out_.hasExtended = true;
  const std::uint64_t base = container.firstSector;
  if (out_.extendedBase == 0) out_.extendedBase = base;
  // A chain that links back to a record already read ends there.
  std::set<std::uint64_t> visited;
  std::uint64_t record = base;
  std::vector<std::uint8_t> sector;
  while (visited.size() < kMaxExtendedRecords && visited.insert(record).second) {
    if (!Read(record, sector)) return;
    ExtendedRecord seen;
    seen.sector = record;
    bool hasLink = false;
    std::uint64_t next = 0;
    for (int i = 0; i < 2; ++i) {
      const MbrEntry e = MbrEntry::Parse(Bytes(sector).subspan(kMbrEntriesAt + 16 * i, 16));
      seen.entries[i] = e;
      if (e.sectorCount == 0 || e.firstSector == 0) break;
      if (i == 1 || IsExtendedType(e.type)) {
        hasLink = true;
        next = base + e.firstSector;
        continue;
      }
      DriveEntry logical;
      if (IdentifyVolume(ctx_, record + e.firstSector, &e, logical)) Add(logical);
    }
    out_.extendedRecords.push_back(seen);
    if (!hasLink) return;
    record = next;
  }
}

void Lister::ListWithoutTable(Bytes sector0) {
  // Volumes whose superblock lies beyond sector 0 (ext, ReiserFS, swap), and
  // boot sectors the identification finds at their backup positions.
  IdentifyContext quiet = ctx_;
  quiet.damagedBootSectors = nullptr;
  DriveEntry entry;
  if (IdentifyVolume(quiet, 0, whole_, entry, sector0) && IsRecognised(entry)) {
    out_.bare = true;
    Add(entry);
    if (entry.bootDamaged && ctx_.damagedBootSectors) ctx_.damagedBootSectors->push_back(out_.volumes.back());
    return;
  }
  // exFAT keeps its backup boot region at sector 12, which only the open tries.
  const OpenIdentification id = IdentifyAtDeviceSector(ctx_.device, 0, sector0, deviceSectors_);
  if (id.type == FsType::RawOther || id.bootSectorAt == 0) return;
  if (!IdentifyVolume(quiet, 0, whole_, entry, id.bootSector) || !IsRecognised(entry)) return;
  entry.bootDamaged = 1;
  out_.bare = true;
  Add(entry);
  if (ctx_.damagedBootSectors) ctx_.damagedBootSectors->push_back(out_.volumes.back());
}

void Lister::SearchAfterLast() {
  if (out_.volumes.empty()) return;
  // The volume that reaches furthest, so a table listed out of order does not
  // make a listed volume look lost.
  const DriveEntry* last = &out_.volumes.front();
  for (const DriveEntry& e : out_.volumes)
    if (e.start + e.sectors > last->start + last->sectors) last = &e;
  DriveEntry previous = *last;
  std::uint64_t end = last->start + last->sectors;
  std::uint64_t count = last->sectors;
  if (count == 0) return;

  IdentifyContext quiet = ctx_;
  quiet.damagedBootSectors = nullptr;  // only the volumes finally kept report a damaged boot sector
  // An NTFS volume keeps its backup boot sector just past its counted sectors:
  // the same serial exactly there is that copy. Anywhere else it is another
  // volume (a clone keeps its source's serial).
  auto isBackupOf = [](const DriveEntry& found, const DriveEntry& before) {
    return found.serial != 0 && found.serial == before.serial && EntryFsName(found) == EntryFsName(before) &&
           found.start == before.start + before.sectors;
  };
  auto volumeAt = [&](std::uint64_t sector) {
    DriveEntry probe;
    return IdentifyVolume(quiet, sector, nullptr, probe) && !isBackupOf(probe, previous);
  };
  const bool listThem = out_.bare;  // the table (if any) gave nothing else
  for (std::size_t found = 0; found < kMaxVolumesAfterLast; ++found) {
    const std::uint64_t at = AlignAfter(end, count, volumeAt);
    if (deviceSectors_ != 0 && at >= deviceSectors_) return;
    DriveEntry entry;
    if (!IdentifyVolume(ctx_, at, nullptr, entry) || entry.sectors == 0) return;
    const std::uint64_t newEnd = entry.start + entry.sectors;
    if (newEnd <= end) return;  // the position does not move
    if (isBackupOf(entry, previous)) {
      // The partition holds its backup too: the next volume starts after it.
      if (at != end) return;
      end += 1;
      count += 1;
      continue;
    }
    previous = entry;
    if (!Listed(entry.start)) {
      entry.startIsPhysical = 1;
      if (listThem)
        out_.volumes.push_back(entry);
      else
        out_.afterLast.push_back(entry);
    }
    end = newEnd;
    count = entry.sectors;
  }
}

PartitionListing Lister::Run() {
  std::vector<std::uint8_t> sector0;
  if (!Read(0, sector0)) return out_;
  out_.sector0Read = true;
  for (int i = 0; i < 4; ++i) out_.mbr[i] = MbrEntry::Parse(Bytes(sector0).subspan(kMbrEntriesAt + 16 * i, 16));
  const MbrEntry& first = out_.mbr[0];

  // GPT: through the protective entry, or at sector 1.
  std::vector<std::uint8_t> header;
  const std::uint64_t headerAt = first.type == kGptProtectiveType ? first.firstSector : 1;
  if (Read(headerAt, header) && BytesEqual(header, 0, "EFI PART")) ListGpt(headerAt, header);

  // A volume without a table spans the whole device, as far as its own count agrees.
  MbrEntry whole;
  whole.sectorCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(deviceSectors_, 0xFFFFFFFFu));
  whole_ = deviceSectors_ ? &whole : nullptr;
  if (first.bootFlag != 0x80 && first.bootFlag != 0) {
    // No table: sector 0 is a volume's boot sector.
    out_.bare = true;
    DriveEntry entry;
    if (IdentifyVolume(ctx_, 0, whole_, entry, sector0)) Add(entry);
  } else {
    for (const MbrEntry& e : out_.mbr) {
      // An emptied slot (a deleted partition) does not hide the slots after it.
      if (e.sectorCount == 0 || e.firstSector == 0) continue;
      if (IsExtendedType(e.type)) {
        WalkExtended(e);
        continue;
      }
      DriveEntry entry;
      if (IdentifyVolume(ctx_, e.firstSector, &e, entry)) Add(entry);
    }
    // A boot sector whose first entry byte happens to be 0 or 0x80 still holds
    // a volume when the "table" yielded nothing: keep it rather than list none.
    if (out_.volumes.empty() && !out_.gpt && QuickFsTest(sector0) != FsType::RawOther) {
      DriveEntry entry;
      if (IdentifyVolume(ctx_, 0, whole_, entry, sector0)) {
        out_.bare = true;
        Add(entry);
      }
    }
    // No table signature and nothing listed: sector 0 belongs to a volume whose
    // superblock lies further in, or to one whose boot sector was wiped but
    // whose backup survives (then listed as found through the backup).
    if (out_.volumes.empty() && !out_.gpt && LoadLe16(sector0, 510) != 0xAA55) ListWithoutTable(sector0);
  }
  SearchAfterLast();

  if (!out_.bare) {
    for (const MbrEntry& e : out_.mbr)
      if (IsWrongMbrEntry(ctx_, e, deviceSectors_)) ++out_.wrongMbrEntries;
    // The protective entry of a readable GPT and a container whose chain could
    // be read are in use: counting them as free would let a repair overwrite them.
    for (const MbrEntry& e : out_.mbr) {
      const bool usedProtective = out_.gpt && e.type == kGptProtectiveType;
      const bool usedContainer = IsExtendedType(e.type) && !out_.extendedRecords.empty() &&
                                 e.firstSector == out_.extendedBase;
      if ((usedProtective || usedContainer) && IsWrongMbrEntry(ctx_, e, deviceSectors_)) --out_.wrongMbrEntries;
    }
  }
  return out_;
}

}  // namespace

Chs ChsOfSector(std::uint64_t sector) {
  const std::uint64_t cylinder = sector / kSectorsPerCylinder;
  if (cylinder > 1023) return Chs{254, 0xFF, 0xFF};
  Chs chs;
  chs.head = static_cast<std::uint8_t>((sector / 63) % 255);
  chs.sector = static_cast<std::uint8_t>((sector % 63 + 1) | ((cylinder >> 2) & 0xC0));
  chs.cylinder = static_cast<std::uint8_t>(cylinder & 0xFF);
  return chs;
}

MbrEntry MakeMbrEntry(std::uint8_t bootFlag, std::uint8_t type, std::uint32_t firstSector, std::uint32_t count) {
  MbrEntry e;
  e.bootFlag = bootFlag;
  e.type = type;
  e.firstSector = firstSector;
  e.sectorCount = count;
  const Chs start = ChsOfSector(firstSector);
  const Chs end = ChsOfSector(static_cast<std::uint64_t>(firstSector) + count - (count ? 1 : 0));
  e.startHead = start.head;
  e.startSector = start.sector;
  e.startCylinder = start.cylinder;
  e.endHead = end.head;
  e.endSector = end.sector;
  e.endCylinder = end.cylinder;
  return e;
}

void StoreMbrEntry(const MbrEntry& e, std::span<std::uint8_t> b) {
  if (b.size() < 16) return;
  b[0] = e.bootFlag;
  b[1] = e.startHead;
  b[2] = e.startSector;
  b[3] = e.startCylinder;
  b[4] = e.type;
  b[5] = e.endHead;
  b[6] = e.endSector;
  b[7] = e.endCylinder;
  StoreLe32(b, 8, e.firstSector);
  StoreLe32(b, 12, e.sectorCount);
}

std::uint64_t AlignAfter(std::uint64_t end, std::uint64_t count, const std::function<bool(std::uint64_t)>& volumeAt) {
  if (count % 63 == 0) return end;
  const std::uint64_t track = end + (63 - count % 63);
  if (volumeAt(track)) return track;
  return end;  // the first sector after the volume
}

bool IsWrongMbrEntry(IdentifyContext& ctx, const MbrEntry& e, std::uint64_t deviceSectors) {
  const std::uint64_t first = e.firstSector;
  const std::uint64_t last = first + e.sectorCount - 1;  // wraps for an empty entry: no CHS matches it
  const bool startMatches = Chs{e.startHead, e.startSector, e.startCylinder} == ChsOfSector(first);
  const bool endMatches = Chs{e.endHead, e.endSector, e.endCylinder} == ChsOfSector(last);
  if (startMatches || endMatches) {
    return e.sectorCount == 0 || e.firstSector == 0 ||
           (deviceSectors != 0 && first + e.sectorCount > deviceSectors);
  }
  IdentifyContext quiet = ctx;
  quiet.damagedBootSectors = nullptr;
  DriveEntry probe;
  return !IdentifyVolume(quiet, first, &e, probe);
}

PartitionListing ListPartitions(IdentifyContext& ctx, std::uint64_t deviceSectors) {
  ActivityMark activity(Fn::ListPartitions);
  return Lister(ctx, deviceSectors).Run();
}

}  // namespace kestrova
