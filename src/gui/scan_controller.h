// The explorer's free-space scan: started, paused, resumed and stopped by the
// scan commands; its progress snapshot polled on a timer and handed to the
// window (title, counts beside "Lost files" and "RAW files"). The scan itself
// is the core's, on its own worker; the end question is asked from there.
#pragma once

#include "gui/core_bridge.h"

#include <QObject>
#include <QTimer>

#include <memory>

namespace kestrova::gui {

class ScanController : public QObject {
  Q_OBJECT
 public:
  ScanController(CoreBridge& bridge, QObject* parent = nullptr);
  ~ScanController() override;

  // No scan runs (none started, or the last one ended).
  bool idle() const { return !scan_; }
  bool paused() const { return paused_; }
  // A scan reached the end of the free space.
  bool complete() const { return complete_; }

  // Starts a scan (false when one runs or the volume cannot be scanned).
  bool Start(bool raw);
  // Pauses a running scan or resumes a paused one.
  void TogglePause();
  // Ends the running scan after its current block, without the end question.
  void Stop();
  // Ends the look for old volumes before the walk; the scan goes on.
  void SkipProbe();
  // After a session load: the scan of the replaced results is gone, and the
  // loaded one continues from where it was saved (paused again when it was
  // saved paused). False when there is nothing to continue.
  bool ContinueLoaded();
  // Holds the polling while a session load has the lists (the window lists
  // folders when a scan ends, and the load keeps the reader meanwhile).
  void HoldPolling(bool hold);

 signals:
  // After each poll while a scan exists.
  void progressed(const kestrova::ScanSnapshot& snapshot);
  // The scan has ended (its end question answered).
  void ended(const kestrova::ScanResult& result);

 private:
  void Poll();
  // Forgets a scan that has ended or been ended (no signal).
  void Drop();

  CoreBridge& bridge_;
  std::unique_ptr<VolumeScan> scan_;
  QTimer timer_;
  bool paused_ = false;
  bool complete_ = false;
};

}  // namespace kestrova::gui

Q_DECLARE_METATYPE(kestrova::ScanSnapshot)
Q_DECLARE_METATYPE(kestrova::ScanResult)
