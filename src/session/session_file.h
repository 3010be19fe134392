// Scan session files (.kvs): the result lists, their names, the allocation
// map and three histories as compressed blocks back to back from offset 0,
// then one fixed trailer that locates every block and carries the scanned
// drive and the scan's resume state. A session saved by one build loads in
// any other, so every layout here is fixed (packed, little-endian).
//
// The loader treats a file as hostile: every block reference is checked
// against the file, every raw size against what its block can decode to and
// what its list may hold before anything is allocated, and the lists are
// decoded into fresh storage that the caller takes over only when the whole
// file has been read back.
#pragma once

#include "device/drive_entry.h"
#include "scan/result_lists.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrova::session {

static_assert(std::endian::native == std::endian::little, "session records are stored as they lie in memory");

#pragma pack(push, 1)
// Where a block lies: file offset, bytes before compression, bytes in the file.
struct BlockRef {
  std::uint32_t offset;
  std::uint32_t rawSize;     // 0: the block is absent
  std::uint32_t storedSize;
};

// Where the free-space scan stands, so that it can continue from a session.
struct ScanResumeState {
  std::uint64_t cluster;       // current cluster
  std::uint64_t sector;        // sector of the current cluster
  std::uint32_t freeVisited;   // free clusters visited
  std::uint32_t freeTotal;     // free clusters to visit
  std::uint64_t clustersDone;  // clusters processed (the megabyte count); high half reset on load
  std::uint32_t lostCount;     // entries in the lost-files list
  std::uint32_t rawCount;      // files found by their headers
  std::uint32_t lastPercent;
};

// Resume state of the lost-files and RAW scans; stored and restored as it is.
struct RawResumeState {
  std::uint32_t position;
  std::uint32_t mode;          // 0x1400000 when set by the RAW scan
  std::uint32_t value;
  std::uint64_t first;
  std::uint64_t second;
  std::uint64_t third;
  std::uint32_t fourth;
  std::uint32_t fifth;
};

// One slot of the explorer's path drop-down: the chain from the root.
struct NavChain {
  std::uint32_t depth;
  std::uint32_t folders[128];
};

// The drive entry the user chose on the start window.
struct SelectedDriveRecord {
  std::int32_t drive;          // index in the drive list, -1 for an image
  std::uint64_t start;
  std::uint64_t sectors;
  std::uint32_t sectorSize;
  std::uint8_t letter;         // '$' without a letter
  std::uint8_t fsType;
  std::uint8_t reserved[10];
};

struct SessionTrailer {
  std::uint8_t magic[4];                 // "KVSS"
  ScanResumeState scan;
  std::uint32_t paused;                  // 1: the scan was paused when saved
  BlockRef fil;                          // deleted-entry notes
  BlockRef lostFil;
  BlockRef rebuildFil;
  BlockRef rawFil;
  BlockRef amap;
  BlockRef lostStrings;
  BlockRef rebuildStrings;
  BlockRef rawStrings;
  BlockRef historyMain;
  BlockRef historyAdvanced;
  BlockRef reservedRef;
  BlockRef savePaths;
  std::uint32_t slotFolder[16];          // explorer: folder id of each path drop-down slot
  NavChain slotChain[16];
  std::uint32_t currentChain[16];        // the first 16 ids of the current folder chain
  std::uint8_t reserved2184[448];
  std::uint32_t currentDepth;
  std::uint32_t pathItemCount;           // at most 16
  std::uint8_t pathItems[16][1024];      // UTF-16; written, not read back
  std::uint32_t scanComplete;            // 0 while the free-space scan has not finished
  std::uint32_t driveIdentity;
  std::uint8_t driveLetter;              // '$' for a volume without a letter
  std::uint8_t imagePath[1024];          // UTF-16; empty for a real drive
  std::uint8_t favorites[16][1544];      // each begins with a UTF-16 path
  std::uint32_t checkValues[11];         // written as 0, never tested
  std::uint32_t formatWord;              // written as 2, not read
  std::uint32_t fromPartitionList;       // 1: the volume was chosen from a drive's partition list
  DriveEntry partition;                  // its first field: the drive's index, -1 for an image
  PhysicalDriveRecord drive;             // with index -1: the image path and its byte size
  SelectedDriveRecord selected;
  std::uint32_t stateWord;
  RawResumeState rawScan;
  std::uint32_t partitionCount;
  DriveEntry partitions[2048];
  std::uint8_t reservedEnd[348];
};
#pragma pack(pop)

static_assert(sizeof(BlockRef) == 12);
static_assert(sizeof(ScanResumeState) == 44);
static_assert(sizeof(RawResumeState) == 44);
static_assert(sizeof(NavChain) == 516);
static_assert(sizeof(SelectedDriveRecord) == 36);
static_assert(sizeof(SessionTrailer) == 0x15C578);
static_assert(offsetof(SessionTrailer, scan) == 0x0004);
static_assert(offsetof(SessionTrailer, paused) == 0x0030);
static_assert(offsetof(SessionTrailer, fil) == 0x0034);
static_assert(offsetof(SessionTrailer, lostFil) == 0x0040);
static_assert(offsetof(SessionTrailer, rebuildFil) == 0x004C);
static_assert(offsetof(SessionTrailer, rawFil) == 0x0058);
static_assert(offsetof(SessionTrailer, amap) == 0x0064);
static_assert(offsetof(SessionTrailer, lostStrings) == 0x0070);
static_assert(offsetof(SessionTrailer, rebuildStrings) == 0x007C);
static_assert(offsetof(SessionTrailer, rawStrings) == 0x0088);
static_assert(offsetof(SessionTrailer, historyMain) == 0x0094);
static_assert(offsetof(SessionTrailer, historyAdvanced) == 0x00A0);
static_assert(offsetof(SessionTrailer, reservedRef) == 0x00AC);
static_assert(offsetof(SessionTrailer, savePaths) == 0x00B8);
static_assert(offsetof(SessionTrailer, slotFolder) == 0x00C4);
static_assert(offsetof(SessionTrailer, slotChain) == 0x0104);
static_assert(offsetof(SessionTrailer, currentChain) == 0x2144);
static_assert(offsetof(SessionTrailer, reserved2184) == 0x2184);
static_assert(offsetof(SessionTrailer, currentDepth) == 0x2344);
static_assert(offsetof(SessionTrailer, pathItemCount) == 0x2348);
static_assert(offsetof(SessionTrailer, pathItems) == 0x234C);
static_assert(offsetof(SessionTrailer, scanComplete) == 0x634C);
static_assert(offsetof(SessionTrailer, driveIdentity) == 0x6350);
static_assert(offsetof(SessionTrailer, driveLetter) == 0x6354);
static_assert(offsetof(SessionTrailer, imagePath) == 0x6355);
static_assert(offsetof(SessionTrailer, favorites) == 0x6755);
static_assert(offsetof(SessionTrailer, checkValues) == 0xC7D5);
static_assert(offsetof(SessionTrailer, formatWord) == 0xC801);
static_assert(offsetof(SessionTrailer, fromPartitionList) == 0xC805);
static_assert(offsetof(SessionTrailer, partition) == 0xC809);
static_assert(offsetof(SessionTrailer, drive) == 0xCAA8);
static_assert(offsetof(SessionTrailer, selected) == 0xCBC4);
static_assert(offsetof(SessionTrailer, stateWord) == 0xCBE8);
static_assert(offsetof(SessionTrailer, rawScan) == 0xCBEC);
static_assert(offsetof(SessionTrailer, partitionCount) == 0xCC18);
static_assert(offsetof(SessionTrailer, partitions) == 0xCC1C);
static_assert(offsetof(SessionTrailer, reservedEnd) == 0x15C41C);

// The trailer's reserved tail (348 bytes at 0x15C41C) carries, each under a
// 4-byte tag, what this program keeps beyond the fixed areas; to another
// reader these stay reserved bytes. Without its tag a record is absent.
//   0..115    "SPOS" and the scan's whole position (112 bytes, explore/scan_session)
//   116..131  "SPND" and the BlockRef of the scanner's pending state: a plain
//             block written after "SAVE_PATHS", opaque here (scanner/scan_resume)
//   132..159  "DSET" and the drive settings the volume was mounted and scanned with
inline constexpr std::size_t kTailPositionAt = 0;
inline constexpr std::size_t kTailStateAt = 116;
inline constexpr std::size_t kTailSettingsAt = 132;
// Far above any pending state a scan holds; a larger one in a file is damage.
inline constexpr std::uint32_t kMaxScanStateBytes = 0x10000000;

#pragma pack(push, 1)
struct StoredDriveSettings {
  std::uint8_t overrideFs;
  std::uint8_t fsChoice;
  std::uint8_t clusterChoice;
  std::uint8_t fatChoice;
  std::uint8_t damaged;
  std::uint8_t reverse;
  std::uint8_t rawAnalyze;     // inverted as in DriveSettings: 0 = ticked
  std::uint8_t reserved;
  std::uint64_t manualStart;
  std::uint64_t manualCount;
};
#pragma pack(pop)
static_assert(sizeof(StoredDriveSettings) == 24);
static_assert(kTailSettingsAt + 4 + sizeof(StoredDriveSettings) <= sizeof(SessionTrailer::reservedEnd));

inline constexpr std::size_t kTrailerSize = sizeof(SessionTrailer);
inline constexpr std::uint32_t kMaxPartitions = 2048;
inline constexpr std::uint32_t kFormatWord = 2;
inline constexpr std::size_t kHistoryCapacity = 0x4000;  // 16 KiB per history list

// A zeroed trailer with its magic and format word.
std::unique_ptr<SessionTrailer> MakeTrailer();
bool HasMagic(const SessionTrailer& t);

// UTF-16 text fields of the trailer.
std::u16string TrailerText(std::span<const std::uint8_t> field);
void SetTrailerText(std::span<std::uint8_t> field, std::u16string_view text);

// The explorer's navigation as the trailer keeps it, for the window to fill
// before a save and to take back after a load. Every count from a file is
// bounded here: at most 16 path items of at most 128 folder ids each, 16 ids
// of the current chain, 16 favourites of at most 771 characters.
inline constexpr std::size_t kNavSlots = 16;
inline constexpr std::size_t kNavChainMax = 128;
inline constexpr std::size_t kNavCurrentKept = 16;
inline constexpr std::size_t kFavoritesMax = 16;
inline constexpr std::size_t kFavoriteChars = 771;  // 1544 bytes with the terminator

// One item of the path drop-down: the folder it shows and its chain of folder
// ids from the root.
struct NavPathItem {
  std::uint32_t folder = 0;
  std::vector<std::uint32_t> chain;
  std::u16string text;  // written for the record; a load leaves it empty (rebuilt from the folders)
};

struct ExplorerNavigation {
  std::vector<NavPathItem> pathItems;       // the drop-down, most recent first; items past 16 are not stored
  std::vector<std::uint32_t> currentChain;  // the current folder's chain from the root; the file keeps 16 ids
  std::uint32_t currentDepth = 0;           // that chain's full depth (may exceed what is kept; read: at most 128)
  std::vector<std::u16string> favorites;    // paths; past 16 not stored, each cut to 771 characters
};

// Copies the navigation into its trailer areas (all of them rewritten) and back.
void StoreNavigation(const ExplorerNavigation& navigation, SessionTrailer& t);
ExplorerNavigation ReadNavigation(const SessionTrailer& t);

// The drive settings in the reserved tail. Reading gives the defaults when
// none are stored, and false when the stored record is out of range.
void StoreDriveSettings(const DriveSettings& settings, SessionTrailer& t);
bool ReadDriveSettings(const SessionTrailer& t, DriveSettings& out);

// The three history lists: strings in order, at most 16 KiB each.
struct SessionHistories {
  std::vector<std::u16string> mainSearch;
  std::vector<std::u16string> advancedSearch;
  std::vector<std::u16string> savePaths;
  bool operator==(const SessionHistories&) const = default;
};

// Puts `text` first in `history` unless it is listed already (or empty); the
// oldest texts make room so the stored list stays within kHistoryCapacity.
// True when the text was added.
bool AddToHistory(std::vector<std::u16string>& history, std::u16string_view text);

// The stages of a save and a load, for the progress texts.
enum class SessionStage {
  SavingDeleted, SavingLost, SavingRebuild, SavingRaw, SavingAmap, SavingLostStrings, SavingRawStrings,
  SavingRebuildStrings, Finalizing, Initializing, LoadingDeleted, LoadingLost, LoadingRebuild, LoadingRaw,
  LoadingAmap, LoadingLostStrings, LoadingRawStrings, LoadingRebuildStrings,
};
using StageCallback = std::function<void(SessionStage)>;

struct SessionSaveResult {
  bool ok = false;
  std::string error;          // why not (the previous file, if any, is left as it was)
  std::uint64_t fileSize = 0;
};

// Writes a session file: the blocks into a temporary file in the same folder,
// then the trailer (its block references filled in here), then an atomic
// rename over `path`. The lists must not be appended to meanwhile (a running
// scan is paused first); each list's lock is held while it is written.
// `amap` is empty for a volume without an allocation map.
// `scanState`: the scanner's pending state (empty: none), kept as a block of
// its own behind the others.
SessionSaveResult SaveSessionFile(const std::string& path, const ResultLists& lists,
                                  std::span<const std::uint8_t> amap, const SessionHistories& histories,
                                  SessionTrailer& trailer, const StageCallback& stage = {},
                                  std::span<const std::uint8_t> scanState = {});

enum class SessionLoadStatus {
  Ok,
  CantOpen,      // the file cannot be opened or read
  BadTrailer,    // shorter than the trailer, or no "KVSS"
  BadBlock,      // a block that cannot be read back
};

struct SessionLoadResult {
  SessionLoadStatus status = SessionLoadStatus::Ok;
  std::string error;  // which block and why
  bool ok() const { return status == SessionLoadStatus::Ok; }
};

// Reads and checks only the trailer (what the start window needs).
SessionLoadResult ReadSessionTrailer(const std::string& path, SessionTrailer& trailer);

// What a whole file decodes to, before the caller takes it over.
struct LoadedSession {
  std::unique_ptr<SessionTrailer> trailer;
  std::unique_ptr<ResultLists> lists;
  std::vector<std::uint8_t> amap;  // empty when the file has no map
  SessionHistories histories;
  std::vector<std::uint8_t> scanState;  // the scanner's pending state; empty when none was stored
};

struct SessionLoadLimits {
  // The allocation map of the mounted volume has exactly this many bytes; a
  // stored map of another length is refused (0: the volume has no map, and a
  // stored one is refused too). kAnyMap accepts any plausible length.
  std::size_t amapBytes = 0;
  static constexpr std::size_t kAnyMap = static_cast<std::size_t>(-1);
  // Cap of every list in bytes (tests use small caps).
  std::size_t listLimit = static_cast<std::size_t>(-1);
  Ui* ui = nullptr;  // memory messages of the fresh lists
};

// Loads a whole session file into `out`. On failure `out` holds nothing of
// the file and nothing the caller shows has been touched.
SessionLoadResult LoadSessionFile(const std::string& path, const SessionLoadLimits& limits, LoadedSession& out,
                                  const StageCallback& stage = {});
// The same over bytes in memory (the fuzz target).
SessionLoadResult LoadSessionBytes(std::span<const std::uint8_t> file, const SessionLoadLimits& limits,
                                   LoadedSession& out, const StageCallback& stage = {});

}  // namespace kestrova::session
