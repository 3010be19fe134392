#include "shell/startup.h"

#include "resources/strings.h"

namespace kestrova {

ShellState StartShell(const std::string& applicationFolder, const UserRegistry& registry, std::uint32_t windowText) {
  ShellState s;
  s.folders = ResolveFolders(applicationFolder, registry);
  s.settings = LoadAppSettings(s.folders.SettingsFile(), windowText, UserLanguageName());
  s.language = LoadLanguage(s.folders.language, s.settings.language);
  s.settings.language = s.language.name;
  s.title = std::u16string(kTitleText);
  return s;
}

bool FinishShell(const ShellState& state) {
  const std::string file = state.folders.SettingsFile();
  return !file.empty() && SaveAppSettings(file, state.settings);
}

}  // namespace kestrova
