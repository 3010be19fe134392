#include "gui/scan_controller.h"

#include <QCoreApplication>

namespace kestrova::gui {

ScanController::ScanController(CoreBridge& bridge, QObject* parent) : QObject(parent), bridge_(bridge) {
  // The counters are read at most every 25 ms; 100 is quick enough to watch.
  timer_.setInterval(100);
  connect(&timer_, &QTimer::timeout, this, &ScanController::Poll);
}

ScanController::~ScanController() {
  // Closing the explorer ends a running scan without its end question.
  if (scan_) {
    scan_->Stop();
    if (paused_) scan_->AbortWhilePaused();
  }
}

bool ScanController::Start(bool raw) {
  if (scan_) return false;
  ScanOptions options;
  options.raw = raw;
  // The whole volume is read first for the boot sectors of older NTFS volumes
  // (the window of that pass offers to skip it).
  options.bootProbe = bridge_.MountedVolumeRange();
  scan_ = bridge_.StartScan(options);
  if (!scan_) return false;
  paused_ = false;
  complete_ = false;
  timer_.start();
  Poll();
  return true;
}

void ScanController::TogglePause() {
  if (!scan_) return;
  paused_ = scan_->TogglePause();
  Poll();
}

void ScanController::Stop() {
  if (!scan_) return;
  scan_->Stop();
  if (paused_) scan_->AbortWhilePaused();
}

void ScanController::SkipProbe() {
  if (scan_) scan_->SkipProbe();
}

void ScanController::Poll() {
  if (!scan_) return;
  ScanSnapshot s = scan_->Snapshot();
  if (!scan_->finished()) {
    emit progressed(s);
    return;
  }
  timer_.stop();
  const ScanResult result = scan_->Wait();
  scan_.reset();
  paused_ = false;
  complete_ = complete_ || result.end == ScanEnd::Finished;
  s.state = result.end == ScanEnd::Finished ? ScanState::Finished : ScanState::Stopped;
  s.lostCount = result.lostCount;
  s.rawCount = result.rawCount;
  emit progressed(s);
  emit ended(result);
}

void ScanController::HoldPolling(bool hold) {
  if (hold)
    timer_.stop();
  else if (scan_)
    timer_.start();
}

void ScanController::Drop() {
  if (!scan_) return;
  timer_.stop();
  scan_->Stop();
  scan_->AbortWhilePaused();
  // An end question may still be on its way to this thread: keep serving it.
  while (!scan_->finished()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  scan_->Wait();
  scan_.reset();
  paused_ = false;
}

bool ScanController::ContinueLoaded() {
  Drop();
  bool paused = false, complete = false;
  scan_ = bridge_.ResumeLoadedScan(paused, complete);
  complete_ = complete;
  if (!scan_) return false;
  paused_ = paused;
  timer_.start();
  Poll();
  return true;
}

}  // namespace kestrova::gui
