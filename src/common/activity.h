// The function-activity table: every operation marks its fixed slot as
// entered while it runs, so a crash report (or a snapshot on demand) can list
// what was running. Plain relaxed byte stores from every thread: a best-effort
// trace, not a synchronisation device.
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
  Count
};
inline constexpr std::size_t kActivitySlots = 1024;
static_assert(static_cast<std::size_t>(Fn::Count) <= kActivitySlots);

struct ActivityTable {
  std::atomic<std::uint8_t> entered[kActivitySlots];
  std::atomic<std::uint8_t> left[kActivitySlots];
};

// The process's table (static storage: usable from a signal handler).
ActivityTable& Activity();

inline void MarkEnter(std::size_t slot) {
  Activity().entered[slot].store(1, std::memory_order_relaxed);
  Activity().left[slot].store(0, std::memory_order_relaxed);
}
inline void MarkLeave(std::size_t slot) {
  Activity().entered[slot].store(0, std::memory_order_relaxed);
  Activity().left[slot].store(1, std::memory_order_relaxed);
}
inline bool IsActive(std::size_t slot) {
  return Activity().entered[slot].load(std::memory_order_relaxed) == 1 &&
         Activity().left[slot].load(std::memory_order_relaxed) == 0;
}

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
