#include "shell/localisation.h"
#include "common/activity.h"

#include "common/text.h"
#include "resources/strings.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>

namespace kestrova {
namespace {

namespace fs = std::filesystem;

struct LanguageCode {
  std::string_view code;
  std::u16string_view name;
};

// ISO 639-1 codes of the languages a translation is likely to exist for.
constexpr LanguageCode kLanguages[] = {
    {"ar", u"Arabic"},     {"bg", u"Bulgarian"}, {"ca", u"Catalan"},   {"cs", u"Czech"},      {"da", u"Danish"},
    {"de", u"German"},     {"el", u"Greek"},     {"en", u"English"},   {"es", u"Spanish"},    {"et", u"Estonian"},
    {"fa", u"Persian"},    {"fi", u"Finnish"},   {"fr", u"French"},    {"he", u"Hebrew"},     {"hr", u"Croatian"},
    {"hu", u"Hungarian"},  {"id", u"Indonesian"}, {"it", u"Italian"},  {"ja", u"Japanese"},   {"ko", u"Korean"},
    {"lt", u"Lithuanian"}, {"lv", u"Latvian"},   {"nb", u"Norwegian"}, {"nl", u"Dutch"},      {"no", u"Norwegian"},
    {"pl", u"Polish"},     {"pt", u"Portuguese"}, {"ro", u"Romanian"}, {"ru", u"Russian"},    {"sk", u"Slovak"},
    {"sl", u"Slovenian"},  {"sr", u"Serbian"},   {"sv", u"Swedish"},   {"th", u"Thai"},       {"tr", u"Turkish"},
    {"uk", u"Ukrainian"},  {"vi", u"Vietnamese"}, {"zh", u"Chinese"},
};

std::u16string Decimal(int id) { return ToUtf16(std::to_string(id)); }

std::vector<std::u16string> SplitColumns(std::u16string_view text) {
  std::vector<std::u16string> titles;
  std::size_t start = 0;
  for (;;) {
    const std::size_t semi = text.find(u';', start);
    titles.emplace_back(text.substr(start, semi == std::u16string_view::npos ? std::u16string_view::npos : semi - start));
    if (semi == std::u16string_view::npos) break;
    start = semi + 1;
  }
  return titles;
}

}  // namespace

std::u16string LanguageOfLocale(std::string_view locale) {
  const std::string_view code = locale.substr(0, std::min(locale.find_first_of("_.@"), locale.size()));
  for (const LanguageCode& l : kLanguages)
    if (l.code == code) return std::u16string(l.name);
  return u"English";
}

std::u16string UserLanguageName() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) return LanguageOfLocale(v);
  }
  return u"English";
}

LoadedLanguage LoadLanguage(const std::string& languageFolder, std::u16string name) {
  ActivityMark activity(Fn::LoadLanguage);
  LoadedLanguage out;
  // Built aside and installed whole: a worker never sees half a language.
  TextTable texts;
  std::error_code ec;
  auto pathOf = [&](const std::u16string& n) { return languageFolder + ToUtf8(n) + ".lng"; };
  // Names come from a settings file: a name with a path in it is not a language.
  if (name.empty() || name.find_first_of(u"/\\") != std::u16string::npos || !fs::is_regular_file(pathOf(name), ec))
    name = u"English";
  out.name = name;
  if (!fs::is_regular_file(pathOf(name), ec)) {
    InstallTexts(std::move(texts));  // the built-in texts
    return out;
  }
  out.path = pathOf(name);
  out.file = IniFile::Load(out.path);
  for (std::size_t i = 0; i < kStringCount; ++i) {
    const auto id = static_cast<StringId>(i);
    const StringSlot& slot = Slot(id);
    if (auto value = out.file.Get(ToUtf16(std::string(slot.section)), ToUtf16(std::string(slot.key))))
      texts.Set(id, DecodeStringEscapes(*value));
  }
  InstallTexts(std::move(texts));
  return out;
}

std::vector<std::u16string> ListLanguages(const std::string& languageFolder) {
  std::vector<std::u16string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(languageFolder, ec)) {
    if (entry.path().extension() == ".lng") names.push_back(ToUtf16(entry.path().stem().string()));
  }
  std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return CompareNoCase(a, b) < 0; });
  return names;
}

void LocaliseWindow(LocalisableWindow& window, const IniFile& language, std::u16string_view section) {
  ActivityMark activity(Fn::LocaliseWindow);
  auto get = [&](const std::u16string& key) { return language.Get(section, key); };
  if (auto caption = get(u"#C")) window.SetCaption(DecodeStringEscapes(*caption));
  for (const LocalisableControl& c : window.Controls()) {
    if (c.id == kUnnamedControlId) continue;
    const auto text = get(u"#" + Decimal(c.id));
    if (!text) continue;
    const std::u16string decoded = DecodeStringEscapes(*text);
    if (c.listView)
      window.SetColumnTitles(c.id, SplitColumns(decoded));
    else
      window.SetControlText(c.id, decoded);
    if (auto tip = get(u"##" + Decimal(c.id))) window.SetTooltip(c.id, DecodeStringEscapes(*tip));
  }
  std::vector<int> path;
  std::function<void(const std::vector<MenuItemDesc>&, const std::u16string&)> walk =
      [&](const std::vector<MenuItemDesc>& items, const std::u16string& prefix) {
        int position = 0;
        for (const MenuItemDesc& item : items) {
          if (item.separator) continue;
          ++position;
          const std::u16string key = prefix + u"#" + Decimal(position);
          path.push_back(position);
          if (auto text = get(key)) window.SetMenuText(path, DecodeStringEscapes(*text));
          walk(item.children, key);
          path.pop_back();
        }
      };
  walk(window.Menu(), u"M");
}

}  // namespace kestrova
