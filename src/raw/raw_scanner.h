// The RAW scan: every window of sectors that a scan driver reads is walked
// sector by sector against the signature table; accepted finds become RAW
// entries of the results model under "RAW files". One scanner per scan,
// driven by one thread; only the result list, the cluster map and the counts
// are shared, and those change under the raw list's lock.
#pragma once

#include "common/le.h"
#include "common/ui.h"
#include "raw/scan_items.h"
#include "raw/sector_reader.h"
#include "scan/allocation_map.h"
#include "scan/result_lists.h"
#include "scan/scan_entry.h"

#include <array>
#include <atomic>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kestrova {

class RawScanner;

// A window handed over by a scan driver: sectorCount sectors at data, the
// first of them volume-relative sector firstSector.
struct RawScanWindow {
  std::uint64_t firstSector = 0;
  const std::uint8_t* data = nullptr;
  const std::uint8_t* dataEnd = nullptr;
  std::uint64_t nextSector = 0;  // firstSector + sectorCount: where read-ahead continues
  std::uint32_t sectorCount = 0;
  std::uint32_t stride = 1;      // sectors between tested positions
};

// A measure routine's view of the bytes from its sector on. data[0..size) is
// loaded; pos is the routine's position and may lie past size after a jump;
// nextSector is the sector that follows data[size). ReadAhead moves the loaded
// bytes and pos with them, so a routine advances pos by relative steps and
// keeps its own count of the bytes walked, never a pointer or an old pos.
struct ReadAheadCursor {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t pos = 0;
  std::uint64_t nextSector = 0;

  std::size_t available() const { return pos <= size ? size - pos : 0; }
  Bytes view() const { return pos <= size ? Bytes(data + pos, size - pos) : Bytes(); }
};

// Read-ahead work buffers: data from kReadAheadFront on, up to 4 KiB of
// look-behind kept in front of it; a need of up to kReadAheadMaxNeed is always met.
inline constexpr std::size_t kReadAheadBufferSize = 327680;  // 320 KiB
inline constexpr std::size_t kReadAheadFront = 32768;        // room kept in front of the data
inline constexpr std::size_t kReadAheadMaxNeed = 256 * 1024;
inline constexpr std::size_t kReadAheadMinChunk = 4096;
inline constexpr std::size_t kReadAheadLookBehind = 4096;

// What a routine may say about a find besides its size; cleared before each row is tried.
struct FindScratch {
  std::uint32_t requestedSkip = 0;   // bytes to jump over after the find
  std::uint8_t rating = rating::kIntact;  // kRawClosed (-1): the size is an estimate
  std::int32_t retype = -1;          // item index that replaces the matching row
  std::u16string ownName;            // a name read from inside the file

  void Clear() {
    requestedSkip = 0;
    rating = rating::kIntact;
    retype = -1;
    ownName.clear();
  }
  void MarkEstimate() { rating = rating::kRawClosed; }
};

// Handed to validate, measure and the text detectors.
struct FindContext {
  RawScanner& scanner;
  const ScanItem* row;      // null for the text detectors
  std::uint64_t sector;     // volume-relative sector being tested
  ReadAheadCursor cursor;   // at the sector, over the rest of the window
  FindScratch& scratch;

  Bytes bytes() const { return cursor.view(); }
};

// Text detectors of the second pass: true on a find (which they record through
// RecordFind); size is set only when the text ran past its first sector.
using TextDetectFn = bool (*)(FindContext&, std::uint32_t& size);

struct RawScanConfig {
  std::uint32_t sectorSize = 512;
  bool rawAnalysis = true;       // the drive's "RAW File Analyze" setting
  bool reverse = false;          // reverse scan mode: serials count down from 1,000,000,000
  std::uint32_t sectorsPerCluster = 1;  // for the cluster-map marks
  std::int64_t clusterBase = 0;
};

// Where finds go and who is told.
struct RawScanSinks {
  EntryList* raw = nullptr;      // the results model's rawList
  AllocationMap* map = nullptr;  // code 3 at a header find's first cluster, 4 at a text find's
  Ui* ui = nullptr;              // table-check and "Need Mem!" messages
  // A row's first appended find in this scan: its folder goes under "RAW files".
  std::function<void(const ScanItem&)> typeFolder;
  // Main-window title while a long routine runs ("... [ 42%, 1 234 MB ]", "(SCAN PAUSED)").
  std::function<void(const std::u16string&)> title;
  // The partition search's boot-sector recogniser, handed every tested sector first.
  std::function<void(Bytes, std::uint64_t)> bootSectorProbe;
};

// The scan's stop and pause flags (owned by the driver); null means never.
struct RawScanControl {
  const std::atomic<bool>* stop = nullptr;
  const std::atomic<bool>* pause = nullptr;
  std::atomic<bool>* pausedAck = nullptr;
};

// Shared counters the windows read on their timers.
struct RawScanProgress {
  std::atomic<std::uint64_t> sectorsTested{0};  // positions given the header test
  std::atomic<std::uint32_t> rawFiles{0};       // the "RAW files" count
  std::atomic<std::uint32_t> percent{0};        // last ShowRawProgress figures
  std::atomic<std::uint64_t> megabytes{0};
};

// The driver's position for ShowRawProgress (same thread as the scan).
struct RawProgressBase {
  std::uint64_t clusterSize = 0;   // bytes
  std::uint64_t clustersDone = 0;
  std::uint64_t clustersTotal = 0;
};

// "%s - %s [ %u%s, %s MB ]" over the caption, "scanning free region", the
// percentage and the megabytes (grouped in threes).
std::u16string RawProgressTitle(std::uint32_t percent, std::uint64_t megabytes);

// The pending find: a row without a measure, whose file runs to the next
// accepted header, at most to its maxSize.
struct PendingFile {
  bool open = false;
  const ScanItem* row = nullptr;
  ScanEntry entry{};               // rating kRawOpen while open
  std::uint64_t firstSector = 0;
  std::uint32_t size = 0;          // size so far: maxSize, or 0xFFFFFFFF without one
  std::uint64_t limitSector = 0;   // firstSector + size / sector size
};

// What the scanner carries from one window to the next besides its lists:
// the find counts (the serials of the names to come) and the pending file. A
// scan stopped at a checkpoint stores it and a resumed one takes it back.
struct RawCarriedState {
  std::array<std::uint32_t, kScanItemCount> foundCounts{};
  bool pendingOpen = false;
  std::uint16_t pendingRow = 0;  // item index of the pending file's row
  ScanEntry pendingEntry = MakeScanEntry();
  std::uint64_t pendingFirstSector = 0;
  std::uint32_t pendingSize = 0;
  std::uint64_t pendingLimitSector = 0;
};

class RawScanner {
 public:
  explicit RawScanner(RawSectorReader& reader, const ScanItemTable& table = DefaultScanItemTable());
  RawScanner(const RawScanner&) = delete;
  RawScanner& operator=(const RawScanner&) = delete;

  RawScanConfig config;
  RawScanSinks sinks;
  RawScanControl control;
  RawProgressBase progressBase;
  RawScanProgress progress;
  struct {
    TextDetectFn ansi = nullptr;
    TextDetectFn unicode = nullptr;
  } textDetectors;

  // Before every scan: checks the table ("SCAN_ITEM CRITICAL_COMIPLE_STRUCT_ERROR"
  // once when its last row is not ".last", then carries on), zeroes the find
  // counts, forgets the pending file, the scratch and the latest find. False
  // when the table check failed.
  bool ResetScanItems();

  // Walks one window: the header pass, then the text pass when RAW analysis is
  // on. sectorsDone receives how far the last pass advanced (past the window
  // when a find is to be skipped). Returns 0.
  int ScanRawWindow(const RawScanWindow& window, std::uint64_t& sectorsDone);

  // Closes the pending file when sector lies beyond its limit.
  void CheckPendingLimit(std::uint64_t sector);
  // Closes the pending file as if a header were found at sector (the driver
  // may call it at the end of the volume); nothing when none is open.
  void ClosePending(std::uint64_t sector);
  const PendingFile& pending() const { return pending_; }

  RawCarriedState CarriedState() const;
  // After ResetScanItems: takes the counts and the pending file back, and
  // `rawFiles` as the "RAW files" count. False (nothing changed) when the
  // pending row is no row of this table.
  bool RestoreCarriedState(const RawCarriedState& state, std::uint32_t rawFiles);

  // Make need bytes available at the cursor, loading at least chunk bytes
  // behind the loaded data from the reader. ReadAheadAt uses a second buffer
  // for routines that keep a cursor of their own. False only when need is
  // beyond kReadAheadMaxNeed.
  bool ReadAhead(ReadAheadCursor& cursor, std::size_t need, std::size_t chunk);
  bool ReadAheadAt(ReadAheadCursor& cursor, std::size_t need, std::size_t chunk);

  // Title progress for routines that walk long runs (at most every 75 ms;
  // nothing in the reverse mode, whose driver shows its own).
  void ShowRawProgress(std::uint64_t bytesIntoRun);
  // For long routines: parks while the scan is paused, true when a stop is requested.
  bool PauseOrStop();

  // Records a find (steps shared by the header test and the text detectors):
  // counts it, names it and appends it with the given cluster-map code. Returns
  // false when the list could not take it.
  bool RecordFind(const ScanItem& row, std::uint64_t firstSector, std::uint32_t size, const FindScratch& scratch,
                  std::uint8_t mapCode);

  // Find counts (the serial of a row's latest find).
  std::uint32_t FoundCount(std::size_t index) const { return index < foundCount_.size() ? foundCount_[index] : 0; }
  // Recounts the rows from a list of RAW results (after a session load):
  // by extension, over the primary rows of both lists.
  void RebuildTypeCounts(const EntryList& results);
  // Position in the raw list and row of the latest appended find.
  std::optional<std::size_t> latestFind() const { return latestFind_; }
  const ScanItem* latestRow() const { return latestRow_; }

  const ScanItemTable& table() const { return table_; }
  const HeaderMatcher& matcher() const { return matcher_; }
  const RawScanWindow& window() const { return window_; }
  void SetReader(RawSectorReader& reader) { reader_ = &reader; }

 private:
  struct WorkBuffer {
    std::vector<std::uint8_t> bytes;
  };

  std::uint32_t CountFind(const ScanItem& row);
  std::uint32_t Serial(std::uint32_t count) const;
  ScanEntry BuildEntry(const ScanItem& row, std::uint64_t firstSector, std::uint32_t size, std::uint8_t rating,
                       std::uint32_t serial, bool ownName) const;
  bool Append(const ScanEntry& entry, const std::u16string* name, const ScanItem& row, std::uint8_t mapCode);
  std::uint64_t HeaderTest(std::uint64_t position);
  bool CallValidate(const ScanItem& row, FindContext& ctx);
  std::uint32_t CallMeasure(const ScanItem& row, FindContext& ctx);
  FindContext ContextAt(const ScanItem* row, std::uint64_t position);
  bool ReadAheadInto(WorkBuffer& buffer, ReadAheadCursor& cursor, std::size_t need, std::size_t chunk);
  void TextPass(std::uint64_t& sectorsDone);
  bool StopRequested() const { return control.stop && control.stop->load(std::memory_order_relaxed); }

  RawSectorReader* reader_;
  const ScanItemTable& table_;
  HeaderMatcher matcher_;
  std::array<std::uint32_t, kScanItemCount> foundCount_{};
  std::bitset<kScanItemCount> folderShown_;
  PendingFile pending_;
  FindScratch scratch_;
  RawScanWindow window_;
  std::uint32_t windowSectors_ = 0;
  WorkBuffer readAhead_;
  WorkBuffer readAheadAt_;
  std::optional<std::size_t> latestFind_;
  const ScanItem* latestRow_ = nullptr;
  bool needMemShown_ = false;
  std::chrono::steady_clock::time_point lastProgress_{};
};

}  // namespace kestrova
