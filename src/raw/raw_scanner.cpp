#include "raw/raw_scanner.h"

#include "common/activity.h"

#include "common/number_text.h"
#include "common/text.h"
#include "raw/text_detect.h"
#include "resources/strings.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace kestrova {
namespace {

constexpr std::uint32_t kMinSectorSize = 512;
constexpr std::uint32_t kMaxSectorSize = 65536;
constexpr std::uint32_t kUnboundedSize = 0xFFFFFFFFu;  // a pending row without a maxSize
constexpr std::uint32_t kReverseSerialBase = 1000000000u;
constexpr std::uint32_t kIsoDescriptorOffset = 32768;  // the volume descriptor lies 32 KiB into the image
constexpr std::uint32_t kSmallestRequestedSkip = 512;
constexpr std::size_t kOwnNameMax = 256;
constexpr std::uint64_t kFaultAdvanceBytes = 1048576;  // a window that faulted counts as 1 MiB done

bool AllBytes(const std::uint8_t* p, std::size_t n, std::uint8_t v) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i] != v) return false;
  return true;
}
bool Zero8(const std::uint8_t* p) { return AllBytes(p, 8, 0); }
bool Zero4(const std::uint8_t* p) { return AllBytes(p, 4, 0); }
bool Ff4(const std::uint8_t* p) { return AllBytes(p, 4, 0xFF); }
// Empty, wiped or pattern-filled sectors that begin a window.
bool Blank(const std::uint8_t* p) { return Ff4(p) || AllBytes(p, 4, 0xAA) || AllBytes(p, 4, 0x55) || Zero8(p); }

std::uint64_t SectorsFor(std::uint64_t bytes, std::uint32_t sectorSize) {
  return bytes / sectorSize + (bytes % sectorSize ? 1 : 0);
}

bool IsSizeSkipped(std::uint16_t index) {
  return index == item::kMp3Sync || index == item::kMp3Id3v2 || index == item::kMp3Id3v3 ||
         index == item::kMpegB9 || index == item::kMpegBA;
}

}  // namespace

std::u16string RawProgressTitle(std::uint32_t percent, std::uint64_t megabytes) {
  std::u16string t = Text(StringId::Caption);
  t += u" - ";
  t += Text(StringId::ScanningFreeRegion);
  t += u" [ ";
  t += ToUtf16(std::to_string(percent));
  t += u"%, ";
  t += ToUtf16(GroupNumber(megabytes));
  t += u" MB ]";
  return t;
}

RawScanner::RawScanner(RawSectorReader& reader, const ScanItemTable& table)
    : reader_(&reader), table_(table), matcher_(table) {
  textDetectors.ansi = DetectAnsiText;
  textDetectors.unicode = DetectUnicodeText;
}

bool RawScanner::ResetScanItems() {
  ActivityMark activity(Fn::RawScannerResetScanItems);
  const bool intact = ScanItemTableIntact(table_);
  if (!intact && sinks.ui)
    sinks.ui->MessageBox(Text(StringId::ScanItemTableError), Text(StringId::CompileErrorCaption), MsgIcon::Error,
                         MsgButtons::Ok);
  foundCount_.fill(0);
  folderShown_.reset();
  pending_ = PendingFile{};
  scratch_.Clear();
  latestFind_.reset();
  latestRow_ = nullptr;
  needMemShown_ = false;
  progress.sectorsTested = 0;
  progress.rawFiles = 0;
  progress.percent = 0;
  progress.megabytes = 0;
  for (WorkBuffer* b : {&readAhead_, &readAheadAt_})
    if (b->bytes.empty()) b->bytes.assign(kReadAheadBufferSize, 0);
  return intact;
}

std::uint32_t RawScanner::CountFind(const ScanItem& row) { return ++foundCount_[row.itemIndex]; }

std::uint32_t RawScanner::Serial(std::uint32_t count) const {
  if (!config.reverse) return count;
  // Counting down keeps the names in disk order when the disk is read from its end.
  return count < kReverseSerialBase ? kReverseSerialBase - count : 0;
}

ScanEntry RawScanner::BuildEntry(const ScanItem& row, std::uint64_t firstSector, std::uint32_t size,
                                 std::uint8_t ratingByte, std::uint32_t serial, bool ownName) const {
  ScanEntry e = MakeScanEntry();
  e.size = size;
  e.SetRawFirstSector(firstSector);
  e.rating = ratingByte;
  e.SetKind(EntryKind::Raw);
  // The row is kept for named finds too: "RAW files" groups finds by their type.
  e.SetRaw(serial, row.itemIndex);
  if (!ownName) e.name = kGeneratedName;
  return e;
}

bool RawScanner::Append(const ScanEntry& entry, const std::u16string* name, const ScanItem& row,
                        std::uint8_t mapCode) {
  if (!sinks.raw) return false;
  bool firstOfRow = false;
  {
    std::scoped_lock lock(sinks.raw->lock);
    if (sinks.map && config.sectorsPerCluster) {
      const auto rel = static_cast<std::int64_t>(entry.RawFirstSector()) - config.clusterBase;
      if (rel >= 0) sinks.map->Mark(static_cast<std::uint64_t>(rel) / config.sectorsPerCluster, mapCode);
    }
    const auto index = sinks.raw->Add(entry, name);
    if (!index) return false;  // the list has told the user
    latestFind_ = index;
    latestRow_ = &row;
    if (!folderShown_[row.itemIndex]) {
      folderShown_.set(row.itemIndex);
      firstOfRow = true;
    }
    progress.rawFiles.fetch_add(1, std::memory_order_relaxed);
  }
  // Outside the lock: the folder tree is the window's, not the list's.
  if (firstOfRow && sinks.typeFolder) sinks.typeFolder(row);
  return true;
}

bool RawScanner::RecordFind(const ScanItem& row, std::uint64_t firstSector, std::uint32_t size,
                            const FindScratch& scratch, std::uint8_t mapCode) {
  const std::uint32_t serial = Serial(CountFind(row));
  const bool ownName = !scratch.ownName.empty() && scratch.ownName[0] != u'.';
  const ScanEntry e = BuildEntry(row, firstSector, size, scratch.rating, serial, ownName);
  if (!ownName) return Append(e, nullptr, row, mapCode);
  const std::u16string name = scratch.ownName.substr(0, kOwnNameMax);
  return Append(e, &name, row, mapCode);
}

void RawScanner::ClosePending(std::uint64_t sector) {
  ActivityMark activity(Fn::RawScannerClosePending);
  if (!pending_.open) return;
  std::uint32_t size = pending_.size;
  // A header below the pending file (reverse mode) leaves it at its full size.
  if (sector > pending_.firstSector) {
    const std::uint64_t sectors = sector - pending_.firstSector;
    if (sectors <= size / config.sectorSize) size = static_cast<std::uint32_t>(sectors * config.sectorSize);
  }
  pending_.open = false;
  pending_.entry.size = size;
  pending_.entry.rating = rating::kRawClosed;
  Append(pending_.entry, nullptr, *pending_.row, cluster_mark::kFoundStart);
}

RawCarriedState RawScanner::CarriedState() const {
  RawCarriedState s;
  s.foundCounts = foundCount_;
  s.pendingOpen = pending_.open && pending_.row != nullptr;
  if (s.pendingOpen) {
    s.pendingRow = pending_.row->itemIndex;
    s.pendingEntry = pending_.entry;
    s.pendingFirstSector = pending_.firstSector;
    s.pendingSize = pending_.size;
    s.pendingLimitSector = pending_.limitSector;
  }
  return s;
}

bool RawScanner::RestoreCarriedState(const RawCarriedState& s, std::uint32_t rawFiles) {
  const ScanItem* row = nullptr;
  if (s.pendingOpen) {
    row = ItemByIndex(table_, s.pendingRow);
    if (!row || row->itemIndex == item::kFirst || row->itemIndex == item::kLast) return false;
  }
  foundCount_ = s.foundCounts;
  pending_ = PendingFile{};
  if (row) {
    pending_.open = true;
    pending_.row = row;
    pending_.entry = s.pendingEntry;
    pending_.entry.name = kGeneratedName;  // a pending find is always auto-named
    pending_.entry.rating = rating::kRawOpen;
    pending_.firstSector = s.pendingFirstSector;
    pending_.size = s.pendingSize;
    pending_.limitSector = s.pendingLimitSector;
  }
  progress.rawFiles = rawFiles;
  return true;
}

void RawScanner::CheckPendingLimit(std::uint64_t sector) {
  if (!pending_.open || sector <= pending_.limitSector) return;
  pending_.open = false;
  pending_.entry.size = pending_.size;
  pending_.entry.rating = rating::kRawClosed;
  Append(pending_.entry, nullptr, *pending_.row, cluster_mark::kFoundStart);
}

FindContext RawScanner::ContextAt(const ScanItem* row, std::uint64_t position) {
  const std::size_t offset = static_cast<std::size_t>(position) * config.sectorSize;
  ReadAheadCursor c;
  c.data = window_.data + offset;
  c.size = static_cast<std::size_t>(windowSectors_) * config.sectorSize - offset;
  c.pos = 0;
  c.nextSector = window_.firstSector + windowSectors_;
  return FindContext{*this, row, window_.firstSector + position, c, scratch_};
}

bool RawScanner::CallValidate(const ScanItem& row, FindContext& ctx) {
  ActivityMark activity(Fn::RawScannerCallValidate);
  try {
    return row.validate(ctx);
  } catch (...) {
    return false;  // a routine that fails rejects its row only
  }
}

std::uint32_t RawScanner::CallMeasure(const ScanItem& row, FindContext& ctx) {
  ActivityMark activity(Fn::RawScannerCallMeasure);
  try {
    return row.measure(ctx);
  } catch (...) {
    return 0;
  }
}

std::uint64_t RawScanner::HeaderTest(std::uint64_t position) {
  const std::uint32_t ss = config.sectorSize;
  const std::uint64_t sector = window_.firstSector + position;
  const std::size_t offset = static_cast<std::size_t>(position) * ss;
  const Bytes at(window_.data + offset, static_cast<std::size_t>(windowSectors_) * ss - offset);
  if (sinks.bootSectorProbe) sinks.bootSectorProbe(at, sector);
  if (!config.rawAnalysis) return 0;

  scratch_.requestedSkip = 0;
  std::size_t cursor = 0;
  for (;;) {
    const HeaderMatcher::Match match = matcher_.Next(at, cursor);
    if (match.needMore) {
      // Cannot happen with whole sectors of 512 bytes or more; reported once, not per sector.
      if (!needMemShown_ && sinks.ui) {
        needMemShown_ = true;
        sinks.ui->MessageBox(Text(StringId::RawNeedMem), u"", MsgIcon::Error, MsgButtons::Ok);
      }
      return 0;
    }
    if (!match.row) return 0;
    const ScanItem& row = *match.row;
    FindContext ctx = ContextAt(&row, position);
    if (row.validate && !CallValidate(row, ctx)) continue;
    scratch_.Clear();
    const bool measured = row.measure != nullptr && !row.derived;
    std::uint32_t size = 0;
    if (measured) {
      ctx.cursor = ContextAt(&row, position).cursor;
      size = CallMeasure(row, ctx);
      if (size == 0) continue;
    }
    std::uint64_t first = sector;
    if (row.itemIndex == item::kIso) {
      const std::uint64_t back = kIsoDescriptorOffset / ss;
      if (sector < back) continue;  // the image would begin before the volume
      first = sector - back;
    }
    if (pending_.open) ClosePending(sector);

    const ScanItem* typed = &row;
    if (scratch_.retype >= 0) {
      const ScanItem* r = ItemByIndex(table_, static_cast<std::size_t>(scratch_.retype));
      if (r && r->itemIndex != item::kFirst && r->itemIndex != item::kLast) typed = r;
    }
    if (measured) {
      RecordFind(*typed, first, size, scratch_, cluster_mark::kFoundStart);
      std::uint64_t skip = 0;
      const bool zip = row.itemIndex == item::kZip && scratch_.rating != rating::kRawClosed;
      if (zip || IsSizeSkipped(row.itemIndex))
        skip = size;
      else if (scratch_.requestedSkip >= kSmallestRequestedSkip)
        skip = scratch_.requestedSkip;
      return skip;
    }
    // No measure: the file runs to the next accepted header, at most maxSize.
    size = typed->maxSize ? typed->maxSize : kUnboundedSize;
    const std::uint32_t serial = Serial(CountFind(*typed));
    pending_.open = true;
    pending_.row = typed;
    pending_.entry = BuildEntry(*typed, first, size, rating::kRawOpen, serial, false);
    pending_.firstSector = first;
    pending_.size = size;
    pending_.limitSector = first + size / ss;
    return 0;
  }
}

int RawScanner::ScanRawWindow(const RawScanWindow& window, std::uint64_t& sectorsDone) {
  ActivityMark activity(Fn::RawScannerScanRawWindow);
  const std::uint32_t ss = config.sectorSize;
  sectorsDone = window.sectorCount;
  if (ss < kMinSectorSize || ss > kMaxSectorSize || !window.data || window.dataEnd < window.data) return 0;
  // Only whole sectors that the window really holds are tested.
  const auto bytes = static_cast<std::uint64_t>(window.dataEnd - window.data);
  const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(window.sectorCount, bytes / ss));
  if (count == 0) return 0;  // not one whole sector: nothing to test
  window_ = window;
  windowSectors_ = count;
  const std::uint32_t stride = std::max<std::uint32_t>(1, window.stride);
  sectorsDone = count;
  try {
    std::uint64_t pos = 0;
    while (pos < count && Blank(window.data + pos * ss)) {
      CheckPendingLimit(window.firstSector + pos);
      ++pos;
    }
    if (pos >= count) return 0;
    while (pos < count) {
      if (StopRequested()) {
        sectorsDone = pos;
        return 0;
      }
      CheckPendingLimit(window.firstSector + pos);
      const std::uint8_t* p = window.data + pos * ss;
      std::uint64_t skip = 0;
      if (!Zero8(p) && !Ff4(p)) {
        progress.sectorsTested.fetch_add(1, std::memory_order_relaxed);
        skip = HeaderTest(pos);
      }
      if (skip) {
        pos += SectorsFor(skip, ss);
        if (pos > count) {
          // The find runs past the window: the driver goes on behind it.
          sectorsDone = pos;
          return 0;
        }
      } else {
        pos += stride;
      }
    }
    sectorsDone = pos;
    if (config.rawAnalysis && (textDetectors.ansi || textDetectors.unicode)) TextPass(sectorsDone);
  } catch (...) {
    sectorsDone = kFaultAdvanceBytes / ss;
  }
  return 0;
}

void RawScanner::TextPass(std::uint64_t& sectorsDone) {
  ActivityMark activity(Fn::RawScannerTextPass);
  const std::uint32_t ss = config.sectorSize;
  std::uint64_t pos = 0;
  while (pos < windowSectors_) {
    if (StopRequested()) break;
    const std::uint8_t* p = window_.data + pos * ss;
    if (Zero4(p) || Ff4(p)) {
      ++pos;
      continue;
    }
    std::uint32_t size = 0;
    bool found = false;
    scratch_.Clear();
    FindContext ctx = ContextAt(nullptr, pos);
    if (textDetectors.ansi) found = textDetectors.ansi(ctx, size);
    const bool utf16Shaped = (p[1] == 0 && p[3] == 0 && p[0] != 0 && p[2] != 0) || (p[0] == 0xFF && p[1] == 0xFE);
    if (!found && textDetectors.unicode && utf16Shaped) {
      size = 0;
      scratch_.Clear();
      ctx.cursor = ContextAt(nullptr, pos).cursor;
      found = textDetectors.unicode(ctx, size);
    }
    if (found && size) {
      pos += SectorsFor(size, ss);
      if (pos > windowSectors_) break;
    } else {
      ++pos;
    }
  }
  sectorsDone = pos;
}

bool RawScanner::ReadAhead(ReadAheadCursor& cursor, std::size_t need, std::size_t chunk) {
  return ReadAheadInto(readAhead_, cursor, need, chunk);
}

bool RawScanner::ReadAheadAt(ReadAheadCursor& cursor, std::size_t need, std::size_t chunk) {
  return ReadAheadInto(readAheadAt_, cursor, need, chunk);
}

bool RawScanner::ReadAheadInto(WorkBuffer& buffer, ReadAheadCursor& c, std::size_t need, std::size_t chunk) {
  if (c.pos <= c.size && c.size - c.pos >= need) return true;
  if (need > kReadAheadMaxNeed) return false;
  const std::size_t ss = config.sectorSize;
  if (ss < kMinSectorSize || ss > kMaxSectorSize) return false;
  chunk = std::clamp(chunk, kReadAheadMinChunk, kReadAheadMaxNeed);
  // 320 KiB serve every need up to the maximum with sectors of up to 4 KiB;
  // larger sectors get a larger buffer, once.
  const std::size_t required = std::max(kReadAheadBufferSize, kReadAheadFront + kReadAheadMaxNeed + 2 * ss);
  if (buffer.bytes.size() < required) buffer.bytes.assign(required, 0);
  std::uint8_t* buf = buffer.bytes.data();
  const std::size_t room = buffer.bytes.size();

  if (c.pos <= c.size) {
    // Keep the unread bytes (and a little look-behind) in front of the new
    // data, which starts sector-aligned in the buffer.
    const std::size_t unread = c.size - c.pos;
    const std::size_t behind = std::min(kReadAheadLookBehind, c.pos);
    const std::size_t newAt = kReadAheadFront + SectorsFor(unread, static_cast<std::uint32_t>(ss)) * ss;
    const std::size_t keepFrom = newAt - unread - behind;
    std::memmove(buf + keepFrom, c.data + c.pos - behind, behind + unread);
    const std::size_t want = std::max(chunk, need) - std::min(unread, std::max(chunk, need));
    const std::size_t sectors = std::min(SectorsFor(want, static_cast<std::uint32_t>(ss)), (room - newAt) / ss);
    reader_->Read(c.nextSector, static_cast<std::uint32_t>(sectors), std::span<std::uint8_t>(buf + newAt, sectors * ss));
    c.data = buf + keepFrom;
    c.pos = behind;
    c.size = behind + unread + sectors * ss;
    c.nextSector += sectors;
  } else {
    // The routine jumped past the loaded data: skip the whole sectors between.
    const std::uint64_t beyond = c.pos - c.size;
    const std::uint64_t skipped = beyond / ss;
    const std::size_t offset = static_cast<std::size_t>(beyond % ss);
    const std::size_t sectors = std::min(SectorsFor(std::max(chunk, offset + need), static_cast<std::uint32_t>(ss)),
                                         (room - kReadAheadFront) / ss);
    reader_->Read(c.nextSector + skipped, static_cast<std::uint32_t>(sectors),
                  std::span<std::uint8_t>(buf + kReadAheadFront, sectors * ss));
    c.data = buf + kReadAheadFront;
    c.pos = offset;
    c.size = sectors * ss;
    c.nextSector += skipped + sectors;
  }
  return c.pos <= c.size && c.size - c.pos >= need;
}

void RawScanner::ShowRawProgress(std::uint64_t bytesIntoRun) {
  if (config.reverse) return;  // the reverse driver shows its own progress
  const auto now = std::chrono::steady_clock::now();
  if (now - lastProgress_ < std::chrono::milliseconds(75)) return;
  lastProgress_ = now;
  const RawProgressBase base = progressBase;
  if (!base.clusterSize || !base.clustersTotal) return;
  const std::uint64_t clusters = bytesIntoRun / base.clusterSize + base.clustersDone;
  const auto percent = static_cast<std::uint32_t>(std::min<std::uint64_t>(100, clusters * 100 / base.clustersTotal));
  const std::uint64_t megabytes = clusters * base.clusterSize / 1048576;
  progress.percent = percent;
  progress.megabytes = megabytes;
  if (sinks.title) sinks.title(RawProgressTitle(percent, megabytes));
}

bool RawScanner::PauseOrStop() {
  if (control.pause && control.pause->load()) {
    if (sinks.title) sinks.title(Text(StringId::Caption) + u" " + Text(StringId::ScanPaused));
    if (control.pausedAck) control.pausedAck->store(true);
    while (control.pause->load() && !StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (control.pausedAck) control.pausedAck->store(false);
  }
  return StopRequested();
}

void RawScanner::RebuildTypeCounts(const EntryList& results) {
  ActivityMark activity(Fn::RawScannerRebuildTypeCounts);
  // The rows that count, with their extensions folded once.
  struct Counted {
    std::uint16_t index;
    std::u16string ext;
  };
  std::vector<Counted> rows;
  for (std::uint16_t index : kHeaderScanOrder)
    if (table_[index].primary) rows.push_back({index, ToLower(ExtensionNoDot16(table_[index]))});
  for (std::size_t i = 0; i < kDerivedItemCount; ++i)
    if (table_[kDerivedItems[i]].primary)
      rows.push_back({kDerivedItems[i], ToLower(ExtensionNoDot16(table_[kDerivedItems[i]]))});

  foundCount_.fill(0);
  {
    std::scoped_lock lock(results.lock);
    const std::size_t n = results.size();
    for (std::size_t i = 0; i < n; ++i) {
      const ScanEntry e = results.at(i);
      if (e.Kind() != EntryKind::Raw) continue;
      std::u16string ext;
      if (e.name == kGeneratedName) {
        const ScanItem* row = ItemByIndex(table_, e.RawSignature());
        if (!row) continue;
        ext = ExtensionNoDot16(*row);
      } else if (const std::u16string* name = results.NameOf(e)) {
        const auto dot = name->rfind(u'.');
        if (dot == std::u16string::npos) continue;
        ext = name->substr(dot + 1);
      } else {
        continue;
      }
      ext = ToLower(ext);
      for (const Counted& r : rows)
        if (r.ext == ext) ++foundCount_[r.index];
    }
  }
  folderShown_.reset();
  for (const Counted& r : rows) {
    if (!foundCount_[r.index] || folderShown_[r.index]) continue;
    folderShown_.set(r.index);
    if (sinks.typeFolder) sinks.typeFolder(table_[r.index]);
  }
}

}  // namespace kestrova
