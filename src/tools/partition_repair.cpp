#include "tools/partition_repair.h"

#include "common/activity.h"
#include "common/le.h"
#include "common/number_text.h"
#include "common/text.h"
#include "fs/fat/fat_format.h"
#include "fs/ntfs/ntfs_format.h"
#include "resources/strings.h"
#include "tools/mbr_boot_code.h"
#include "volume/fs_names.h"
#include "volume/volume_reader.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace kestrova {
namespace {

constexpr std::size_t kEntriesAt = 446;
constexpr std::uint64_t kTrack = 63;
constexpr std::uint8_t kLinkType = 0x05;
constexpr std::uint8_t kContainerType = 0x0F;
constexpr std::uint32_t kNtfsBackupRegionBytes = 8192;
constexpr std::uint64_t kFat32BackupBootSector = 6;
// Misses in a row that end a pass.
constexpr int kMissesPerPass = 6;
// Modern tools align volumes to 1 MiB; a miss also tries the next such boundary.
constexpr std::uint64_t kMibSectors = 2048;

bool ReadOne(SectorDevice& device, std::uint64_t sector, std::vector<std::uint8_t>& out) {
  VolumeReader reader(device, 0);
  return reader.ReadSector(sector, out);
}

// An extended record: the table signature after 446 zero bytes.
bool IsTableSector(Bytes s) {
  if (s.size() < 512 || LoadLe16(s, 510) != 0xAA55) return false;
  return std::all_of(s.begin(), s.begin() + kEntriesAt, [](std::uint8_t b) { return b == 0; });
}

MbrEntry EntryAt(Bytes sector, int index) { return MbrEntry::Parse(sector.subspan(kEntriesAt + 16 * index, 16)); }

std::uint32_t Clamp32(std::uint64_t v) { return static_cast<std::uint32_t>(std::min<std::uint64_t>(v, 0xFFFFFFFFu)); }

// An entry whose first sector is stored relative to a record, with CHS of the absolute sectors.
MbrEntry RelativeEntry(std::uint8_t type, std::uint64_t absoluteStart, std::uint64_t relativeStart,
                       std::uint64_t count) {
  MbrEntry e = MakeMbrEntry(0, type, Clamp32(absoluteStart), Clamp32(count));
  e.firstSector = Clamp32(relativeStart);
  return e;
}

// A volume recognised at an absolute sector (unknown contents do not count).
bool RecognisedAt(IdentifyContext& ctx, std::uint64_t sector, std::uint64_t count, DriveEntry& out) {
  IdentifyContext quiet = ctx;
  quiet.damagedBootSectors = nullptr;
  MbrEntry table;
  table.sectorCount = Clamp32(count);
  if (!IdentifyVolume(quiet, sector, count ? &table : nullptr, out)) return false;
  return IsRecognised(out) && out.sectors != 0;
}

// The sectors a volume spans in a table entry: NTFS keeps its backup boot
// sector just past its counted sectors.
std::uint64_t TableCount(const DriveEntry& e, IdentifyContext& ctx) {
  if (EntryFsName(e) != u"NTFS") return e.sectors;
  std::vector<std::uint8_t> s;
  if (ReadOne(ctx.device, e.start + e.sectors, s)) {
    const auto b = ParseNtfsBootSector(s);
    if (b && b->signature && b->totalSectors == e.sectors) return e.sectors + 1;
  }
  return e.sectors;
}

// The backup boot sector of `volume` (NTFS keeps it just past its counted
// sectors), not another volume: the same serial at that very place (found
// identified without a table count, so its count is its own). Cloned
// volumes share serials, so the serial alone says nothing.
bool IsBackupOf(const DriveEntry& found, const DriveEntry& volume) {
  if (found.serial == 0 || found.serial != volume.serial || EntryFsName(found) != EntryFsName(volume)) return false;
  // The copy's own count reaches from the volume's first sector to itself.
  return found.start == volume.start + found.sectors;
}

class Walker {
 public:
  Walker(IdentifyContext& ctx, RepairCandidates& c) : ctx_(ctx), c_(c) {
    // Sectors the tables say hold an extended record: only there may a sector
    // without the table signature be taken for a broken record.
    for (const MbrEntry& e : c_.listing.mbr) {
      if (!IsExtendedType(e.type) || e.firstSector == 0 || e.sectorCount == 0) continue;
      chainTargets_.insert(e.firstSector);
      containers_.push_back({e.firstSector, std::uint64_t{e.firstSector} + e.sectorCount});
    }
    for (const ExtendedRecord& r : c_.listing.extendedRecords)
      if (r.entries[1].firstSector != 0) chainTargets_.insert(c_.listing.extendedBase + r.entries[1].firstSector);
  }

  void Pass(std::uint64_t from) {
    std::uint64_t p = from;
    std::uint64_t firstRecord = 0;
    bool recordSeen = false;
    int misses = 0;
    std::size_t added = 0;
    DriveEntry previous = MakeDriveEntry();
    bool havePrevious = false;
    std::vector<std::uint8_t> sector;
    for (std::uint64_t step = 0; step < kMaxWalkSteps && misses < kMissesPerPass && added < kMaxWalkVolumes; ++step) {
      if (c_.deviceSectors != 0 && p >= c_.deviceSectors) return;
      if (!ReadOne(ctx_.device, p, sector)) return;
      std::uint64_t candidate = p;
      std::uint64_t count = 0;
      bool behindRecord = false;
      if (IsTableSector(sector)) {
        if (!recordSeen) {
          recordSeen = true;
          firstRecord = p;
        }
        CheckExtendedRecord(ctx_, p, BaseFor(p, firstRecord), c_);
        const MbrEntry first = EntryAt(sector, 0);
        candidate = p + kTrack;
        DriveEntry probe;
        // A record written by a tool that aligns to 1 MiB points further.
        if (first.firstSector > kTrack && first.sectorCount != 0 && RecognisedAt(ctx_, p + first.firstSector, first.sectorCount, probe))
          candidate = p + first.firstSector;
        count = first.sectorCount;
        behindRecord = true;
      } else {
        for (const MbrEntry& e : c_.listing.mbr)
          if (e.firstSector == p && e.sectorCount != 0) count = e.sectorCount;
      }
      DriveEntry found;
      if (RecognisedAt(ctx_, candidate, count, found) && !(havePrevious && IsBackupOf(found, previous))) {
        ++added;
        misses = 0;
        previous = found;
        havePrevious = true;
        Found(found, behindRecord, firstRecord);
        const std::uint64_t tableCount = TableCount(found, ctx_);
        const std::uint64_t end = found.start + tableCount;
        auto volumeAt = [&](std::uint64_t s) {
          DriveEntry probe;
          return RecognisedAt(ctx_, s, 0, probe) && !IsBackupOf(probe, found);
        };
        const std::uint64_t next = AlignAfter(end, tableCount, volumeAt);
        if (next <= p) return;  // a count that does not move the walk on
        p = next;
        continue;
      }
      if (havePrevious && found.sectors != 0 && IsBackupOf(found, previous)) {
        // The backup boot sector of the volume just found: the next sector may start another.
        p += 1;
        continue;
      }
      if (!behindRecord && chainTargets_.count(p) != 0 &&
          CheckExtendedRecord(ctx_, p, BaseFor(p, recordSeen ? firstRecord : p), c_)) {
        if (!recordSeen) {
          recordSeen = true;
          firstRecord = p;
        }
      }
      ++misses;
      const std::uint64_t aligned = (p / kMibSectors + 1) * kMibSectors;
      p = std::min(p + kTrack, aligned);
    }
  }

 private:
  bool Listed(std::uint64_t start) const {
    auto at = [&](const DriveEntry& e) { return e.start == start; };
    return std::any_of(c_.listing.volumes.begin(), c_.listing.volumes.end(), at);
  }

  void Found(const DriveEntry& volume, bool behindRecord, std::uint64_t firstRecord) {
    if (!Listed(volume.start) &&
        std::none_of(c_.lost.begin(), c_.lost.end(), [&](const DriveEntry& e) { return e.start == volume.start; })) {
      DriveEntry e = volume;
      e.drive = ctx_.drive;
      e.startIsPhysical = 1;
      if (c_.lost.size() < kMaxWalkVolumes) c_.lost.push_back(e);
    }
    const std::uint64_t end = volume.start + TableCount(volume, ctx_);
    if (behindRecord) {
      // A logical volume: its container slot starts at the first record seen.
      for (RebuiltEntry& r : c_.rebuilt) {
        if (r.entry.type == kContainerType && r.entry.firstSector == firstRecord) {
          if (end > r.entry.firstSector + std::uint64_t{r.entry.sectorCount})
            r.entry = MakeMbrEntry(0, kContainerType, Clamp32(firstRecord), Clamp32(end - firstRecord));
          return;
        }
      }
      AddRebuilt(MakeMbrEntry(0, kContainerType, Clamp32(firstRecord), Clamp32(end - firstRecord)));
      return;
    }
    if (Listed(volume.start)) return;
    AddRebuilt(MakeMbrEntry(0, volume.fsKind, Clamp32(volume.start), Clamp32(end - volume.start)));
  }

  void AddRebuilt(const MbrEntry& e) {
    if (c_.rebuilt.size() >= kMaxWalkVolumes) return;
    for (const RebuiltEntry& r : c_.rebuilt)
      if (r.entry.firstSector == e.firstSector) return;
    c_.rebuilt.push_back({e, false});
  }

  // The container a record lies in: the MBR's when it holds the sector, else the first record seen.
  std::uint64_t BaseFor(std::uint64_t record, std::uint64_t firstSeen) const {
    for (const auto& [begin, end] : containers_)
      if (record >= begin && record < end) return begin;
    return firstSeen;
  }

  IdentifyContext& ctx_;
  RepairCandidates& c_;
  std::set<std::uint64_t> chainTargets_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> containers_;
};

// The MBR slots a repair may fill, as the listing counts them.
std::vector<int> WrongSlots(IdentifyContext& ctx, const RepairCandidates& c) {
  std::vector<int> slots;
  if (c.listing.bare || !c.listing.sector0Read) return slots;
  for (int i = 0; i < 4; ++i) {
    const MbrEntry& e = c.listing.mbr[i];
    const bool usedProtective = c.listing.gpt && e.type == kGptProtectiveType;
    const bool usedContainer = IsExtendedType(e.type) && !c.listing.extendedRecords.empty() &&
                               e.firstSector == c.listing.extendedBase;
    if (usedProtective || usedContainer) continue;
    if (IsWrongMbrEntry(ctx, e, c.deviceSectors)) slots.push_back(i);
  }
  // Empty slots first: an entry that only looks wrong (past the end of a
  // truncated image) is overwritten last.
  std::stable_sort(slots.begin(), slots.end(), [&](int a, int b) {
    auto empty = [&](int i) { return c.listing.mbr[i].sectorCount == 0 || c.listing.mbr[i].firstSector == 0; };
    return empty(a) && !empty(b);
  });
  return slots;
}

// The ranges a usable MBR entry covers; a rebuilt entry must not overlap them.
bool OverlapsTable(const RepairCandidates& c, const std::vector<int>& wrong, const MbrEntry& e) {
  const std::uint64_t a = e.firstSector, b = a + e.sectorCount;
  for (int i = 0; i < 4; ++i) {
    if (std::find(wrong.begin(), wrong.end(), i) != wrong.end()) continue;
    const MbrEntry& m = c.listing.mbr[i];
    if (m.sectorCount == 0 || m.firstSector == 0) continue;
    const std::uint64_t ma = m.firstSector, mb = ma + m.sectorCount;
    if (a < mb && ma < b) return true;
  }
  return false;
}

std::u16string U16(const std::string& s) { return ToUtf16(s); }
std::u16string Num(std::uint64_t v) { return U16(std::to_string(v)); }

std::u16string SizeOf(std::uint64_t sectors, std::uint32_t sectorSize) {
  return U16(SizeText(sectors * std::max<std::uint32_t>(sectorSize, 512)));
}

std::u16string VolumeLabel(const DriveEntry& e) {
  std::u16string label = EntryLabel(e);
  return label.empty() ? Text(StringId::PartFixUnnamed) : label;
}

// One sector's write; nothing when it would change nothing.
void AddWrite(RepairPlan& plan, std::uint64_t sector, std::vector<std::uint8_t> before,
              std::vector<std::uint8_t> after, std::u16string what) {
  if (before == after || before.size() != after.size()) return;
  SectorWrite w;
  w.sector = sector;
  w.count = 1;
  w.before = std::move(before);
  w.after = std::move(after);
  w.what = std::move(what);
  plan.writes.push_back(std::move(w));
}

bool IsNtfsEntry(const DriveEntry& e) { return EntryFsName(e) == u"NTFS"; }
bool IsFat32Entry(const DriveEntry& e) { return EntryFsName(e) == u"FAT32"; }

}  // namespace

void QuickPartitionWalk(IdentifyContext& ctx, RepairCandidates& candidates) {
  ActivityMark activity(Fn::QuickPartitionWalk);
  Walker walker(ctx, candidates);
  for (std::uint64_t from : {std::uint64_t{63}, std::uint64_t{16065}, std::uint64_t{256}, std::uint64_t{2048}})
    walker.Pass(from);
}

bool CheckExtendedRecord(IdentifyContext& ctx, std::uint64_t record, std::uint64_t base, RepairCandidates& c) {
  if (c.extendedFixes.size() >= kMaxExtendedFixes) return false;
  for (const ExtendedFix& f : c.extendedFixes)
    if (f.recordSector == record) return false;  // checked already
  std::vector<std::uint8_t> sector;
  if (!ReadOne(ctx.device, record, sector)) return false;
  const MbrEntry first = EntryAt(sector, 0);
  const MbrEntry link = EntryAt(sector, 1);
  // A sector that is neither a record nor empty (a boot sector, data) is no broken record.
  const bool blankTable = std::all_of(sector.begin(), sector.begin() + kEntriesAt, [](std::uint8_t b) { return b == 0; });
  if (!blankTable) return false;

  ExtendedFix fix;
  fix.drive = ctx.drive;
  fix.recordSector = record;
  DriveEntry logical;
  std::uint64_t logicalStart = 0;
  std::uint64_t logicalCount = 0;
  bool haveLogical = false;
  if (first.firstSector != 0 && first.sectorCount != 0 && RecognisedAt(ctx, record + first.firstSector, first.sectorCount, logical)) {
    haveLogical = true;
    logicalStart = record + first.firstSector;
    logicalCount = std::max<std::uint64_t>(first.sectorCount, TableCount(logical, ctx));
  } else if (first.firstSector != kTrack && RecognisedAt(ctx, record + kTrack, 0, logical)) {
    haveLogical = true;
    logicalStart = record + kTrack;
    logicalCount = TableCount(logical, ctx);
    fix.fixFirst = true;
    fix.firstKind = logical.fsKind;
    fix.logicalStart = logicalStart;
    fix.firstEntry = RelativeEntry(logical.fsKind, logicalStart, kTrack, logicalCount);
  }
  if (!haveLogical) return false;
  fix.firstKind = logical.fsKind;
  fix.logicalStart = logicalStart;

  // The link: missing, below the first track, or pointing at nothing.
  bool linkBroken = link.firstSector < kTrack || link.sectorCount == 0;
  if (!linkBroken) {
    std::vector<std::uint8_t> target;
    DriveEntry probe;
    const std::uint64_t at = base + link.firstSector;
    const bool isRecord = ReadOne(ctx.device, at, target) && IsTableSector(target);
    linkBroken = !isRecord && !RecognisedAt(ctx, at, 0, probe);
  }
  if (linkBroken) {
    const std::uint64_t end = logicalStart + logicalCount;
    // The next logical volume one track (or 1 MiB) after the record that should precede it.
    for (std::uint64_t gap : {kTrack, kMibSectors}) {
      DriveEntry next;
      const std::uint64_t nextRecord = end + (gap == kTrack ? 0 : (end % kMibSectors ? kMibSectors - end % kMibSectors : 0));
      const std::uint64_t nextStart = nextRecord + gap;
      if (c.deviceSectors != 0 && nextStart >= c.deviceSectors) break;
      if (nextRecord <= base) break;
      if (!RecognisedAt(ctx, nextStart, 0, next) || IsBackupOf(next, logical)) continue;
      // Only inside the container the MBR gives, when it gives one.
      if (c.listing.hasExtended && c.listing.extendedBase == base) {
        for (const MbrEntry& m : c.listing.mbr)
          if (IsExtendedType(m.type) && m.firstSector == base && nextStart >= base + std::uint64_t{m.sectorCount})
            return false;
      }
      const std::uint64_t nextCount = TableCount(next, ctx);
      fix.fixLink = true;
      fix.nextKind = next.fsKind;
      fix.nextLogicalStart = nextStart;
      // The link keeps an extended type: a data type here would make every
      // other reader take the link for a volume of its own.
      fix.linkEntry = RelativeEntry(kLinkType, nextRecord, nextRecord - base, nextCount + gap);
      break;
    }
  }
  if (!fix.fixFirst && !fix.fixLink) return false;
  fix.used = true;
  c.extendedFixes.push_back(fix);
  return true;
}

RepairCandidates GatherRepairCandidates(IdentifyContext& ctx, const PartitionListing& listing,
                                        const std::vector<DriveEntry>& damagedBootSectors,
                                        std::uint64_t deviceSectors) {
  ActivityMark activity(Fn::GatherRepairCandidates);
  RepairCandidates c;
  c.drive = ctx.drive;
  c.deviceSectors = deviceSectors;
  c.sectorSize = std::max<std::uint32_t>(ctx.device.sectorSize, 512);
  c.listing = listing;
  for (const DriveEntry& e : damagedBootSectors) {
    if (e.drive != ctx.drive || !e.bootDamaged) continue;
    if (std::none_of(c.damagedBoot.begin(), c.damagedBoot.end(), [&](const DriveEntry& d) { return d.start == e.start; }))
      c.damagedBoot.push_back(e);
  }
  if (!listing.sector0Read) return c;
  if (!listing.bare && !listing.gpt) {
    QuickPartitionWalk(ctx, c);
    // Volumes the listing found behind the last one are lost partitions too.
    for (const DriveEntry& e : listing.afterLast) {
      if (std::none_of(c.lost.begin(), c.lost.end(), [&](const DriveEntry& l) { return l.start == e.start; }))
        c.lost.push_back(e);
      const std::uint64_t count = TableCount(e, ctx);
      if (std::none_of(c.rebuilt.begin(), c.rebuilt.end(), [&](const RebuiltEntry& r) { return r.entry.firstSector == e.start; }))
        c.rebuilt.push_back({MakeMbrEntry(0, e.fsKind, Clamp32(e.start), Clamp32(count)), false});
    }
    // Entries an MBR slot already starts at are dropped; so are entries that
    // would overlap a usable slot (a volume inside a listed container).
    const std::vector<int> wrong = WrongSlots(ctx, c);
    std::erase_if(c.rebuilt, [&](const RebuiltEntry& r) {
      for (int i = 0; i < 4; ++i)
        if (c.listing.mbr[i].firstSector == r.entry.firstSector && c.listing.mbr[i].sectorCount != 0) return true;
      return OverlapsTable(c, wrong, r.entry);
    });
    std::sort(c.rebuilt.begin(), c.rebuilt.end(),
              [](const RebuiltEntry& a, const RebuiltEntry& b) { return a.entry.firstSector < b.entry.firstSector; });
    for (std::size_t i = 0; i < c.rebuilt.size(); ++i) c.rebuilt[i].fits = i < wrong.size();
    c.lostPartitions = static_cast<int>(c.rebuilt.size());
  }
  c.restoreList = BuildRestoreList(c);
  return c;
}

std::vector<DriveEntry> BuildRestoreList(const RepairCandidates& c) {
  std::vector<DriveEntry> list;
  auto add = [&](const DriveEntry& e) {
    if (std::none_of(list.begin(), list.end(), [&](const DriveEntry& l) { return l.start == e.start; }))
      list.push_back(e);
  };
  for (const ExtendedFix& f : c.extendedFixes) {
    for (const DriveEntry& e : c.lost)
      if (e.start == f.logicalStart || (f.fixLink && e.start == f.nextLogicalStart)) add(e);
  }
  // Every damaged boot record is listed (not only those up to the first listed twice).
  for (const DriveEntry& e : c.damagedBoot) add(e);
  for (const RebuiltEntry& r : c.rebuilt)
    for (const DriveEntry& e : c.lost)
      if (e.start == r.entry.firstSector) add(e);
  for (const DriveEntry& e : c.lost) {
    // Logical volumes behind a container slot that is lost.
    for (const RebuiltEntry& r : c.rebuilt)
      if (r.entry.type == kContainerType && e.start > r.entry.firstSector &&
          e.start < std::uint64_t{r.entry.firstSector} + r.entry.sectorCount)
        add(e);
  }
  std::sort(list.begin(), list.end(), [](const DriveEntry& a, const DriveEntry& b) { return a.start < b.start; });
  return list;
}

RestoreCheck CheckRestore(const RepairCandidates& c, Ui& ui, bool noRoomConfirmed) {
  if (c.Empty()) {
    ui.MessageBox(Text(StringId::PartFixNothingToRestore), Text(StringId::PartitionFixCaption), MsgIcon::Information,
                  MsgButtons::Ok);
    return RestoreCheck::NothingToRestore;
  }
  int extended = 0;
  for (const RebuiltEntry& r : c.rebuilt)
    if (IsExtendedType(r.entry.type)) ++extended;
  if (extended > 1 || (extended == 1 && c.listing.hasExtended)) {
    ui.MessageBox(Text(StringId::PartFixOnlyOneExtendedPartition), Text(StringId::PartitionFixCaption),
                  MsgIcon::Warning, MsgButtons::Ok);
    return RestoreCheck::SecondExtended;
  }
  if (!noRoomConfirmed && c.listing.wrongMbrEntries < c.lostPartitions) {
    const MsgChoice answer = ui.MessageBox(Text(StringId::PartFixThereIsNoRoom), Text(StringId::InformationCaption),
                                           MsgIcon::Question, MsgButtons::YesNo);
    if (answer != MsgChoice::Yes) return RestoreCheck::NoRoomDeclined;
  }
  return RestoreCheck::Ok;
}

bool RestoreMbr(SectorDevice& device, const RepairCandidates& c, Ui& ui, RepairPlan& plan) {
  if (c.lostPartitions == 0) return true;
  std::vector<std::uint8_t> sector;
  if (!ReadOne(device, 0, sector)) return false;
  std::vector<std::uint8_t> after = sector;
  IdentifyContext ctx{device, c.drive, nullptr, nullptr};
  const std::vector<int> wrong = WrongSlots(ctx, c);
  bool anyActive = false;
  for (int i = 0; i < 4; ++i)
    if (c.listing.mbr[i].bootFlag == 0x80 && std::find(wrong.begin(), wrong.end(), i) == wrong.end()) anyActive = true;
  std::size_t next = 0;
  for (int slot : wrong) {
    while (next < c.rebuilt.size() && (!c.rebuilt[next].fits || c.rebuilt[next].entry.firstSector == 0)) ++next;
    std::span<std::uint8_t> bytes(after.data() + kEntriesAt + 16 * slot, 16);
    if (next < c.rebuilt.size()) {
      MbrEntry e = c.rebuilt[next++].entry;
      // One active entry at most: the first slot becomes active when none is.
      e.bootFlag = (slot == 0 && !anyActive && !IsExtendedType(e.type)) ? 0x80 : 0;
      if (e.bootFlag) anyActive = true;
      StoreMbrEntry(e, bytes);
    } else if (c.listing.mbr[slot].sectorCount == 0 || c.listing.mbr[slot].firstSector == 0) {
      // An empty slot is cleared; one that only looks wrong (a truncated image) is kept.
      std::fill(bytes.begin(), bytes.end(), 0);
    }
  }
  after[510] = 0x55;
  after[511] = 0xAA;
  if (after[0] != 0x33 || after[1] != 0xC0) {
    const MsgChoice answer = ui.MessageBox(Text(StringId::MbrCodeError), Text(StringId::PartitionFixCaption),
                                           MsgIcon::Question, MsgButtons::YesNo);
    if (answer == MsgChoice::Yes) {
      // The disk signature after the code stays: an installed system may know its disk by it.
      const auto code = StandardMbrBootCode();
      std::copy(code.begin(), code.begin() + kMbrDiskSignatureOffset, after.begin());
    }
  }
  AddWrite(plan, 0, std::move(sector), std::move(after), u"MBR");
  return true;
}

bool RestoreExtendedRecords(SectorDevice& device, const RepairCandidates& c, RepairPlan& plan) {
  for (const ExtendedFix& f : c.extendedFixes) {
    if (!f.used) continue;
    std::vector<std::uint8_t> sector;
    if (!ReadOne(device, f.recordSector, sector)) return false;
    std::vector<std::uint8_t> after = sector;
    // Only the two entries and the signature change; the rest of the record stays.
    if (f.fixFirst) StoreMbrEntry(f.firstEntry, std::span(after).subspan(kEntriesAt, 16));
    if (f.fixLink) StoreMbrEntry(f.linkEntry, std::span(after).subspan(kEntriesAt + 16, 16));
    after[510] = 0x55;
    after[511] = 0xAA;
    const std::u16string what = Text(StringId::FixEPPAtSector) + u" " + Num(f.recordSector);
    AddWrite(plan, f.recordSector, std::move(sector), std::move(after), what);
  }
  return true;
}

bool RestoreBootRecords(SectorDevice& device, const RepairCandidates& c, RepairPlan& plan) {
  bool ntfsNote = false;
  for (const DriveEntry& e : c.damagedBoot) {
    std::vector<std::uint8_t> current, backup;
    if (!ReadOne(device, e.start, current)) return false;
    const std::u16string what = VolumeLabel(e) + u" (" + EntryFsName(e) + u")";
    if (IsNtfsEntry(e)) {
      // The backup is the volume's last sector: after its counted sectors, or the last the table gives.
      bool found = false;
      for (std::uint64_t at : {e.start + e.sectors - 1, e.start + e.sectors}) {
        if (e.sectors == 0 || !ReadOne(device, at, backup)) continue;
        const auto b = ParseNtfsBootSector(backup);
        // The copy of this volume (its serial), lying at or past its counted sectors.
        if (b && b->signature && b->MediaWordValid() && static_cast<std::uint32_t>(b->serial) == e.serial &&
            at - e.start >= b->totalSectors) {
          found = true;
          break;
        }
      }
      if (!found) continue;
      // Only the boot sector: the loader sectors after it are left as they are.
      AddWrite(plan, e.start, std::move(current), std::move(backup), what);
      ntfsNote = true;
    } else if (IsFat32Entry(e)) {
      if (!ReadOne(device, e.start + kFat32BackupBootSector, backup)) return false;
      const auto b = ParseFatBootSector(backup);
      if (!b || !b->fat32String || !b->GeometrySane() || b->serial32 != e.serial) continue;
      AddWrite(plan, e.start, std::move(current), std::move(backup), what);
    }
  }
  if (ntfsNote) plan.notes.push_back(Text(StringId::PartFixNtfsLoaderNote));
  return true;
}

std::vector<BackupRange> RepairBackupRanges(const RepairCandidates& c) {
  std::vector<BackupRange> ranges;
  ranges.push_back({0, 1});
  for (const ExtendedFix& f : c.extendedFixes)
    if (f.used) ranges.push_back({f.recordSector, 1});
  const std::uint32_t ss = std::max<std::uint32_t>(c.sectorSize, 512);
  for (const DriveEntry& e : c.damagedBoot)
    ranges.push_back({e.start, IsNtfsEntry(e) ? std::max<std::uint32_t>(1, kNtfsBackupRegionBytes / ss) : 1});
  return ranges;
}

PlanStatus PlanRepair(SectorDevice& device, const RepairCandidates& c, Ui& ui, RepairPlan& plan,
                      bool noRoomConfirmed) {
  ActivityMark activity(Fn::PlanRepair);
  plan = RepairPlan{};
  switch (CheckRestore(c, ui, noRoomConfirmed)) {
    case RestoreCheck::NothingToRestore: return PlanStatus::NothingToRestore;
    case RestoreCheck::SecondExtended: return PlanStatus::SecondExtended;
    case RestoreCheck::NoRoomDeclined: return PlanStatus::NoRoomDeclined;
    case RestoreCheck::Ok: break;
  }
  RepairPlan built;
  built.backup = RepairBackupRanges(c);
  if (!RestoreMbr(device, c, ui, built) || !RestoreExtendedRecords(device, c, built) ||
      !RestoreBootRecords(device, c, built))
    return PlanStatus::ReadFailed;
  plan = std::move(built);
  return PlanStatus::Ok;
}

bool PlanCoveredByBackup(const RepairPlan& plan) {
  for (const SectorWrite& w : plan.writes) {
    const bool covered = std::any_of(plan.backup.begin(), plan.backup.end(), [&](const BackupRange& r) {
      return w.sector >= r.sector && w.sector + w.count <= r.sector + r.count;
    });
    if (!covered || w.count == 0 || w.before.size() != w.after.size()) return false;
  }
  return true;
}

ApplyResult ApplyPlan(SectorDevice& device, const RepairPlan& plan) {
  ActivityMark activity(Fn::ApplyRepairPlan);
  ApplyResult result;
  for (std::size_t i = 0; i < plan.writes.size(); ++i) {
    const SectorWrite& w = plan.writes[i];
    std::vector<std::uint8_t> now(w.before.size());
    // The drive must still hold what the plan was made from (and what the backup keeps).
    if (w.count == 0 || w.after.size() != w.before.size() ||
        device.ReadDeviceSectors(w.sector, now, w.count) != ReadOk || now != w.before) {
      result.failed = i;
      return result;
    }
    if (!device.WriteSectors(w.sector, w.after, w.count)) {
      result.failed = i;
      return result;
    }
    result.written.push_back(i);
    if (device.ReadDeviceSectors(w.sector, now, w.count) != ReadOk || now != w.after) {
      result.failed = i;
      return result;
    }
  }
  result.ok = true;
  return result;
}

DetailsNode RepairDetails(const RepairCandidates& c) {
  DetailsNode root;
  const std::u16string name = c.driveName.empty() ? U16(c.imagePath) : c.driveName;
  root.text = FillPlaceholders(u"%s %s (%s)", {Text(StringId::FixFixDetailsOf), name, SizeOf(c.deviceSectors, c.sectorSize)});

  DetailsNode mbr{Text(StringId::FixMissingPrmaryEntries), {}};
  for (const RebuiltEntry& r : c.rebuilt) {
    const bool ext = IsExtendedType(r.entry.type);
    mbr.children.push_back({FillPlaceholders(u"%s - %s %u, %s %u (%s)",
                                             {Text(ext ? StringId::FixExtendedPartitionString
                                                       : StringId::FixPrimaryPartitionString),
                                              Text(StringId::FixSectorString), Num(r.entry.firstSector),
                                              Text(StringId::FixTotalSectorsString), Num(r.entry.sectorCount),
                                              SizeOf(r.entry.sectorCount, c.sectorSize)}),
                            {}});
  }
  if (c.lostPartitions > c.listing.wrongMbrEntries)
    mbr.children.push_back({Text(StringId::FixNotEnoughSlotsInPartitionTable), {}});
  root.children.push_back(std::move(mbr));

  DetailsNode boot{Text(StringId::FixDamagedBR), {}};
  for (const DriveEntry& e : c.damagedBoot)
    boot.children.push_back(
        {FillPlaceholders(u"%s (%s): %s", {VolumeLabel(e), EntryFsName(e), SizeOf(e.sectors, c.sectorSize)}), {}});
  root.children.push_back(std::move(boot));

  DetailsNode epp{Text(StringId::FixDamagedEPP), {}};
  for (const ExtendedFix& f : c.extendedFixes) {
    DetailsNode record{Text(StringId::FixEPPAtSector) + u" " + Num(f.recordSector), {}};
    for (const DriveEntry& e : c.lost)
      if (e.start == f.logicalStart || (f.fixLink && e.start == f.nextLogicalStart))
        record.children.push_back(
            {FillPlaceholders(u"%s (%s) - %s", {VolumeLabel(e), EntryFsName(e), SizeOf(e.sectors, c.sectorSize)}), {}});
    epp.children.push_back(std::move(record));
  }
  root.children.push_back(std::move(epp));
  return root;
}

}  // namespace kestrova
