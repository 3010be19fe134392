// Running the free-space scan from the command line: the progress line on
// stderr, Ctrl+C ending the scan cleanly (the results found so far stay).
#pragma once

#include "explore/volume_session.h"

namespace kestrova::cli {

struct ScanRun {
  ScanResult result;
  ScanSnapshot snapshot;  // the last one, after the end
  bool interrupted = false;
};

// Scans the mounted volume of `session`; progress unless `quiet`.
ScanRun RunScanWithProgress(VolumeSession& session, const ScanOptions& options, bool quiet);

}  // namespace kestrova::cli
