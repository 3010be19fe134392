#include "shell/folders.h"
#include "common/reallocate.h"
#include "common/text.h"
#include "support/recording_ui.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace kestrova {
namespace {

namespace fs = std::filesystem;

class FolderTest : public test::TempDirTest {
 protected:
  FolderTest() : TempDirTest("kestrova-folders") {}

  // The block device that holds the test folder, as if it had been opened for recovery.
  SourceIdentity DeviceOfTestFolder() const {
    struct stat st {};
    ::stat(dir.c_str(), &st);
    SourceIdentity id;
    id.known = true;
    id.isBlock = true;
    id.rdev = st.st_dev;
    id.wholeDisk = WholeDiskOf(st.st_dev);
    return id;
  }
};

TEST_F(FolderTest, RegistryValuesPersistAndEmptyReadsAsAbsent) {
  const std::string file = P("cfg/kestrova/registry");
  {
    UserRegistry r(file);
    EXPECT_TRUE(fs::exists(file)) << "opening creates the store";
    EXPECT_FALSE(r.Read("sp"));
    ASSERT_TRUE(r.Write("sp", P("settings/")));
    ASSERT_TRUE(r.Write("tp", ""));
  }
  UserRegistry again(file);
  EXPECT_EQ(again.Read("sp"), P("settings/"));
  EXPECT_FALSE(again.Read("tp"));
}

TEST_F(FolderTest, StartupFoldersComeFromTheRegistryOrDefaults) {
  fs::create_directories(P("app"));
  fs::create_directories(P("mysettings"));
  UserRegistry r(P("registry"));
  r.Write("sp", P("mysettings"));
  r.Write("tp", P("gone"));  // no longer exists: unset
  const AppFolders f = ResolveFolders(P("app"), r);
  EXPECT_EQ(f.application, P("app/"));
  EXPECT_EQ(f.settings, P("mysettings/"));
  EXPECT_EQ(f.SettingsFile(), P("mysettings/Kestrova.cfg"));
  EXPECT_EQ(f.temp, P("app/Temp/"));
  EXPECT_TRUE(fs::is_directory(f.temp)) << "the default temporary folder is created";
  EXPECT_EQ(f.reports, P("app/reports/"));
  EXPECT_EQ(f.language, P("app/language/"));
}

TEST_F(FolderTest, DialogChecksInOrder) {
  const SourceIdentity elsewhere;  // nothing opened
  FolderCheck c = CheckConfigFolder(FolderKind::Settings, "relative/path", elsewhere);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.message, StringId::PleaseEnterFullPathSettings);
  EXPECT_EQ(c.caption, StringId::Caption);

  c = CheckConfigFolder(FolderKind::Temporary, P("deep/er/temp"), elsewhere);
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(c.stored, P("deep/er/temp/"));
  EXPECT_TRUE(fs::is_directory(P("deep/er/temp"))) << "created with its parents";
  EXPECT_FALSE(fs::exists(P("deep/er/temp/y.dat"))) << "the probe file is removed";

  c = CheckConfigFolder(FolderKind::Temporary, P("temp2"), DeviceOfTestFolder());
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.message, StringId::TemporaryFolderOnOpenedDrive);
  EXPECT_EQ(c.caption, StringId::CaptionOverwriteProtection);
  EXPECT_FALSE(fs::exists(P("temp2"))) << "refused before anything is created";

  c = CheckConfigFolder(FolderKind::Settings, "/proc/kestrova-cannot-exist", elsewhere);
  EXPECT_EQ(c.message, StringId::CantCreateAccessFolderSettings);
  EXPECT_EQ(c.caption, StringId::FolderAccessProblem);
  c = CheckConfigFolder(FolderKind::Settings, "/sys/kernel", elsewhere);
  EXPECT_EQ(c.message, StringId::AccessDeniedFolderSettings) << "exists but takes no files";
  EXPECT_EQ(c.caption, StringId::PermissionsProblem);

  EXPECT_TRUE(CheckConfigFolder(FolderKind::Settings, "", elsewhere).ok) << "an empty field stores an empty value";
}

TEST_F(FolderTest, RefusedFolderIsNotStoredAndOpenedDeviceBlocksBothFolders) {
  test::RecordingUi ui;
  UserRegistry r(P("registry"));
  EXPECT_FALSE(ApplyConfigFolder(FolderKind::Temporary, P("t"), DeviceOfTestFolder(), r, ui));
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, ToUtf8(Text(StringId::TemporaryFolderOnOpenedDrive)));
  EXPECT_FALSE(r.Read("tp"));
  EXPECT_TRUE(ApplyConfigFolder(FolderKind::Temporary, P("t"), SourceIdentity{}, r, ui));
  EXPECT_EQ(r.Read("tp"), P("t/"));

  AppFolders f;
  f.temp = P("t/");
  f.settings = P("s/");
  ui.boxes.clear();
  ProtectFolders(f, DeviceOfTestFolder(), ui);
  EXPECT_TRUE(f.temp.empty());
  EXPECT_TRUE(f.settings.empty());
  ASSERT_EQ(ui.boxes.size(), 2u);
  EXPECT_EQ(ui.boxes[0].text, ToUtf8(Text(StringId::BlockingTemporary)));
  EXPECT_EQ(ui.boxes[1].text, ToUtf8(Text(StringId::BlockingSettings)));
  EXPECT_EQ(ui.boxes[0].icon, MsgIcon::Warning);
}

TEST_F(FolderTest, ImageSourceProtectsTheImageItself) {
  const std::string image = P("disk.img");
  std::ofstream(image) << "x";
  const SourceIdentity id = IdentityOfSource(image);
  ASSERT_TRUE(id.known);
  EXPECT_FALSE(id.isBlock);
  EXPECT_TRUE(PathIsOnSource(image, id));
  EXPECT_FALSE(PathIsOnSource(P("other"), id)) << "the image's file system is not the image";
  EXPECT_FALSE(IdentityOfSource(P("missing")).known);
}

TEST(ReallocateTest, ModesAndFailures) {
  test::RecordingUi ui;
  std::vector<std::uint8_t> block{1, 2, 3};
  ASSERT_TRUE(Reallocate(block, 5, ReallocMode::Keep, &ui));
  EXPECT_EQ(block, (std::vector<std::uint8_t>{1, 2, 3, 0, 0}));
  ASSERT_TRUE(Reallocate(block, 4, ReallocMode::Discard, &ui));
  EXPECT_EQ(block, (std::vector<std::uint8_t>(4, 0))) << "P2 drops the old contents";
  ASSERT_TRUE(Reallocate(block, 0, ReallocMode::Keep, &ui));
  EXPECT_TRUE(block.empty());
  EXPECT_FALSE(Reallocate(block, 100, ReallocMode::Discard, &ui, 50));
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, ToUtf8(Text(StringId::MemoryFresh)));
  EXPECT_EQ(ui.boxes[0].caption, "Kestrova");
}

}  // namespace
}  // namespace kestrova
