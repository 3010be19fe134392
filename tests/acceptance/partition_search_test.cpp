// The partition search over the shared fixtures: the disk whose MBR was
// wiped and the disk with a deleted partition give back every volume of
// their manifests, at its start, with its file system and label, in deep and
// fast mode, each volume once.
#include "common/text.h"
#include "explore/partition_finder.h"
#include "support/fixtures.h"
#include "support/recording_ui.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>

namespace kestrova {
namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

TEST(PartitionSearchFixtures, WipedAndLostPartitionDisksGiveBackEveryVolume) {
  SKIP_WITHOUT_FIXTURES();
  int disks = 0;
  test::ForEachFixture([&](const test::Json& m, const std::string& image) {
    const std::string name = m["name"].s;
    if (name != "mbr-wiped" && name != "mbr-lostpart") return;
    ++disks;
    for (SearchMode mode : {SearchMode::Deep, SearchMode::Fast}) {
      SCOPED_TRACE(mode == SearchMode::Deep ? "deep" : "fast");
      test::RecordingUi ui;
      PartitionFinder finder(ui);
      ASSERT_EQ(finder.Open(image), SessionStatus::Ok);
      ASSERT_TRUE(finder.Start(mode, 0));
      finder.Wait();
      std::map<std::uint64_t, FoundVolume> byStart;
      for (const FoundVolume& f : finder.Found())
        if (!IsForcedWholeDrive(f.entry)) {
          EXPECT_TRUE(byStart.emplace(std::uint64_t{f.entry.start}, f).second) << "listed twice";
        }
      for (const test::Json& p : m["partitions"].a) {
        if (p["fs"].s == "EXTENDED") continue;
        const auto start = static_cast<std::uint64_t>(p["start_sector"].n);
        SCOPED_TRACE(p["label"].s);
        ASSERT_TRUE(byStart.count(start)) << "no volume found at " << start;
        const FoundVolume& f = byStart.at(start);
        const std::string fs = Upper(ToUtf8(EntryFsName(f.entry)));
        // Identification names ext volumes by their features ("Ext", "Ext3").
        EXPECT_EQ(fs.substr(0, 3), Upper(p["fs"].s).substr(0, 3));
        EXPECT_EQ(ToUtf8(EntryLabel(f.entry)), p["label"].s);
        EXPECT_FALSE(f.damaged);
        // The table of the wiped disk lists nothing; the other one lacks only
        // the deleted entry.
        const bool inTable = name == "mbr-lostpart" && !(p.Has("in_table") && !p["in_table"].b);
        EXPECT_EQ(f.status, inTable ? PartitionStatus::Ok : PartitionStatus::Lost);
      }
      EXPECT_EQ(byStart.size(), m["partitions"].a.size() - 1);  // the extended container is no volume
    }
  });
  EXPECT_EQ(disks, 2) << "mbr-wiped or mbr-lostpart missing from the fixtures";
}

}  // namespace
}  // namespace kestrova
