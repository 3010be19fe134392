// The shell's start and end: folders, settings file, language and colours in
// the order the program needs them before any window opens, and the write-back
// of the settings at exit.
#pragma once

#include "shell/app_settings.h"
#include "shell/folders.h"
#include "shell/localisation.h"

#include <cstdint>
#include <string>

namespace kestrova {

struct ShellState {
  AppFolders folders;
  AppSettings settings;
  LoadedLanguage language;
  std::u16string title;  // "Kestrova 3.8.6.1"
};

// windowText: the system's window-text colour (COLORREF), for the defaults.
ShellState StartShell(const std::string& applicationFolder, const UserRegistry& registry, std::uint32_t windowText);
// Writes colours and language back when a settings folder is set.
bool FinishShell(const ShellState& state);

}  // namespace kestrova
