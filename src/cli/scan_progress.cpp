#include "cli/scan_progress.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

namespace kestrova::cli {
namespace {

std::atomic<bool> interruptRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnInterrupt(int) { interruptRequested.store(true, std::memory_order_relaxed); }

std::string Duration(double seconds) {
  const auto s = static_cast<unsigned long long>(seconds < 0 ? 0 : seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
  return text;
}

void PrintLine(const ScanSnapshot& s, double wall, bool last) {
  const double mb = static_cast<double>(s.bytesDone) / 1048576.0;
  const double rate = s.elapsedSeconds > 0 ? mb / s.elapsedSeconds : 0.0;
  const double left = s.bytesTotal > s.bytesDone ? static_cast<double>(s.bytesTotal - s.bytesDone) / 1048576.0 : 0.0;
  const std::string eta = rate > 0 ? Duration(left / rate) : "--:--:--";
  std::fprintf(stderr, "\r%3u%%  %.0f MB  %.1f MB/s  lost %llu  raw %llu  elapsed %s  ETA %s%s   ", s.percent, mb,
               rate, static_cast<unsigned long long>(s.lostCount), static_cast<unsigned long long>(s.rawCount),
               Duration(wall).c_str(), eta.c_str(), s.state == ScanState::Paused ? "  (paused)" : "");
  if (last) std::fprintf(stderr, "\n");
}

}  // namespace

ScanRun RunScanWithProgress(VolumeSession& session, const ScanOptions& options, bool quiet) {
  ScanRun run;
  interruptRequested = false;
  struct sigaction action {}, previous {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &previous);
  const auto start = std::chrono::steady_clock::now();
  auto scan = session.StartScan(options);
  if (scan) {
    auto lastLine = start - std::chrono::seconds(1);
    while (!scan->finished()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (interruptRequested.exchange(false)) {
        run.interrupted = true;
        // A paused scan leaves at once; a running one after its block.
        if (!scan->AbortWhilePaused()) scan->Stop();
      }
      const auto now = std::chrono::steady_clock::now();
      if (!quiet && now - lastLine >= std::chrono::milliseconds(250)) {
        lastLine = now;
        PrintLine(scan->Snapshot(), std::chrono::duration<double>(now - start).count(), false);
      }
    }
    run.result = scan->Wait();
    run.snapshot = scan->Snapshot();
    if (!quiet)
      PrintLine(run.snapshot, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), true);
  }
  sigaction(SIGINT, &previous, nullptr);
  return run;
}

}  // namespace kestrova::cli
