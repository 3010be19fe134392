// Run state of the free-space scan. The scan driver owns and writes these; the
// sector device and the windows only read them.
#pragma once

#include <atomic>

namespace kestrova {

struct ScanFlags {
  std::atomic<bool> scanRunning{false};
  std::atomic<bool> scanPaused{false};
  std::atomic<bool> stopRequested{false};  // the running scan ends at its next check
};

// Menu command behind "&Pause scan\tF10": pauses or resumes the running scan.
inline constexpr int kCommandPauseResumeScan = 5555;

}  // namespace kestrova
