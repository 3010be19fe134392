// The core's only channel to people. The Qt GUI, the CLI and the tests' recording
// fake implement it; the core never talks to a terminal or a widget directly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova {

enum class MsgIcon { None, Information, Warning, Error, Question };
enum class MsgButtons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel };
enum class MsgChoice { Ok, Cancel, Yes, No, Retry };

// Snapshot of the non-modal read-error window, handed to the front end whenever it changes.
struct ReadErrorView {
  bool visible = false;
  bool stopScanEnabled = false;
  bool hasStopButton = true;
  bool skipChecked = false;
  std::u16string errorText;    // "Error code:" line
  std::u16string sectorLine;   // "Sector/cluster:" line
  std::u16string countLine;    // "Error count:" line
};

class Ui {
 public:
  virtual ~Ui() = default;

  // Modal message box; returns the button chosen. Must be safe to call from worker threads.
  virtual MsgChoice MessageBox(std::u16string_view text, std::u16string_view caption, MsgIcon icon,
                               MsgButtons buttons) = 0;

  // Progress of the current long operation (done of total, in any unit).
  virtual void Progress(std::uint64_t done, std::uint64_t total) = 0;

  // Status-bar or progress-window text.
  virtual void Status(std::u16string_view text) = 0;

  // Called from the reading thread after its transfer, with no device lock held:
  // it may read the device, but must not block on the user (the read has returned
  // and the scan goes on; post to the GUI thread instead).
  virtual void ReadErrorWindowChanged(const ReadErrorView& view) = 0;

  // Posts a menu command to the main window (e.g. 5555, pause/resume scan).
  virtual void PostCommand(int command) = 0;

  // "Please select dedicated disk": the drive a loaded session belongs to,
  // `offered` preselected. Returns the index chosen, or -1 when the user
  // cancels. A front end without the dialog takes the drive offered.
  virtual int ChooseDisk(const std::vector<std::u16string>& drives, int offered) {
    (void)drives;
    return offered;
  }
};

// A Ui that answers every box with its default and shows nothing; for headless use.
class SilentUi : public Ui {
 public:
  MsgChoice MessageBox(std::u16string_view, std::u16string_view, MsgIcon, MsgButtons buttons) override {
    return buttons == MsgButtons::YesNo || buttons == MsgButtons::YesNoCancel ? MsgChoice::No : MsgChoice::Ok;
  }
  void Progress(std::uint64_t, std::uint64_t) override {}
  void Status(std::u16string_view) override {}
  void ReadErrorWindowChanged(const ReadErrorView&) override {}
  void PostCommand(int) override {}
};

}  // namespace kestrova
