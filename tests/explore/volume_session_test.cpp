// The core's volume session over real images made at test time: what both
// front ends rely on. Every file of the manifest is found by its path, its
// rating recomputed from the volume equals the listed one, and a range read
// gives the same bytes as the recovery writer.
#include "explore/volume_session.h"

#include "common/text.h"
#include "support/recording_ui.h"
#include "support/sha256.h"
#include "support/tsv.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <map>

namespace kestrova {
namespace {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  const std::filesystem::path tmp = std::filesystem::temp_directory_path() / ("kestrova-range-" + std::to_string(::getpid()));
  std::ofstream(tmp, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  const std::string hash = test::Sha256Of(tmp.string());
  std::filesystem::remove(tmp);
  return hash;
}

TEST(VolumeSession, EveryManifestFileIsResolvedRatedAndReadThroughTheSession) {
  const std::string dir = KESTROVA_TEST_IMAGES_DIR;
  const auto rows = test::ReadTsv(dir + "/fatfiles.tsv", 5);
  if (rows.empty()) GTEST_SKIP() << "no fatfiles.tsv: run scripts/make-test-images.sh";
  std::map<std::string, std::vector<std::vector<std::string>>> byImage;
  for (const auto& r : rows) byImage[r[0]].push_back(r);
  for (const auto& [image, files] : byImage) {
    SCOPED_TRACE(image);
    test::RecordingUi ui;
    VolumeSession session(ui);
    ASSERT_EQ(session.OpenSource(dir + "/" + image + ".img"), SessionStatus::Ok);
    const SessionStatus mounted = session.rows().size() == 1 ? session.MountOnly() : session.MountRow(0);
    ASSERT_EQ(mounted, SessionStatus::Ok);
    WorkerToken token;
    session.CollectMft(token);
    FsReader& reader = session.volume();
    for (const auto& f : files) {
      SCOPED_TRACE(f[1]);
      // A deleted FAT short name has lost its first letter: the listing shows "?".
      std::optional<VolumePath> path = session.Resolve(f[1]);
      if (!path && f[3] != "existing") {
        std::string wanted = f[1];
        wanted[wanted.rfind('/') + 1] = '?';
        path = session.Resolve(wanted);
      }
      ASSERT_TRUE(path.has_value());
      ASSERT_FALSE(path->IsFolder());
      const ScanEntry& e = path->entry->entry;
      EXPECT_EQ(e.size, std::stoull(f[2]));
      EXPECT_EQ(reader.Rate(e), e.rating) << "the rating computed again agrees with the listing";
      if (f[3] != "existing" && e.rating < rating::kIntact) continue;  // partly reused: no exact bytes to expect
      if (e.size > (4u << 20)) continue;
      const std::vector<std::uint8_t> whole = reader.ReadRange(e, 0, e.size);
      EXPECT_EQ(Hex(whole), f[4]) << "the range read gives the file";
      if (e.size > 10) {
        const std::vector<std::uint8_t> middle = reader.ReadRange(e, 3, e.size - 5);
        ASSERT_EQ(middle.size(), e.size - 5);
        EXPECT_TRUE(std::equal(middle.begin(), middle.end(), whole.begin() + 3));
      }
    }
  }
}

TEST(VolumeSession, SourcesThatAreNotVolumesGiveTheirStatus) {
  test::RecordingUi ui;
  VolumeSession session(ui);
  EXPECT_EQ(session.OpenSource("/nonexistent/kestrova.img"), SessionStatus::Missing);
  EXPECT_EQ(session.OpenSource(std::filesystem::temp_directory_path().string()), SessionStatus::IsFolder);
  EXPECT_FALSE(session.mounted());
  EXPECT_FALSE(session.Resolve("/").has_value());
}

}  // namespace
}  // namespace kestrova
