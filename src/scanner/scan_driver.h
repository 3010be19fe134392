// The free-space scan: one worker walks the unallocated clusters of the
// mounted volume once, in runs of up to 1 MiB read once each; every run is
// probed for the metadata of its file-system family (deleted folders and
// folder fragments on FAT and exFAT, FILE records on NTFS), which go to the
// lost-files list, and is then handed whole to the RAW header detection. The
// reverse search walks the whole volume from its end instead. Pause, resume,
// stop and abort while paused come through the one worker token.
#pragma once

#include "common/ui.h"
#include "common/worker_token.h"
#include "device/sector_device.h"
#include "fs/exfat/exfat_find.h"
#include "fs/fat/fat_find.h"
#include "fs/ntfs/ntfs_files.h"
#include "raw/raw_scanner.h"
#include "scan/result_lists.h"
#include "scanner/scan_resume.h"
#include "scanner/scan_state.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <optional>
#include <vector>

namespace kestrova {

// Takes every sector of the range the scan probes before its walk, with the
// sector after it (empty at the range's end), and reports what it finds
// itself. The owner supplies the partition search's NTFS test.
class BootSectorProbe {
 public:
  virtual ~BootSectorProbe() = default;
  virtual void Probe(std::uint64_t sector, std::span<const std::uint8_t> bytes,
                     std::span<const std::uint8_t> next) = 0;
};

// What the scan works on: the device, the lists and at most one family's
// context (none: a volume without a known file system, scanned for headers only).
struct ScanTarget {
  SectorDevice& device;
  ResultLists& lists;
  Ui& ui;
  FatContext* fat = nullptr;
  ExfatContext* exfat = nullptr;
  NtfsContext* ntfs = nullptr;
  bool damaged = false;  // drive settings: every cluster counts as free
  BootSectorProbe* bootProbe = nullptr;  // for ScanOptions::bootProbe
};

// Largest run read at once, and the reverse search's window.
inline constexpr std::uint64_t kScanRunBytes = 1u << 20;
inline constexpr std::uint32_t kReverseWindowBytes = 0x1400000;

class ScanDriver {
 public:
  // resume: a stored position to continue from (a later session load), and
  // what the interrupted scan held in memory there (null: nothing known).
  ScanDriver(ScanTarget target, ScanOptions options, const ScanPosition* resume = nullptr,
             const ScanPendingState* state = nullptr);
  ~ScanDriver();
  ScanDriver(const ScanDriver&) = delete;
  ScanDriver& operator=(const ScanDriver&) = delete;

  // The scan body, on the worker the owner started with `token`: chooses
  // ScanFat, ScanExfat, ScanNtfs, the headers-only walk or the reverse
  // search, asks the end question through the Ui and returns the outcome.
  ScanResult Run(WorkerToken& token);

  // Any thread.
  ScanSnapshot Snapshot() const;
  ScanPosition Position() const;
  // What the scan held in memory when it last parked or ended, encoded for a
  // session (EncodeScanState; empty when it held nothing and had found no
  // file by its header); it belongs with that moment's Position().
  std::vector<std::uint8_t> PendingState() const;
  const RawScanner& scanner() const { return *raw_; }
  // Ends the boot-sector probe after its current block; the walk follows as
  // usual (any thread; no effect once the walk has begun).
  void SkipProbe() { skipProbe_ = true; }

  struct Family;  // free test and metadata probes of one file-system family

 private:
  ScanEnd Forward(WorkerToken& token, Family& family);
  ScanEnd Reverse(WorkerToken& token, Family& family);
  bool Parked(WorkerToken& token, bool& abandoned);
  // The boot-sector probe of the recorded range; false when stopped meanwhile.
  bool ProbeBootSectors(WorkerToken& token, bool& abandoned);
  void Publish(WorkerToken& token, bool block = true);  // block: after a block of the walk
  void Capture();  // the position and the pending state, for a save (worker thread)

  ScanTarget t_;
  ScanOptions options_;
  std::unique_ptr<RawSectorReader> reader_;
  std::unique_ptr<RawScanner> raw_;
  ScanPosition pos_;
  mutable std::mutex posLock_;  // pos_ as the other threads read it
  ScanPosition shared_;
  ScanPendingState sharedState_;  // under posLock_, taken with shared_ when parked or ended
  Family* family_ = nullptr;      // while Run runs
  std::optional<ScanPendingState> resumeState_;
  std::atomic<ScanState> state_{ScanState::Idle};
  std::uint64_t bytesPerCluster_ = 512;
  std::chrono::steady_clock::time_point started_{};
  std::atomic<std::int64_t> runningNanos_{0};
  std::array<std::atomic<std::uint32_t>, kScanItemCount> typeCounts_{};
  std::atomic<bool> stopMirror_{false};
  bool resumed_ = false;  // the token's stop, for the RAW routines
  std::atomic<std::uint64_t> probeDone_{0};
  std::atomic<std::uint64_t> probeTotal_{0};
  std::atomic<bool> probing_{false};
  std::atomic<bool> skipProbe_{false};
  bool held_ = false;  // the test hold has been taken
};

}  // namespace kestrova
