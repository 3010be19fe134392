// Running the free-space scan from the command line: the progress line on
// stderr, Ctrl+C ending the scan cleanly (the results found so far stay).
#pragma once

#include "explore/volume_session.h"

#include <string>

namespace kestrova::cli {

struct ScanRun {
  ScanResult result;
  ScanSnapshot snapshot;  // the last one, after the end
  bool interrupted = false;
};

// Saving the session while the scan runs and when it ends.
struct ScanCheckpoint {
  std::string file;           // empty: no session is saved
  unsigned everySeconds = 0;  // 0: only at the end
  bool failed = false;        // a save failed (said on stderr)
};

// Scans the mounted volume of `session`; progress unless `quiet`. With
// `resume` the scan continues a loaded session (ResumeScan); with a
// checkpoint file the session is saved every N seconds (each save pauses the
// scan and lets it go on) and once more at the end, also after Ctrl+C.
ScanRun RunScanWithProgress(VolumeSession& session, const ScanOptions& options, bool quiet,
                            ScanCheckpoint* checkpoint = nullptr, bool resume = false);

}  // namespace kestrova::cli
