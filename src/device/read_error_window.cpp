#include "device/read_error_window.h"

namespace kestrova {

ReadErrorWindow::ReadErrorWindow(Ui& ui, const ScanFlags& scan, bool hasStopButton) : ui_(ui), scan_(scan) {
  view_.hasStopButton = hasStopButton;
}

void ReadErrorWindow::Report(const std::u16string& errorText, std::uint64_t sector, std::uint64_t cluster,
                             std::uint64_t errorCount) {
  std::unique_lock guard(lock_);
  view_.errorText = errorText;
  std::string line = std::to_string(sector);
  if (cluster != sector) line += "/" + std::to_string(cluster);
  view_.sectorLine = std::u16string(line.begin(), line.end());
  const std::string count = std::to_string(errorCount);
  view_.countLine = std::u16string(count.begin(), count.end());
  if (!view_.visible) {
    view_.stopScanEnabled = view_.hasStopButton && (scan_.scanRunning() || scan_.scanPaused());
    view_.visible = true;
  }
  Publish(guard);
}

void ReadErrorWindow::Continue(bool skipChecked, std::atomic<bool>& skipReadErrors) {
  std::unique_lock guard(lock_);
  skipReadErrors.store(skipChecked);
  view_.skipChecked = skipChecked;
  view_.visible = false;
  Publish(guard);
}

void ReadErrorWindow::StopScan(bool skipChecked, std::atomic<bool>& skipReadErrors) {
  // Only a running scan is paused; a paused one stays paused (the command toggles).
  if (view_.hasStopButton && scan_.scanRunning() && !scan_.scanPaused())
    ui_.PostCommand(kCommandPauseResumeScan);
  Continue(skipChecked, skipReadErrors);
}

ReadErrorView ReadErrorWindow::View() const {
  std::scoped_lock guard(lock_);
  return view_;
}

void ReadErrorWindow::Publish(std::unique_lock<std::mutex>& guard) {
  // The front end may ask for View() from its callback: call it without the lock.
  const ReadErrorView copy = view_;
  guard.unlock();
  ui_.ReadErrorWindowChanged(copy);
}

}  // namespace kestrova
