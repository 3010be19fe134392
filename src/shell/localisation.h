// Language files: loading every string slot from "<language folder>/<name>.lng"
// with the fallback to "English" and then to the built-in texts, the language
// name from the user's locale, and the generic localisation of a window
// described without any toolkit (the GUI maps ids to its widgets).
#pragma once

#include "shell/profile.h"

#include <string>
#include <string_view>
#include <vector>

namespace kestrova {

// The English name of the language of a locale string ("de_DE.UTF-8" ->
// "German"); "English" for C/POSIX and unknown codes.
std::u16string LanguageOfLocale(std::string_view locale);
// From LC_ALL, LC_MESSAGES or LANG, in that order.
std::u16string UserLanguageName();

struct LoadedLanguage {
  std::u16string name;  // the language in use ("English" after a fallback)
  std::string path;     // its file; empty when the built-in texts are used
  IniFile file;         // kept for localising windows
};

// Resets every slot to its built-in text, then reads each slot (as a string
// value) from the language file; a missing key keeps the built-in text.
LoadedLanguage LoadLanguage(const std::string& languageFolder, std::u16string name);

// The languages of a folder: "*.lng" file names without the extension, sorted.
std::vector<std::u16string> ListLanguages(const std::string& languageFolder);

// A window as localisation sees it.
struct LocalisableControl {
  int id = 0;
  bool listView = false;
};
struct MenuItemDesc {
  bool separator = false;
  std::vector<MenuItemDesc> children;
};
inline constexpr int kUnnamedControlId = 0xFFFF;  // static labels without an id are skipped

class LocalisableWindow {
 public:
  virtual ~LocalisableWindow() = default;
  virtual std::vector<LocalisableControl> Controls() const = 0;
  virtual std::vector<MenuItemDesc> Menu() const { return {}; }
  virtual void SetCaption(std::u16string_view text) = 0;
  virtual void SetControlText(int id, std::u16string_view text) = 0;
  virtual void SetTooltip(int id, std::u16string_view text) = 0;
  virtual void SetColumnTitles(int id, const std::vector<std::u16string>& titles) = 0;
  // path: the item's position (from 1, separators not counted) at each menu level.
  virtual void SetMenuText(const std::vector<int>& path, std::u16string_view text) = 0;
};

// Applies a language section: "#C" caption, "#<id>" control texts (list views:
// ";"-separated column titles), "##<id>" tooltips (only with a text key),
// "M#i#j" menu items.
void LocaliseWindow(LocalisableWindow& window, const IniFile& language, std::u16string_view section);

}  // namespace kestrova
