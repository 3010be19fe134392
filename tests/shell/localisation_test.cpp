#include "shell/localisation.h"
#include "shell/startup.h"
#include "common/text.h"
#include "resources/strings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

namespace kestrova {
namespace {

namespace fs = std::filesystem;

class LanguageFiles : public ::testing::Test {
 protected:
  fs::path dir = fs::temp_directory_path() / ("kestrova-lang-" + std::to_string(::getpid())) / "";
  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override {
    fs::remove_all(dir);
    ResetTexts();
  }
  void Write(const std::string& name, const std::string& text) { std::ofstream(dir / name) << text; }
};

TEST_F(LanguageFiles, FallsBackToEnglishThenToTheBuiltInTexts) {
  const std::u16string builtIn = Text(StringId::CantOpenImageFile);
  // No file at all: every text stays built in.
  LoadedLanguage none = LoadLanguage(dir.string(), u"Klingon");
  EXPECT_EQ(none.name, u"English");
  EXPECT_TRUE(none.path.empty());
  EXPECT_EQ(Text(StringId::CantOpenImageFile), builtIn);

  Write("English.lng", "[EXT_STRINGS]\nszCantOpenImageFile=Image cannot be opened\n");
  Write("Deutsch.lng", "[EXT_STRINGS]\nszNotAvailable=k.A.\nszLostFiles=Verlorene\u00A6Dateien\n"
                       "[WINDOW_PROPERTIES]\nszMonth3=M\xC3\xA4rz\n");
  LoadedLanguage english = LoadLanguage(dir.string(), u"Klingon");
  EXPECT_EQ(english.name, u"English");
  EXPECT_EQ(Text(StringId::CantOpenImageFile), u"Image cannot be opened");

  LoadedLanguage german = LoadLanguage(dir.string(), u"Deutsch");
  EXPECT_EQ(german.name, u"Deutsch");
  EXPECT_EQ(Text(StringId::NotAvailable), u"k.A.");
  EXPECT_EQ(Text(StringId::Month3), u"M\u00E4rz");
  EXPECT_EQ(Text(StringId::CantOpenImageFile), builtIn) << "switching languages restores keys the new file lacks";
  EXPECT_EQ(LoadLanguage(dir.string(), u"../Deutsch").name, u"English") << "a name with a path is not a language";
  EXPECT_EQ(ListLanguages(dir.string()), (std::vector<std::u16string>{u"Deutsch", u"English"}));
}

TEST(Locale, MapsToEnglishLanguageNames) {
  EXPECT_EQ(LanguageOfLocale("de_DE.UTF-8"), u"German");
  EXPECT_EQ(LanguageOfLocale("pl_PL"), u"Polish");
  EXPECT_EQ(LanguageOfLocale("pt_BR.UTF-8@latin"), u"Portuguese");
  EXPECT_EQ(LanguageOfLocale("C.UTF-8"), u"English");
  EXPECT_EQ(LanguageOfLocale("POSIX"), u"English");
  EXPECT_EQ(LanguageOfLocale(""), u"English");
}

class FakeWindow : public LocalisableWindow {
 public:
  std::u16string caption;
  std::map<int, std::u16string> texts, tips;
  std::map<int, std::vector<std::u16string>> columns;
  std::map<std::vector<int>, std::u16string> menu;

  std::vector<LocalisableControl> Controls() const override {
    return {{1001, false}, {1002, true}, {kUnnamedControlId, false}, {1003, false}};
  }
  std::vector<MenuItemDesc> Menu() const override {
    MenuItemDesc file{false, {{false, {}}, {true, {}}, {false, {}}}};  // Open, ---, Exit
    MenuItemDesc edit{false, {{false, {}}}};
    return {file, {true, {}}, edit};
  }
  void SetCaption(std::u16string_view t) override { caption = t; }
  void SetControlText(int id, std::u16string_view t) override { texts[id] = t; }
  void SetTooltip(int id, std::u16string_view t) override { tips[id] = t; }
  void SetColumnTitles(int id, const std::vector<std::u16string>& t) override { columns[id] = t; }
  void SetMenuText(const std::vector<int>& path, std::u16string_view t) override { menu[path] = t; }
};

TEST(LocaliseWindowTest, AppliesCaptionControlsColumnsTooltipsAndMenus) {
  const IniFile lang = IniFile::Parse(
      u"[WINDOW_TEST]\n#C=Test window\n#1001=&OK\n##1001=Confirm\n#1002=Name;Size;Date\n##1003=orphan tip\n"
      u"#65535=never\nM#1=&File\nM#1#2=E&xit\nM#2#1=&Copy\n");
  FakeWindow w;
  LocaliseWindow(w, lang, u"WINDOW_TEST");
  EXPECT_EQ(w.caption, u"Test window");
  EXPECT_EQ(w.texts[1001], u"&OK");
  EXPECT_EQ(w.tips[1001], u"Confirm");
  EXPECT_EQ(w.columns[1002], (std::vector<std::u16string>{u"Name", u"Size", u"Date"}));
  EXPECT_EQ(w.tips.count(1003), 0u) << "a tooltip needs the control's text key";
  EXPECT_EQ(w.texts.count(kUnnamedControlId), 0u);
  EXPECT_EQ(w.menu[(std::vector<int>{1})], u"&File");
  EXPECT_EQ(w.menu[(std::vector<int>{1, 2})], u"E&xit") << "separators are not counted";
  EXPECT_EQ(w.menu[(std::vector<int>{2, 1})], u"&Copy") << "the second top-level menu after a separator";
  EXPECT_EQ(w.menu.size(), 3u);
}

}  // namespace
}  // namespace kestrova

namespace kestrova {
namespace {

TEST_F(LanguageFiles, StartupReadsSettingsThenLanguageAndWritesBackAtExit) {
  fs::create_directories(dir / "app" / "language");
  fs::create_directories(dir / "settings");
  std::ofstream(dir / "app" / "language" / "Polski.lng") << "[EXT_STRINGS]\nszNotAvailable=b.d.\n";
  std::ofstream(dir / "settings" / "Kestrova.cfg") << "[MAIN]\nLANGUAGE=Polski\n[COLORS]\nSPECIAL=#010203\n";
  UserRegistry registry((dir / "registry").string());
  registry.Write("sp", (dir / "settings").string());
  ShellState s = StartShell((dir / "app").string(), registry, 0x000000);
  EXPECT_EQ(s.title, u"Kestrova 3.8.6.1");
  EXPECT_EQ(s.language.name, u"Polski");
  EXPECT_EQ(Text(StringId::NotAvailable), u"b.d.");
  EXPECT_EQ(s.settings.colours[6], 0x030201u);
  s.settings.colours[0] = 0x111111;
  ASSERT_TRUE(FinishShell(s));
  const AppSettings back = LoadAppSettings(s.folders.SettingsFile(), 0, u"English");
  EXPECT_EQ(back.colours[0], 0x111111u);
  EXPECT_EQ(back.language, u"Polski");
}

}  // namespace
}  // namespace kestrova

namespace kestrova {
namespace {

TEST(StringTable, EverySlotHasAUniqueKeyAndAText) {
  std::set<std::pair<std::string_view, std::string_view>> keys;
  for (std::size_t i = 0; i < kStringCount; ++i) {
    const StringSlot& slot = Slot(static_cast<StringId>(i));
    EXPECT_FALSE(slot.english.empty()) << slot.key;
    EXPECT_TRUE(slot.section == "EXT_STRINGS" || slot.section.rfind("WINDOW_", 0) == 0) << slot.section;
    EXPECT_TRUE(keys.insert({slot.section, slot.key}).second) << slot.section << "/" << slot.key;
  }
  EXPECT_EQ(Text(StringId::CantLocalizeFat16), u"Sorry, can't localize FAT16 file system.");
  EXPECT_EQ(Text(StringId::MenuPauseScan), u"&Pause scan\tF10");
}

}  // namespace
}  // namespace kestrova
