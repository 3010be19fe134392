#include "cli/terminal_ui.h"

#include "common/text.h"

#include <cstdio>

namespace kestrova::cli {

MsgChoice TerminalUi::MessageBox(std::u16string_view text, std::u16string_view caption, MsgIcon icon,
                                 MsgButtons buttons) {
  std::scoped_lock guard(lock_);
  const char* kind = icon == MsgIcon::Error ? "error" : icon == MsgIcon::Warning ? "warning" : "note";
  std::fprintf(stderr, "%s: %s: %s\n", EscapeControls(ToUtf8(caption)).c_str(), kind, EscapeControls(ToUtf8(text)).c_str());
  // Without a person to ask, take the answer that changes nothing.
  switch (buttons) {
    case MsgButtons::YesNo:
    case MsgButtons::YesNoCancel: return MsgChoice::No;
    case MsgButtons::OkCancel:
    case MsgButtons::RetryCancel: return MsgChoice::Cancel;
    default: return MsgChoice::Ok;
  }
}

int TerminalUi::ChooseDisk(const std::vector<std::u16string>& drives, int offered) {
  std::scoped_lock guard(lock_);
  if (offered >= 0 && static_cast<std::size_t>(offered) < drives.size()) {
    std::fprintf(stderr, "kestrova-cli: the session's drive: %s (another with --device)\n",
                 EscapeControls(ToUtf8(drives[static_cast<std::size_t>(offered)])).c_str());
  }
  return offered;
}

void TerminalUi::Progress(std::uint64_t done, std::uint64_t total) {
  if (quiet_ || total == 0) return;
  std::scoped_lock guard(lock_);
  const int percent = static_cast<int>(done * 100 / total);
  if (percent == lastPercent_) return;
  lastPercent_ = percent;
  std::fprintf(stderr, "\r%3d%%%s", percent, percent >= 100 ? "\n" : "");
}

void TerminalUi::Status(std::u16string_view text) {
  if (quiet_) return;
  std::scoped_lock guard(lock_);
  std::fprintf(stderr, "%s\n", EscapeControls(ToUtf8(text)).c_str());
}

void TerminalUi::ReadErrorWindowChanged(const ReadErrorView& view) {
  if (!view.visible) return;
  std::scoped_lock guard(lock_);
  std::fprintf(stderr, "read error: sector/cluster %s: %s (errors: %s)\n", ToUtf8(view.sectorLine).c_str(),
               ToUtf8(view.errorText).c_str(), ToUtf8(view.countLine).c_str());
}

void TerminalUi::PostCommand(int) {}

}  // namespace kestrova::cli
