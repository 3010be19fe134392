// State of the non-modal read-error window. The reading thread updates it and
// never waits for the user; the front end draws the view it is handed and calls
// Continue/StopScan for the buttons.
#pragma once

#include "common/ui.h"
#include "device/scan_flags.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace kestrova {

class ReadErrorWindow {
 public:
  // The explorer's window has "&Stop scan"; the partition search's own has not.
  ReadErrorWindow(Ui& ui, const ScanFlags& scan, bool hasStopButton);

  // One unreadable sector (reading thread). Shows the window when hidden.
  void Report(const std::u16string& errorText, std::uint64_t sector, std::uint64_t cluster, std::uint64_t errorCount);

  // "&Continue" or closing the window: the skip box takes effect, the window hides.
  void Continue(bool skipChecked, std::atomic<bool>& skipReadErrors);
  // "&Stop scan": pauses a running scan through the main window's command, then as Continue.
  void StopScan(bool skipChecked, std::atomic<bool>& skipReadErrors);

  ReadErrorView View() const;

 private:
  void Publish(std::unique_lock<std::mutex>& guard);  // releases the lock

  Ui& ui_;
  const ScanFlags& scan_;
  mutable std::mutex lock_;
  ReadErrorView view_;
};

}  // namespace kestrova
