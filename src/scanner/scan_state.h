// The state of a free-space scan that outlives one run of it: where the scan
// stands (a later session file stores and restores this record as it is), the
// options it was started with, and what a window or the command line reads
// while it runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrova {

// Absolute device sectors; a count of 0 is no range.
struct SectorRange {
  std::uint64_t first = 0;
  std::uint64_t count = 0;
};

struct ScanOptions {
  bool raw = true;       // hand every free run to the header detection as well
  bool reverse = false;  // walk the whole volume from its end (the drive's reverse mode)
  // Sectors whose every sector goes to the NTFS boot-sector probe before the
  // walk (old volumes inside or beside the scanned one); empty: none.
  SectorRange bootProbe;
};

// Bits of ScanPosition::flags.
inline constexpr std::uint32_t kScanPosReverse = 0x1;   // the reverse search is running
inline constexpr std::uint32_t kScanPosFinished = 0x2;  // the walk reached the end
inline constexpr std::uint32_t kScanPosPaused = 0x4;    // the scan was paused when stored
inline constexpr std::uint32_t kScanPosNoRaw = 0x8;     // header detection was off

// The scan's position: a plain record of fixed layout (little-endian, packed,
// 112 bytes) so that a session file can store it byte for byte and a resumed
// scan starts where this one stood.
#pragma pack(push, 1)
struct ScanPosition {
  std::uint64_t currentCluster;     //   0: next cluster the forward walk looks at
  std::uint64_t currentSector;      //   8: its first sector (volume-relative)
  std::uint64_t freeVisited;        //  16: free clusters visited so far
  std::uint64_t freeTotal;          //  24: free clusters to visit in all
  std::uint64_t clustersProcessed;  //  32: clusters read (for the megabyte count)
  std::uint64_t lostCount;          //  40: entries in the lost-files list
  std::uint64_t rawCount;           //  48: files found by their headers
  std::uint32_t lastPercent;        //  56: last percentage shown
  std::uint32_t flags;              //  60: kScanPos* bits
  std::uint64_t windowFirstSector;  //  64: block last handed to header detection
  std::uint64_t windowSectorCount;  //  72
  std::uint64_t windowEndSector;    //  80: first + count
  std::uint64_t reverseLowerBound;  //  88: reverse search: where it stops
  std::uint64_t reverseStep;        //  96: reverse search: steps done
  std::uint32_t reverseWindowBytes; // 104: reverse search: window size (0x1400000)
  std::uint32_t reserved;           // 108
};
#pragma pack(pop)
static_assert(sizeof(ScanPosition) == 112);
static_assert(offsetof(ScanPosition, windowFirstSector) == 64);
static_assert(offsetof(ScanPosition, reverseWindowBytes) == 104);

inline ScanPosition MakeScanPosition() { return ScanPosition{}; }

// How a scan ended.
enum class ScanEnd : std::uint8_t {
  Finished,   // the end of the free space (or of the volume) was reached: the prompt was shown
  Stopped,    // stopped on request: no prompt
  Abandoned,  // stopped while paused (another drive, a session loaded): no prompt
  Empty,      // nothing to scan (no free clusters): no prompt
};

enum class ScanState : std::uint8_t { Idle, Running, Paused, Finished, Stopped, Abandoned, Empty };

// One row of the "RAW files" counts.
struct ScanTypeCount {
  std::uint16_t item = 0;      // row of the signature table
  std::string folder;          // its folder under "RAW files"
  std::uint32_t count = 0;
};

// What a window or the command line reads while the scan runs (any thread).
struct ScanSnapshot {
  ScanState state = ScanState::Idle;
  std::uint32_t percent = 0;
  std::uint64_t bytesDone = 0;       // bytes read (the megabytes shown)
  std::uint64_t bytesTotal = 0;      // bytes to read in all (free clusters)
  double elapsedSeconds = 0;         // running time, pauses left out: MB/s = bytesDone / 2^20 / elapsed
  std::uint64_t lostCount = 0;       // "Lost files"
  std::uint64_t rawCount = 0;        // "RAW files"
  std::vector<ScanTypeCount> types;  // finds per type (rows with at least one)
  // The NTFS boot-sector probe before the walk, in sectors (total 0: none).
  std::uint64_t probeDone = 0;
  std::uint64_t probeTotal = 0;
  bool probing = false;  // the probe runs now; the walk has not begun
};

// What the scan reports when it has ended.
struct ScanResult {
  ScanEnd end = ScanEnd::Empty;
  bool saveRequested = false;  // "Yes" to "Scan finished! Do you want to save results?"
  std::uint64_t lostCount = 0;
  std::uint64_t rebuildCount = 0;  // folders under "Rebuild" after the scan
  std::uint64_t rawCount = 0;
  ScanPosition position = MakeScanPosition();
};

}  // namespace kestrova
