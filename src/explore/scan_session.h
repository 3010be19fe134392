// Saving the results of the mounted volume as a scan session (.kvs) and
// loading one back: the drive check that finds the scanned volume again, the
// overwrite protection, the suspension of a running scan, the messages and
// progress texts. Both front ends call these; the file format itself is
// session/session_file.h.
#pragma once

#include "device/drive_tables.h"
#include "explore/volume_session.h"
#include "session/session_file.h"

#include <atomic>
#include <string>

namespace kestrova {

enum class ScanSessionStatus {
  Ok,
  NotMounted,     // no volume, nothing to save
  OnSource,       // the file would lie on the scanned device (refused, message shown)
  Busy,           // another save is running (message shown)
  WriteFailed,    // the file could not be written; a previous file is left as it was
  CantOpen,       // the session file cannot be opened or read
  Invalid,        // not a session file, or a block cannot be read back (message shown)
  DriveNotFound,  // the scanned drive is not there (message shown)
  Cancelled,      // the user declined the drive choice
  CantMount,      // the drive was found but its volume does not mount
};

struct ScanSessionResult {
  ScanSessionStatus status = ScanSessionStatus::Ok;
  std::string detail;  // for logs and the command line: which block, which error
  bool ok() const { return status == ScanSessionStatus::Ok; }
};

// Where the session's volume lives, as the drive check found it.
struct SessionDrive {
  std::string sourcePath;  // image file or block device to open
  DriveEntry partition{};  // the volume on it (start and sector count)
  bool image = false;
};

// Saves the session of the mounted volume with the session's histories. A
// running scan is paused first (and resumed afterwards unless it was already
// paused); only one save runs at a time. Refuses a path on the scanned device
// with the overwrite protection message.
ScanSessionResult SaveScanSession(VolumeSession& session, const std::string& path);
// The same with the histories given.
// `navigation`: the explorer's path drop-down, current folder and favourites
// (null: the trailer's navigation areas are written as they are).
ScanSessionResult SaveScanSession(VolumeSession& session, const std::string& path,
                                  const session::SessionHistories& histories,
                                  const session::ExplorerNavigation* navigation = nullptr);

// Reads only the trailer and finds the drive the session belongs to; offers
// it through Ui::ChooseDisk when it is a physical drive.
ScanSessionResult FindSessionDrive(const std::string& path, Ui& ui, SessionDrive& drive,
                                   const SystemPaths& paths = SystemPaths{});

struct LoadScanOptions {
  // Open this image or device instead of the one the drive check finds.
  std::string source;
  SystemPaths paths;
};

// Loads a session: the drive check, then the source opened and the volume
// mounted in `session`, then the file read into fresh lists that replace the
// session's lists only when all of it has been read back. On failure the
// lists shown before are untouched (when the volume was already mounted) or
// the session is left empty. The session's histories become the file's;
// `histories` receives them too.
// `navigation` receives the stored explorer navigation.
ScanSessionResult LoadScanSession(VolumeSession& session, const std::string& path, const LoadScanOptions& options = {},
                                  session::SessionHistories* histories = nullptr,
                                  session::ExplorerNavigation* navigation = nullptr);

// The session at `path` is of the volume mounted in `session`, mounted the
// same way (same source and range, same drive settings), so that it can be
// loaded in place with LoadIntoMounted. Reads only the trailer.
bool SessionIsOfMountedVolume(const VolumeSession& session, const std::string& path);

// Reads a session file into the already mounted volume (the explorer's
// Ctrl+L on the same drive, and tests): nothing is replaced on failure.
ScanSessionResult LoadIntoMounted(VolumeSession& session, const std::string& path,
                                  session::SessionHistories* histories = nullptr,
                                  session::ExplorerNavigation* navigation = nullptr);

// The scan position as the trailer keeps it: the 44-byte resume areas of
// the format (32-bit counts) and, in the trailer's reserved tail, the whole
// 64-bit record, which a reader takes when it is there.
void StoreScanPosition(const ScanPosition& position, bool paused, session::SessionTrailer& trailer);
ScanPosition RestoreScanPosition(const session::SessionTrailer& trailer);

// Continues the scan of a loaded session from its stored position (paused
// again when it was saved paused). Nothing when the session's scan had
// finished, or a scan is running.
std::unique_ptr<VolumeScan> ResumeScan(VolumeSession& session);

}  // namespace kestrova
