// The search of a whole drive or image, sector by sector, for volumes that no
// partition table describes any more: boot sectors, NTFS backup boot sectors
// at a volume's end, ext and ReiserFS superblocks. Each candidate is
// identified, corrected to its real start, validated and listed once.
//
// The search runs on a worker its owner starts (Run is the body); the owner
// reads the results and the log while it runs, and asks for a save, a finish
// or a stop through the token and RequestSave.
#pragma once

#include "common/ui.h"
#include "common/worker_token.h"
#include "device/drive_entry.h"
#include "device/sector_device.h"
#include "volume/open_volume.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace kestrova {

enum class SearchMode : std::int32_t { Deep = 0, Fast = 1 };

// What one sector may be, from its bytes alone.
enum class SectorHint {
  None,
  BootSignature,     // ends in 55 AA: identify it as a boot sector
  NtfsBoot,          // an NTFS boot sector (primary or the backup at a volume's end)
  ExtSuperblock,     // an ext superblock (primary, or a backup in a block group)
  ReiserSuperblock,  // a ReiserFS superblock, 64 KiB into its volume
};

struct SectorProbe {
  SectorHint hint = SectorHint::None;
  std::uint64_t ntfsTotalSectors = 0;  // NtfsBoot
  std::uint64_t ntfsMftSector = 0;     // NtfsBoot: MFT record 0, sectors from this boot sector
  // ExtSuperblock: bytes from the volume's first byte to this sector's first
  // byte (1024 for the primary, the group's offset for a backup); 0 when the
  // numbers cannot place it.
  std::uint64_t extOffsetBytes = 0;
};

// The per-sector tests. `sector` is one 512-byte sector (longer spans are
// looked at in their first 512 bytes); anything shorter is None.
SectorProbe ProbeSector(std::span<const std::uint8_t> sector);

// A primary NTFS boot sector is followed by loader code naming its loader.
bool NamesNtLoader(std::span<const std::uint8_t> nextSector);

// Results beyond this many are refused (a disk full of nested images stays bounded).
inline constexpr std::size_t kMaxSearchResults = 1024;

// One log line, stamped with the UTC time it was written.
struct SearchLogLine {
  std::u16string text;
};

// Opens the whole drive being searched into `device` (again, after a mount
// moved its geometry): the search's only way to the source. `request` is a
// type to force or Detect.
using WholeDriveOpener = std::function<bool(SectorDevice& device, FsType request, OpenedVolume& opened)>;

struct SearchSetup {
  SearchMode mode = SearchMode::Deep;
  std::uint64_t position = 0;           // first sector to examine
  std::vector<DriveEntry> results;      // carried over from a session file
  bool resumed = false;                 // log the carried results first
  bool tailDone = false;                // the whole-drive check and the tail pass have run
  std::u16string driveName;             // for the log
  std::int32_t drive = 0;               // written into every result
};

class PartitionSearch {
 public:
  PartitionSearch(SectorDevice& device, Ui& ui, WholeDriveOpener open, SearchSetup setup);
  PartitionSearch(const PartitionSearch&) = delete;
  PartitionSearch& operator=(const PartitionSearch&) = delete;

  // The worker body: runs until the device's end, a stop or a finish.
  void Run(WorkerToken& token);

  // --- owner side, any thread ---
  // "&Next": the search ends after the current buffer and keeps its position.
  void RequestFinish() { finishRequested_.store(true); }
  // "&Save": the worker writes the session after the current buffer, or at once
  // when it is not running. The result is logged ("Saving of scan state done.").
  void RequestSave(const std::string& path);
  // Writes the session now; only while the worker does not run.
  bool SaveNow(const std::string& path);

  std::vector<DriveEntry> Results() const;
  std::size_t ResultCount() const;
  std::vector<std::u16string> Log() const;
  std::size_t LogSize() const;
  std::uint64_t position() const { return position_.load(); }
  std::uint64_t deviceSectors() const { return deviceSectors_.load(); }
  SearchMode mode() const { return mode_; }
  bool tailDone() const { return tailDone_.load(); }
  bool finished() const { return finished_.load(); }  // reached the device's end
  bool failed() const { return failed_.load(); }      // the drive could not be opened
  // The identity stored in a session file: the image path or the drive model.
  void SetSessionName(std::u16string name) { sessionName_ = std::move(name); }
  // "&Back" from the results: continue from the kept position.
  void PrepareContinue();

  // --- worker side, exposed for tests ---
  // Appends `entry` unless its size is 0, its start is already listed or the
  // list is full; validates it unless told not to. True when it was added.
  bool AddResult(DriveEntry entry, bool unvalidated);
  // The integrity test of a found volume: false marks it damaged;
  // notValidatable is set for types that have no test (no skipping then).
  bool ValidateResult(const DriveEntry& entry, bool& notValidatable);
  // The NTFS boot-sector test alone, for the free-space scan's probe of a
  // sector range: an NTFS boot sector at `s` (a primary, or the backup at a
  // volume's end) adds its volume as a result. `next` is the following sector
  // (read when empty). True when a result was added.
  bool ProbeNtfsBootSector(std::uint64_t s, std::span<const std::uint8_t> sector, std::span<const std::uint8_t> next);

 private:
  enum class Examined { Next, Moved };
  void LogText(std::u16string text);
  void LogResult(const DriveEntry& e);
  void WholeDriveCheck(FsType atSectorZero);
  void TailPass(WorkerToken& token);
  // Examines sector `s` whose bytes are `sector`; `next` is the following
  // sector when it is in the buffer (else it is read). Moved: the position
  // was set and the buffer ends.
  Examined Examine(std::uint64_t s, std::span<const std::uint8_t> sector, std::span<const std::uint8_t> next);
  Examined FromNtfsBackup(std::uint64_t s, std::uint64_t total);
  // An NTFS boot sector at `s` is a primary (else the backup at a volume's end).
  bool IsNtfsPrimary(std::uint64_t s, const SectorProbe& probe, std::span<const std::uint8_t> next);
  Examined AfterIdentified(std::uint64_t s, DriveEntry& found);
  bool Identify(std::uint64_t start, DriveEntry& out, std::span<const std::uint8_t> preRead = {},
                std::uint64_t count = 0);
  bool ReadOne(std::uint64_t sector, std::vector<std::uint8_t>& out);
  void CorrectStart(DriveEntry& e);
  bool WriteSession(const std::string& path);

  SectorDevice& device_;
  Ui& ui_;
  WholeDriveOpener open_;
  SearchMode mode_;
  std::int32_t drive_;
  std::u16string driveName_;
  std::u16string sessionName_;
  bool resumed_;
  std::atomic<std::uint64_t> position_;
  std::atomic<std::uint64_t> deviceSectors_{0};
  std::atomic<bool> tailDone_;
  std::atomic<bool> finishRequested_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> failed_{false};
  std::atomic<bool> saveRequested_{false};
  std::atomic<bool> running_{false};
  std::uint64_t nextPosition_ = 0;  // set by Examine when it moves

  mutable std::mutex lock_;  // results, log and the save path
  std::vector<DriveEntry> results_;
  std::vector<std::u16string> log_;
  std::string savePath_;
};

// A whole drive read as a forced type ("FAT32(-)"): never "Ok", never skipped over.
bool IsForcedWholeDrive(const DriveEntry& e);

// Joins the log's stamp and text: "2024.07.01-09:05:03 -> text".
std::u16string StampedLogLine(const std::uint16_t foundAt[8], std::u16string_view text);

}  // namespace kestrova
