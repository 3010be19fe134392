// Texts formatted on worker threads while the language changes.
#include "common/worker_thread.h"
#include "resources/strings.h"
#include "scan/virtual_folders.h"
#include "shell/localisation.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>

namespace kestrova {
namespace {

class LanguageSwitch : public test::TempDirTest {
 protected:
  LanguageSwitch() : TempDirTest("kestrova-lang-switch") {}
  void TearDown() override {
    ResetTexts();
    TempDirTest::TearDown();
  }
};

TEST_F(LanguageSwitch, WorkersFormatWholeTextsOfOneLanguageWhileItChanges) {
  WriteFile("Deutsch.lng", "[EXT_STRINGS]\nszLostFiles=Verlorene Dateien und Ordner aus dem Suchlauf\n"
                           "[WINDOW_PROPERTIES]\nszMonth3=M\xC3\xA4rz\n");
  const std::string folder = (dir / "").string();
  const std::u16string english = Text(StringId::LostFilesFolder), englishMonth = Text(StringId::Month3);
  const std::u16string german = u"Verlorene Dateien und Ordner aus dem Suchlauf", germanMonth = u"M\u00E4rz";

  constexpr int kWorkers = 3;
  std::atomic<int> torn{0}, mixed{0}, seenGerman{0};
  WorkerToken tokens[kWorkers];
  WorkerThread threads[kWorkers];
  for (int i = 0; i < kWorkers; ++i)
    threads[i].Start(tokens[i], [&](WorkerToken& t) {
      while (!t.StopRequested()) {
        // A copied text is whole: one language's or the other's.
        const std::u16string name = VirtualFolderName(kLostFilesMarker, u"");
        if (name != english && name != german) ++torn;
        if (name == german) ++seenGerman;
        // A snapshot is one language throughout, whatever is loaded meanwhile.
        const auto texts = CurrentTexts();
        const bool g1 = (*texts)[StringId::LostFilesFolder] == german;
        const bool g2 = (*texts)[StringId::Month3] == germanMonth;
        if (g1 != g2) ++mixed;
        t.AddDone(1);
      }
    });
  for (int round = 0; round < 200; ++round) {
    EXPECT_EQ(LoadLanguage(folder, round % 2 ? u"English" : u"Deutsch").name, round % 2 ? u"English" : u"Deutsch");
  }
  for (auto& t : tokens) t.RequestStop();
  for (auto& t : threads) t.Join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(mixed.load(), 0) << "a worker saw half a language";
  for (auto& t : tokens) EXPECT_GT(t.Progress().done, 0u);
  (void)seenGerman;
  // The last load (English) is what stays.
  EXPECT_EQ(Text(StringId::LostFilesFolder), english);
  EXPECT_EQ(Text(StringId::Month3), englishMonth);
}

}  // namespace
}  // namespace kestrova
