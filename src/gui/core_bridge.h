// The desktop program's only contact with the core: listing drives, opening
// and mounting a volume, listing folders, and running a recovery. Windows call
// this and nothing below it, so a change of the core's interfaces is mended
// here alone.
#pragma once

#include "common/ui.h"
#include "device/device_identity.h"
#include "device/read_error_window.h"
#include "device/scan_flags.h"
#include "device/sector_device.h"
#include "explore/scan_session.h"
#include "explore/volume_session.h"
#include "recovery/recovery_job.h"
#include "tools/search.h"
#include "scan/entry_ops.h"
#include "volume/drive_list.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <mutex>
#include <utility>
#include <vector>

namespace kestrova::gui {

// One item of a folder as the explorer shows it: a copy of the record and its name.
struct FolderItem {
  ScanEntry entry = MakeScanEntry();
  std::u16string name;
  bool dotEntry = false;
  ColourCategory colour = ColourCategory::Existing;
  bool folder = false;
  std::uint32_t key = 0;  // the position in the folder's own order (thumbnails find their item by it)
  // A search result: the folder it was found in, which opening the result shows.
  bool found = false;
  EntryHandle parent = 0;
  std::vector<std::u16string> parentNames;  // from the root
};

// A folder the explorer stands in: its handle and the names from the root.
struct FolderPlace {
  EntryHandle handle = 0;
  std::vector<std::u16string> names;  // empty: the root
};

// Drive listing for the start window: its own device, so a listing never
// disturbs a mounted volume.
class DriveLister {
 public:
  // Rebuilds `list` (worker thread): the system's drives and the images.
  void Refresh(DriveList& list, Ui& ui, const std::vector<std::string>& images, bool includeSystem,
               const WorkerToken* cancel);

 private:
  ScanFlags scan_;
  SectorDevice device_{scan_};
};

// A volume to open in place of the one explored: an old partition its scan
// found, on the same source (start and count in that source's sectors).
struct VolumeToOpen {
  std::string path;
  std::uint64_t start = 0;
  std::uint64_t sectors = 0;
};

// What could go wrong opening a row, as a message slot and its caption.
struct OpenOutcome {
  bool ok = false;
  StringId message{};
};

class CoreBridge {
 public:
  explicit CoreBridge(Ui& ui) : session_(ui) {}
  ~CoreBridge();
  CoreBridge(const CoreBridge&) = delete;
  CoreBridge& operator=(const CoreBridge&) = delete;

  // Opens the device of a drive-list row and mounts its volume (worker thread).
  OpenOutcome Open(const DriveList& list, std::size_t row);
  // Opens the row's device and mounts the row's entry with the settings of the
  // "Mount NTFS Volume from sector" tool: a damaged NTFS volume whose clusters
  // count from settings.manualStart, settings.manualCount sectors long, with the
  // chosen cluster size.
  OpenOutcome OpenAtSector(const DriveList& list, std::size_t row, const DriveSettings& settings);
  // The geometry of the mounted volume (for the windows that show it).
  const SectorDevice& device() { return session_.device(); }
  bool damaged() const { return session_.mountedVolume().damaged; }
  // A volume the partition search found on `path` (an image or a device),
  // mounted with the settings chosen for it in the results window.
  OpenOutcome OpenFound(const std::string& path, std::uint64_t start, std::uint64_t count,
                        const DriveSettings& settings);
  // The path opened for the row (image, volume or whole drive).
  static std::string DevicePathOf(const DriveList& list, std::size_t row);

  // The free-space scan of the mounted volume on the core's worker (nothing
  // when no volume is mounted or a scan runs).
  std::unique_ptr<VolumeScan> StartScan(const ScanOptions& options) {
    return session_.mounted() ? session_.StartScan(options) : nullptr;
  }
  bool mounted() const { return session_.mounted(); }
  // The sectors a scan's look for old NTFS volumes reads, and what it found.
  SectorRange MountedVolumeRange() const { return session_.MountedVolumeRange(); }
  std::vector<DriveEntry> OldPartitions() const { return session_.OldPartitions(); }
  bool IsNtfs() const { return session_.mounted() && session_.fsType() == FsType::Ntfs; }
  std::unique_ptr<MftCollection> StartMftCollection() { return session_.StartMftCollection(); }

  FsType fsType() const { return session_.fsType(); }
  EntryHandle RootHandle() { return session_.volume().RootHandle(); }
  EntryHandle FolderHandle(const ScanEntry& folder) { return session_.volume().FolderHandle(folder); }
  // The items of a folder in the reader's order (GUI thread; the display list is a copy).
  std::vector<FolderItem> List(EntryHandle handle);
  // `length` bytes of an entry's data from `offset` into memory (any thread;
  // serialised with List so the thumbnail worker and the GUI share the reader).
  std::vector<std::uint8_t> ReadRange(const ScanEntry& entry, std::uint64_t offset, std::uint64_t length);
  // "/a/b" as a folder (case-insensitive; the virtual folders at the root).
  std::optional<FolderPlace> ResolveFolder(const std::string& path);
  const std::string& sourcePath() const { return session_.sourcePath(); }
  SourceIdentity Identity() const { return IdentityOfSource(session_.sourcePath()); }

  // The read-error window of the explorer: its state is the core's, the
  // window draws the views it is handed through the Ui and calls these.
  void AttachReadErrorWindow(Ui& ui);
  void ReadErrorContinue(bool skipChecked);
  void ReadErrorStopScan(bool skipChecked);

  // The counters of the preparing window and the outcome of the saving pass,
  // handed over from the worker thread.
  struct Progress {
    virtual ~Progress() = default;
    // Counting is done (the worker waits here until the saving window is up).
    virtual void Counted(const RecoveryStatistics& stats) = 0;
  };
  // Runs the recovery of `marked` into request.destination (worker thread).
  bool Recover(std::vector<MarkedEntry>& marked, RecoveryRequest& request, Ui& ui, Progress& progress,
               RecoveryStatistics& result);

  // The display filter of window 110: every listing, search and recovery takes a copy.
  SharedDisplayFilter& displayFilter() { return filter_; }
  // The hex view's block: four sectors for a RAW find, a cluster otherwise.
  std::uint64_t HexBlockSize(const ScanEntry& entry);
  // The mounted volume for the search thread, each call serialised with List
  // and ReadRange (null when nothing is mounted).
  FsReader* SearchReader();
  // A search result as the list shows it.
  FolderItem ItemOf(const FoundEntry& found);
  FolderItem ItemOf(const SearchResult& result);
  // The texts searched this run (newest first), kept with the volume's session:
  // a saved session stores them, a loaded one brings them back.
  session::SessionHistories Histories() const { return session_.Histories(); }
  bool AddToHistory(VolumeSession::History list, std::u16string_view text) {
    return session_.AddToHistory(list, text);
  }
  std::uint64_t historiesGeneration() const { return session_.historiesGeneration(); }
  void SetSavePaths(std::vector<std::u16string> paths) {
    session::SessionHistories h = session_.Histories();
    h.savePaths = std::move(paths);
    session_.SetHistories(std::move(h));
  }
  // The core's session behind the windows (session files, tests).
  VolumeSession& volumeSession() { return session_; }
  // Tells entries of one folder apart (a search result in its folder's listing).
  std::uint64_t EntryId(const ScanEntry& e) { return session_.volume().EntryId(e); }

  // Scan sessions (.kvs) of the mounted volume (core_bridge_session.cpp).
  // Each runs on a worker behind the progress window; messages go through the Ui.
  ScanSessionResult SaveSession(const std::string& path, const session::SessionHistories& histories);
  // The drive check of a session file (the trailer only; may ask CHOOSEDISKDLG).
  ScanSessionResult FindSessionDrive(const std::string& path, SessionDrive& drive);
  // Opens `source`, mounts the session's volume and reads the whole file.
  ScanSessionResult LoadSession(const std::string& path, const std::string& source);
  // Reads the file into the volume mounted now; nothing is replaced on failure.
  ScanSessionResult LoadSessionIntoMounted(const std::string& path);
  // The file's trailer names the volume mounted now (same image or device, same volume).
  bool SessionIsOfMountedVolume(const std::string& path);
  // Every block of the file reads back (nothing is kept; the trailer shows no message).
  bool SessionReadsBack(const std::string& path);
  // The histories of the session loaded last.
  const session::SessionHistories& loadedHistories() const { return loadedHistories_; }
  // The unfinished scan of a session just loaded, continued from its stored
  // position (once). `paused`: it was saved paused; `complete`: it had ended.
  std::unique_ptr<VolumeScan> ResumeLoadedScan(bool& paused, bool& complete);
  // The explorer's favourites and path drop-down items, kept in the session
  // trailer for the next save (at most 16 of each), and the favourites of the
  // session loaded last.
  void SetSessionExplorerState(const std::vector<std::u16string>& favorites,
                               const std::vector<std::u16string>& pathItems);
  std::vector<std::u16string> SessionFavorites();
  // The folder the explorer showed when the loaded session was saved (the first
  // path item); handed out once, empty when nothing was loaded since.
  std::u16string TakeSessionFolder() { return std::exchange(loadedFolder_, std::u16string()); }

 private:
  VolumeSession session_;
  std::unique_ptr<ReadErrorWindow> readErrors_;
  std::mutex readerMutex_;
  SharedDisplayFilter filter_;
  std::unique_ptr<FsReader> searchReader_;
  // A session read back: its histories and folder wait for the explorer.
  void KeepLoaded(session::SessionHistories histories);
  session::SessionHistories loadedHistories_;
  std::u16string loadedFolder_;
  bool resumePending_ = false;
};

}  // namespace kestrova::gui
