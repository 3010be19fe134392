// A listed volume of SOURCE mounted for browsing and recovery, shared by "ls"
// and "recover": the core's volume session with the command line's messages.
#pragma once

#include "cli/terminal_ui.h"
#include "explore/volume_session.h"

#include <memory>
#include <string>
#include <vector>

namespace kestrova::cli {

struct BrowseSession {
  TerminalUi ui;
  VolumeSession session{ui};
  FsReader* volume = nullptr;
  bool collectMft = true;  // NTFS: fill the lost-files list from the MFT when opening
  bool allowUnsupported = false;  // a volume without a reader stays mounted (headers-only scan)
  bool scanFirst = false;  // run the free-space scan after mounting (progress on stderr)

  // Lists SOURCE, opens volume `partition` (0: the only one) and mounts it.
  // Returns an exit code, having printed why on failure.
  int Open(const std::string& source, std::size_t partition, const char* command);
};

// The exit code for a failed open, with its message on stderr.
int ReportSessionStatus(SessionStatus status, const std::string& source);

}  // namespace kestrova::cli
