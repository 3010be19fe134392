// The CLI's Ui: messages and progress on stderr, never a prompt (scripts run it).
#pragma once

#include "common/ui.h"

#include <mutex>

namespace kestrova::cli {

class TerminalUi : public Ui {
 public:
  explicit TerminalUi(bool quiet = false) : quiet_(quiet) {}
  MsgChoice MessageBox(std::u16string_view text, std::u16string_view caption, MsgIcon icon,
                       MsgButtons buttons) override;
  void Progress(std::uint64_t done, std::uint64_t total) override;
  void Status(std::u16string_view text) override;
  void ReadErrorWindowChanged(const ReadErrorView& view) override;
  void PostCommand(int command) override;
  // No dialog: the drive the session check found is taken, and said so.
  int ChooseDisk(const std::vector<std::u16string>& drives, int offered) override;

 private:
  bool quiet_;
  std::mutex lock_;
  int lastPercent_ = -1;
};

}  // namespace kestrova::cli
