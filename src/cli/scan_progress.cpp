#include "cli/scan_progress.h"

#include "explore/scan_session.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
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

// Test hook: with KESTROVA_TEST_KILL_AFTER_CHECKPOINT set, the checkpoint is
// taken as soon as the scan stands past KESTROVA_TEST_HOLD_AT_SECTOR (where
// it holds until asked to pause) instead of after the given seconds, and the
// process then dies as under kill -9: the test, not a timer, chooses where
// the scan stands.
bool TestKillAfterCheckpoint() {
  static const bool kill = std::getenv("KESTROVA_TEST_KILL_AFTER_CHECKPOINT") != nullptr;
  return kill;
}
std::uint64_t TestHoldSector() {
  static const std::uint64_t sector = [] {
    const char* text = std::getenv("KESTROVA_TEST_HOLD_AT_SECTOR");
    return text ? std::strtoull(text, nullptr, 10) : 0;
  }();
  return sector;
}

void SaveCheckpoint(VolumeSession& session, ScanCheckpoint& checkpoint, bool periodic = false) {
  const ScanSessionResult r = SaveScanSession(session, checkpoint.file);
  if (!r.ok()) {
    checkpoint.failed = true;
    std::fprintf(stderr, "\nkestrova-cli: the session was not saved to %s: %s\n", checkpoint.file.c_str(),
                 r.detail.c_str());
    return;
  }
  // Test hook (below): the process dies as under kill -9 right after the checkpoint.
  if (periodic && TestKillAfterCheckpoint()) std::raise(SIGKILL);
}

ScanRun RunScanWithProgress(VolumeSession& session, const ScanOptions& options, bool quiet,
                            ScanCheckpoint* checkpoint, bool resume) {
  ScanRun run;
  interruptRequested = false;
  struct sigaction action {}, previous {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &previous);
  const auto start = std::chrono::steady_clock::now();
  auto scan = resume ? ResumeScan(session) : session.StartScan(options);
  // A session saved while paused resumes paused; here nobody could let it go.
  if (scan && resume) scan->Resume();
  const bool saving = checkpoint && !checkpoint->file.empty();
  if (scan) {
    auto lastLine = start - std::chrono::seconds(1);
    auto lastSave = start;
    while (!scan->finished()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      const bool periodic = saving && checkpoint->everySeconds > 0;
      if (periodic && (TestKillAfterCheckpoint()
                           ? scan->Position().currentSector > TestHoldSector()
                           : std::chrono::steady_clock::now() - lastSave >= std::chrono::seconds(checkpoint->everySeconds))) {
        SaveCheckpoint(session, *checkpoint, true);
        lastSave = std::chrono::steady_clock::now();
      }
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
    scan.reset();  // the session keeps where it ended
    if (saving) SaveCheckpoint(session, *checkpoint);
    if (!quiet)
      PrintLine(run.snapshot, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), true);
  }
  sigaction(SIGINT, &previous, nullptr);
  return run;
}

}  // namespace kestrova::cli
