// One opened source and, once chosen, one of its volumes mounted for browsing
// and recovery. Both front ends (the command line and the desktop program)
// open, mount, list, resolve paths, mark and recover through this one class;
// neither wires readers, hooks or contexts itself.
#pragma once

#include "common/ui.h"
#include "common/worker_token.h"
#include "device/drive_tables.h"
#include "device/scan_flags.h"
#include "device/sector_device.h"
#include "explore/old_partitions.h"
#include "fs/exfat/exfat_volume.h"
#include "fs/fat/fat_volume.h"
#include "common/worker_thread.h"
#include "fs/ntfs/mft_collection.h"
#include "fs/ntfs/ntfs_volume.h"
#include "fs/exfat/exfat_fs_reader.h"
#include "fs/fat/fat_fs_reader.h"
#include "fs/ntfs/ntfs_fs_reader.h"
#include "recovery/recovery_job.h"
#include "session/session_file.h"
#include "scanner/scan_driver.h"
#include "volume/list_partitions.h"
#include "volume/mount.h"
#include "volume/open_volume.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kestrova {

// What went wrong, for the front end to put in its own words.
enum class SessionStatus {
  Ok,
  Missing,         // no such file or device
  IsFolder,        // a folder, not an image or a device
  CantOpen,        // the open failed (rights, a refused .vmdk, ...)
  BootUnreadable,  // the first sector of the source cannot be read
  NoVolume,        // the listing found nothing
  NeedVolume,      // several volumes: one must be chosen
  BadVolume,       // a row number out of range
  CantMount,
  Unsupported,     // mounted, but no reader for this file system
  NotFound,        // a path names nothing on the volume
};

// A row of the listing: a volume, and whether it is in no table.
struct VolumeRow {
  DriveEntry entry;
  bool lost = false;  // behind the last volume, in no table
};

// A path resolved on the mounted volume: the folder handles from the root down,
// and the entry itself when the path names a file (or a folder by its entry).
struct VolumePath {
  std::vector<EntryHandle> folders;  // the root first
  std::optional<FoundEntry> entry;     // set when the last component is a file
  bool IsFolder() const { return !entry.has_value(); }
};

class VolumeSession {
 public:
  explicit VolumeSession(Ui& ui);
  ~VolumeSession();
  VolumeSession(const VolumeSession&) = delete;
  VolumeSession& operator=(const VolumeSession&) = delete;

  // Opens `path` (an image file or a block device) whole and lists its volumes.
  SessionStatus OpenSource(const std::string& path);
  // Opens `path` at a sector range and identifies what is there (count 0: to the end).
  SessionStatus OpenRange(const std::string& path, std::uint64_t start, std::uint64_t count, OpenedVolume& opened);
  const std::vector<VolumeRow>& rows() const { return rows_; }
  const PartitionListing& listing() const { return listing_; }
  const std::string& sourcePath() const { return path_; }

  // Opens the row's volume (0-based) and identifies it, without mounting:
  // for a caller that mounts it its own way.
  SessionStatus OpenRow(std::size_t index, OpenedVolume& opened);
  // Mounts the row's volume (0-based) with its tables; Unsupported leaves it
  // mounted (geometry known) but without a reader.
  SessionStatus MountRow(std::size_t index, const DriveSettings& settings = DriveSettings{});
  // The volume a caller chose without a table (a sector and a count).
  SessionStatus MountAt(std::uint64_t start, std::uint64_t count);
  // The same with the row's "Advanced drive settings" (a forced file system, a cluster size).
  SessionStatus MountAt(std::uint64_t start, std::uint64_t count, const DriveSettings& settings);
  // The only volume when there is one; NeedVolume when there are several.
  SessionStatus MountOnly();

  // NTFS: collects every MFT record into "Lost files" (folders are built from it).
  // Runs on the calling thread (the owner starts a worker for it), stops early
  // through the token; returns the records added. Nothing for other volumes.
  std::size_t CollectMft(WorkerToken& token);
  // The same collection on a worker of its own, for a window that shows its
  // progress and may end it early; nothing when the mounted volume is not
  // NTFS. The collection ends (Wait, or its destruction) before the session unmounts.
  std::unique_ptr<class MftCollection> StartMftCollection();

  // Starts the free-space scan of the mounted volume on a worker of its own
  // (the session's scan token, so the device and the read-error window see it
  // running). Nothing when no volume is opened or a scan still runs. The scan
  // ends (Wait, or its destruction) before the session unmounts.
  // `resume`: a stored position (a loaded session) to continue from.
  // `state`: what the interrupted scan held in memory at that position.
  std::unique_ptr<class VolumeScan> StartScan(const ScanOptions& options, const ScanPosition* resume = nullptr,
                                              const ScanPendingState* state = nullptr);
  // The scan body over the mounted volume, for a caller that runs it on a worker of its own.
  std::unique_ptr<ScanDriver> MakeScanDriver(const ScanOptions& options, const ScanPosition* resume = nullptr,
                                             const ScanPendingState* state = nullptr);
  // The scan started by StartScan while it exists (a session save asks it
  // where it stands); the caller serialises saves with the scan's end.
  class VolumeScan* activeScan() { return activeScan_.load(); }
  // Where the last scan of this volume stood when it ended (or a loaded
  // session's position); false when there is none.
  bool lastScanPosition(ScanPosition& out) const {
    if (hasPosition_) out = lastPosition_;
    return hasPosition_;
  }
  void KeepScanPosition(const ScanPosition& position);
  // The mounted volume's sectors on its device, as a scan's boot-sector probe
  // takes them (ScanOptions::bootProbe): old volumes inside this one.
  SectorRange MountedVolumeRange() const;
  // NTFS volumes the last scan's boot-sector probe found (any thread).
  std::vector<DriveEntry> OldPartitions() const;
  // What the last scan held in memory at that position (ScanDriver::PendingState), or a loaded session's.
  const std::vector<std::uint8_t>& lastScanState() const { return lastState_; }
  void KeepScanState(std::vector<std::uint8_t> state) { lastState_ = std::move(state); }
  // The drive settings the volume was mounted with (the scan reads them too).
  const DriveSettings& mountSettings() const { return mountSettings_; }

  bool mounted() const { return volume_ != nullptr; }
  // Result lists exist (a mounted volume, with or without a reader).
  bool hasResults() const { return lists_ != nullptr; }
  FsReader& volume() { return *volume_; }
  FsType fsType() const { return device_.fsType; }
  const MountedVolume& mountedVolume() const { return mounted_; }
  SectorDevice& device() { return device_; }
  ResultLists& lists() { return *lists_; }
  ScanFlags& scanFlags() { return scan_; }
  Ui& ui() { return ui_; }
  // The volume as it was chosen (a listed row, or a start and a count).
  const DriveEntry& mountedEntry() const { return mountedEntry_; }
  // The mounted volume's cluster map; null when its file system keeps none.
  AllocationMap* allocationMap();
  // The session trailer of this volume: the scan keeps its resume state in
  // it, a save fills the rest, a load replaces it.
  session::SessionTrailer& sessionTrailer();
  // A save is running (only one at a time).
  std::atomic<bool>& savingSession() { return saving_; }

  // A folder as the explorer shows it: without the volume label and the "."
  // entry, and at the root with the virtual folders of the results model.
  std::vector<FoundEntry> ListShown(EntryHandle handle, const DisplayFilter& filter);

  // "/a/b" resolved from the root (case-insensitive; the virtual folders at the root).
  std::optional<VolumePath> Resolve(const std::string& path);
  // The folders and files named by `paths` ("/"-separated; none: the root),
  // as recovery takes them: the contents of a named folder, or the named file.
  // Folders are taken only when `recursive`. `missing` gets the first path
  // that names nothing (then NotFound).
  SessionStatus Mark(const std::vector<std::string>& paths, bool recursive, const DisplayFilter& filter,
                     std::vector<MarkedEntry>& marked, std::string& missing);

  // The texts searched and the destinations chosen this run (newest first), as
  // a saved session keeps them and a loaded one brings them back. Any thread.
  session::SessionHistories Histories() const;
  void SetHistories(session::SessionHistories histories);
  enum class History { MainSearch, AdvancedSearch, SavePaths };
  // False when the text was empty or listed already.
  bool AddToHistory(History list, std::u16string_view text);
  // One more with every change: a window compares it to refresh its drop-down.
  std::uint64_t historiesGeneration() const;

 private:
  SessionStatus OpenVolumeOf(DriveEntry& entry, OpenedVolume& opened);
  SessionStatus MountOpened(const OpenedVolume& opened, std::uint64_t partitionCount,
                            const DriveSettings& settings = DriveSettings{});
  void Unmount();

  Ui& ui_;
  ScanFlags scan_;
  SectorDevice device_{scan_};
  DriveTables tables_;
  std::string path_;
  bool block_ = false;
  PartitionListing listing_;
  std::vector<VolumeRow> rows_;

  FatReader fat_;
  ExfatReader exfat_;
  NtfsReader ntfs_;
  MountHooks hooks_;
  MountedVolume mounted_;
  DriveSettings mountSettings_;
  std::unique_ptr<ResultLists> lists_;
  std::unique_ptr<FatContext> fatContext_;
  std::unique_ptr<ExfatContext> exfatContext_;
  std::unique_ptr<NtfsContext> ntfsContext_;
  std::unique_ptr<FsReader> volume_;
  DriveEntry mountedEntry_ = MakeDriveEntry();
  std::unique_ptr<session::SessionTrailer> trailer_;
  std::atomic<bool> saving_{false};
  std::atomic<class VolumeScan*> activeScan_{nullptr};
  std::shared_ptr<OldPartitionProbe> oldPartitions_;
  ScanPosition lastPosition_ = MakeScanPosition();
  bool hasPosition_ = false;
  mutable std::mutex historiesLock_;
  session::SessionHistories histories_;
  std::uint64_t historiesGeneration_ = 0;
  std::vector<std::uint8_t> lastState_;
  friend class VolumeScan;
};

// The MFT collection of a mounted NTFS volume running on its own worker, as
// the "Processing MFT" window follows it.
class MftCollection {
 public:
  MftCollection(VolumeSession& session);
  ~MftCollection() { Wait(); }
  MftCollection(const MftCollection&) = delete;
  MftCollection& operator=(const MftCollection&) = delete;

  // "Explore files now - stop collecting all entries.": stops after the current record.
  void ExploreNow() { ExploreNow(token_); }
  // The window's Cancel: stops the same way and also stops a running scan.
  void Cancel() { CancelMftCollection(token_, scan_); }
  // Waits for the end; the entries added to the lost-files list.
  std::size_t Wait();
  bool finished() const { return finished_.load(); }
  WorkerProgress Progress() const { return token_.Progress(); }

 private:
  static void ExploreNow(WorkerToken& token) { kestrova::ExploreNow(token); }
  ScanFlags& scan_;
  WorkerToken token_;
  std::atomic<bool> finished_{false};
  std::size_t added_ = 0;
  WorkerThread thread_;
};

// A free-space scan running on its own worker, as the explorer's scan
// commands and the command line follow it.
class VolumeScan {
 public:
  VolumeScan(VolumeSession& session, const ScanOptions& options, const ScanPosition* resume = nullptr,
             const ScanPendingState* state = nullptr);
  ~VolumeScan();
  VolumeScan(const VolumeScan&) = delete;
  VolumeScan& operator=(const VolumeScan&) = delete;

  void Pause() { token_.Pause(); }
  void Resume() { token_.Resume(); }
  // The pause command (F10): true when the scan is paused afterwards.
  bool TogglePause() { return token_.TogglePause(); }
  // Ends after the current block; no end question.
  void Stop() { token_.RequestStop(); }
  // A paused scan leaves at once without the end question; false when it was not paused.
  bool AbortWhilePaused() { return token_.AbortWhilePaused(); }
  // Ends the boot-sector probe before the walk; the walk goes on.
  void SkipProbe() { driver_->SkipProbe(); }

  // Waits for the end (the end question is asked on the worker through the Ui).
  ScanResult Wait();
  bool finished() const { return finished_.load(); }
  ScanSnapshot Snapshot() const { return driver_->Snapshot(); }
  WorkerProgress Progress() const { return token_.Progress(); }
  // Where the scan stands (after each block, and when parked or ended).
  ScanPosition Position() const { return driver_->Position(); }
  // What it holds in memory there (parked or ended), for a session.
  std::vector<std::uint8_t> PendingState() const { return driver_->PendingState(); }

 private:
  VolumeSession& session_;
  WorkerToken& token_;
  std::unique_ptr<ScanDriver> driver_;
  std::atomic<bool> finished_{false};
  ScanResult result_;
  WorkerThread thread_;
};

// "/a/b" -> {"a", "b"}.
std::vector<std::string> PathComponents(const std::string& path);

}  // namespace kestrova
