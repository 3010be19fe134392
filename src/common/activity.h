// The function-activity table: every operation marks its fixed slot as
// entered while it runs, so a crash report (or a snapshot on demand) can list
// what was running, on any thread. Relaxed stores without locks: a
// best-effort trace, not a synchronisation device. Each registered thread
// marks a table of its own, so one thread leaving a function never hides
// another thread still inside it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kestrova {

// One slot per function. Append only: reports name functions by these numbers.
enum class Fn : std::uint16_t {
  None = 0,
  ReadSectors,
  ReadSectorsAt,
  WriteSectors,
  OpenRaw,
  OpenDevice,
  OpenEntry,
  IdentifyVolume,
  IdentifyAtOpen,
  ListPartitions,
  MountVolume,
  MountAtSector,
  RefreshDriveList,
  AddImageToList,
  QlzCompress,
  QlzDecompress,
  WritePlainBlock,
  ReadPlainBlock,
  ReadStringBlock,
  DynListAdd,
  ResultListsReset,
  LoadLanguage,
  LocaliseWindow,
  ResolveFolders,
  CheckConfigFolder,
  ProtectFolders,
  LoadAppSettings,
  SaveAppSettings,
  FaultHandler,
  WriteFaultReport,
  WriteActivitySnapshot,
  Reallocate,
  CliMain,
  RecoverFiles,
  CollectMft,
  OpenSource,
  MountForBrowsing,
  AllocationMapCreate,
  AllocationMapLoad,
  ApplyEntryMetadata,
  AttributeListOf,
  CancelMftCollection,
  CheckExfatRoot,
  CheckMarked,
  CheckNtfsBootCopy,
  ContentCheckFor,
  CountFatFreeClusters,
  CountNtfsFreeClusters,
  DecodeCompressedUnit,
  ExfatDeletedPercent,
  ExfatEntryNext,
  ExfatFindNext,
  ExfatLabelInDirectory,
  ExfatReaderHooks,
  FatLabelInDirectory,
  FatReaderHooks,
  FindEntryByCluster,
  FindFolder,
  FindNext,
  FlushFoundRecords,
  FreeClusterPercent,
  GatherEntryData,
  ListFolder,
  ListNtfsFolder,
  LoadDirectory,
  LoadExfatDirectory,
  LocateExfat,
  LocateFat16,
  LocateFat32,
  MountExfatGeometry,
  MountFatGeometry,
  MountNtfsGeometry,
  NtfsFsReaderPlanExport,
  NtfsFsReaderWrite,
  NtfsFsReaderWriteExport,
  NtfsReaderHooks,
  NtfsVolumeNameInRecord,
  OutputSinkToFile,
  OutputSinkToMemory,
  ParseFileRecord,
  PrepareEfsExport,
  ProbeWritable,
  RawScannerCallMeasure,
  RawScannerCallValidate,
  RawScannerClosePending,
  RawScannerRebuildTypeCounts,
  RawScannerResetScanItems,
  RawScannerScanRawWindow,
  RawScannerTextPass,
  ReadEntryData,
  ReadExfatRootLabel,
  ReadFatRootLabel,
  ReadMftRecord,
  ReadRecordByNumber,
  ReadVolumeLabel,
  RecoverabilityPercent,
  RecoveryJobCount,
  RecoveryJobSaveFile,
  ResolvePath,
  ResultListsList,
  ResultListsRelease,
  RunListOf,
  RunMftCollection,
  VolumeSessionCollectMft,
  VolumeSessionMountAt,
  VolumeSessionMountOnly,
  VolumeSessionMountRow,
  VolumeSessionOpenVolumeOf,
  VolumeSessionResolve,
  VolumeSessionUnmount,
  WriteEfsStream,
  WriteFatFile,
  WriteNtfsData,
  ScanDriverRun,
  ScanFreeSpace,
  ReverseSearch,
  ProbeFatCluster,
  ProbeExfatCluster,
  ProbeNtfsRun,
  RebuildLostParents,
  LostPathFat,
  LostPathExfat,
  LostPathNtfs,
  VolumeSessionStartScan,
  WriteRawEntry,
  RunImageJob,
  ImageWriteChunk,
  ImageBootReplacement,
  CliImage,
  SearchWalk,
  SearchContent,
  HexViewFetch,
  LoadSessionFile,
  SaveSessionFile,
  SaveScanSession,
  LoadScanSession,
  SavePartitionSession,
  LoadPartitionSession,
  PartitionSearchAddResult,
  PartitionSearchValidate,
  PartitionSearchWholeDrive,
  PartitionSearchTail,
  PartitionSearchRun,
  PartitionFinderOpen,
  QuickPartitionWalk,
  GatherRepairCandidates,
  PlanRepair,
  ApplyRepairPlan,
  MakeRepairBackup,
  ReadRepairBackup,
  PlanRestoreBackup,
  PartitionRepairJobOpen,
  Count
};
inline constexpr std::size_t kActivitySlots = 1024;
static_assert(static_cast<std::size_t>(Fn::Count) <= kActivitySlots);

// Threads that get a table of their own (worker threads register through
// WorkerThread); any further thread, and every thread that never registers
// (the main thread among them), marks the shared table.
inline constexpr std::size_t kActivityThreadTables = 64;

// How many times each slot's function is running on one thread: a function
// that calls itself stays active until its outermost call returns.
struct ActivityTable {
  std::atomic<std::uint16_t> depth[kActivitySlots];
};

// The tables of the process (static storage: read from a signal handler).
struct ActivityTables {
  ActivityTable shared;
  std::atomic<bool> inUse[kActivityThreadTables];
  ActivityTable perThread[kActivityThreadTables];
};
ActivityTables& Activity();

namespace activity_detail {
// The calling thread's own table, or null for the shared one.
extern thread_local ActivityTable* tOwn;
}  // namespace activity_detail

inline void MarkEnter(std::size_t slot) {
  if (ActivityTable* own = activity_detail::tOwn) {
    // Only this thread writes its table: a plain load and store suffice.
    auto& d = own->depth[slot];
    d.store(static_cast<std::uint16_t>(d.load(std::memory_order_relaxed) + 1), std::memory_order_relaxed);
  } else {
    Activity().shared.depth[slot].fetch_add(1, std::memory_order_relaxed);
  }
}
inline void MarkLeave(std::size_t slot) {
  auto& d = activity_detail::tOwn ? activity_detail::tOwn->depth[slot] : Activity().shared.depth[slot];
  if (activity_detail::tOwn) {
    const auto v = d.load(std::memory_order_relaxed);
    if (v) d.store(static_cast<std::uint16_t>(v - 1), std::memory_order_relaxed);
  } else if (d.load(std::memory_order_relaxed)) {
    d.fetch_sub(1, std::memory_order_relaxed);
  }
}
// Running on some thread. Lock-free loads only: async-signal-safe.
bool IsActive(std::size_t slot);
// Running on the calling thread.
bool IsActiveHere(std::size_t slot);

// Gives the calling thread a table of its own for its lifetime (worker
// threads; WorkerThread does it). When every table is taken the thread keeps
// marking the shared one.
class ActivityThreadScope {
 public:
  ActivityThreadScope();
  ~ActivityThreadScope();
  ActivityThreadScope(const ActivityThreadScope&) = delete;
  ActivityThreadScope& operator=(const ActivityThreadScope&) = delete;
  bool registered() const { return index_ >= 0; }

 private:
  int index_ = -1;
};

// Marks a function active for its scope; every return path leaves.
class ActivityMark {
 public:
  explicit ActivityMark(Fn fn) : slot_(static_cast<std::size_t>(fn)) { MarkEnter(slot_); }
  ~ActivityMark() { MarkLeave(slot_); }
  ActivityMark(const ActivityMark&) = delete;
  ActivityMark& operator=(const ActivityMark&) = delete;

 private:
  std::size_t slot_;
};

}  // namespace kestrova
