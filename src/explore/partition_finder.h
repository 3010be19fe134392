// The partition search as both front ends use it: open a source, search it on
// a worker (deep or fast, from a sector, or resumed from a .kvsp session),
// follow its progress and log, and list what it found with each volume's
// status against the source's own partition table.
#pragma once

#include "common/ui.h"
#include "common/worker_thread.h"
#include "common/worker_token.h"
#include "device/drive_tables.h"
#include "device/sector_device.h"
#include "explore/volume_session.h"
#include "tools/partition_search.h"
#include "tools/partition_session.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrova {

enum class PartitionStatus { Ok, Lost, Overwritten };

// "Ok", "Lost" or "Overwritten" in the current language.
std::u16string PartitionStatusText(PartitionStatus status);

struct FoundVolume {
  DriveEntry entry;
  PartitionStatus status = PartitionStatus::Lost;
  bool damaged = false;
};

// The status of one result: "Ok" when the table already lists a volume at its
// start (never for a whole drive read as a forced type), else "Overwritten"
// when it failed validation, else "Lost".
PartitionStatus StatusOf(const DriveEntry& result, const std::vector<DriveEntry>& tableVolumes);

// The scan-mode window's start position: the "Sector:", "MB:" (2048 sectors)
// and "GB:" (2,097,152 sectors) fields and a slider of 250 steps, each
// clamped to the device's last sector.
inline constexpr std::uint64_t kSectorsPerMb = 2048;
inline constexpr std::uint64_t kSectorsPerGb = 2097152;
inline constexpr int kStartSliderSteps = 250;
// A field's number times its unit; 0 when it is not a number.
std::uint64_t StartSectorFromField(std::u16string_view text, std::uint64_t unitSectors, std::uint64_t lastSector);
std::uint64_t StartSectorFromSlider(int step, std::uint64_t lastSector);
int StartSliderStep(std::uint64_t sector, std::uint64_t lastSector);

enum class ResumeStatus {
  Ok,
  CantRead,      // missing, unreadable, or not a partition session
  Corrupt,
  OtherDisk,     // stored for a source of another size
};

class PartitionFinder {
 public:
  explicit PartitionFinder(Ui& ui);
  ~PartitionFinder();
  PartitionFinder(const PartitionFinder&) = delete;
  PartitionFinder& operator=(const PartitionFinder&) = delete;

  // Opens `path` (an image file or a block device) and reads its tables.
  SessionStatus Open(const std::string& path);
  const std::string& sourcePath() const { return path_; }
  std::uint64_t deviceSectors() const { return deviceSectors_; }
  const std::vector<DriveEntry>& tableVolumes() const { return tableVolumes_; }

  // Reads a session file and checks it belongs to the open source.
  ResumeStatus LoadSession(const std::string& kvsp, PartitionSession& out) const;

  // Starts the search on a worker: a new one, or one resumed from a session.
  bool Start(SearchMode mode, std::uint64_t from);
  bool Resume(const PartitionSession& session);
  // "&Back" from the results window: the same search continues from its position.
  bool Continue();
  // Waits for the worker to end (the end of the device, a finish or a stop).
  void Wait();
  void Stop();       // "&Close"
  void Finish();     // "&Next"
  bool Running() const { return token_.Running(); }

  WorkerToken& token() { return token_; }
  PartitionSearch* search() { return search_.get(); }
  // The results so far with their statuses.
  std::vector<FoundVolume> Found() const;

 private:
  bool Launch(SearchSetup setup);

  Ui& ui_;
  ScanFlags scan_;
  SectorDevice device_{scan_};
  DriveTables tables_;
  std::string path_;
  std::uint64_t deviceSectors_ = 0;
  std::vector<DriveEntry> tableVolumes_;
  WorkerToken token_;
  std::unique_ptr<PartitionSearch> search_;
  WorkerThread thread_;
};

}  // namespace kestrova
