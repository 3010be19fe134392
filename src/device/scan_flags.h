// Run state of the free-space scan, as views on the scan's worker token. The
// scan's owner starts the scan thread on `token`; the sector device, the
// read-error window and the recovery only read these.
#pragma once

#include "common/worker_token.h"

namespace kestrova {

struct ScanFlags {
  WorkerToken token;  // the scan's stop/pause/progress

  // A scan thread exists (set for the life of the thread).
  bool scanRunning() const { return token.Running(); }
  // The scan is paused (or asked to park at its next block boundary).
  bool scanPaused() const { return token.Paused(); }
  // The running scan ends at its next check.
  bool stopRequested() const { return token.StopRequested(); }
};

// Menu command behind "&Pause scan\tF10": pauses or resumes the running scan.
inline constexpr int kCommandPauseResumeScan = 5555;

}  // namespace kestrova
