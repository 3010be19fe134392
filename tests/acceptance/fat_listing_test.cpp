// FAT, exFAT and NTFS volumes of the shared fixtures listed by "kestrova-cli ls -r --json":
// every file of the manifest whose directory entry still exists is listed with
// its path (deleted names with their first character lost) and exact size, its
// existing/deleted status agrees with the manifest, and it agrees with the
// listing of The Sleuth Kit kept beside each image.
#include "support/cli_run.h"
#include "support/fixtures.h"
#include "support/listing_match.h"

#include <gtest/gtest.h>

#include <map>

namespace kestrova {
namespace {

using test::FindListed;
using test::Json;

// A named NTFS data stream ("file:stream") is part of its file's record, not
// an entry of its own.
bool IsNamedStream(const std::string& path) { return path.find(':', path.rfind('/') + 1) != std::string::npos; }

// "r/r [*] inode:\tpath" lines of each "## fls ... -o START" section.
std::map<std::uint64_t, std::vector<std::pair<std::string, bool>>> OracleFiles(const std::string& text) {
  std::map<std::uint64_t, std::vector<std::pair<std::string, bool>>> out;
  std::istringstream in(text);
  std::string line;
  std::vector<std::pair<std::string, bool>>* current = nullptr;
  while (std::getline(in, line)) {
    if (line.rfind("## fls", 0) == 0) {
      current = &out[std::stoull(line.substr(line.find("-o ") + 3))];
      continue;
    }
    if (line.rfind("##", 0) == 0) current = nullptr;
    // NTFS marks a deleted file whose record is free "-/r".
    if (!current || (line.rfind("r/r", 0) != 0 && line.rfind("-/r", 0) != 0)) continue;
    const std::size_t tab = line.find(":\t");
    if (tab == std::string::npos) continue;
    const std::string path = line.substr(tab + 2);
    if (path.rfind("$", 0) == 0 || path.find("(Volume Label Entry)") != std::string::npos) continue;
    if (IsNamedStream(path)) continue;
    current->push_back({path, line.substr(0, tab).find('*') != std::string::npos});
  }
  return out;
}

TEST(FatListing, FixtureVolumesMatchTheirManifestsAndTheOracle) {
  SKIP_WITHOUT_FIXTURES();
  int volumes = 0;
  test::ForEachFixture([&](const Json& m, const std::string& image) {
    const Json parts = Json::Parse(test::Cli("partitions " + test::Quoted(image) + " --json").out);
    const auto oracle = OracleFiles(test::Slurp(std::string(KESTROVA_FIXTURES_DIR) + "/" + m["name"].s + ".fls.txt"));
    for (const Json& p : m["partitions"].a) {
      if (p["fs"].s.rfind("FAT", 0) != 0 && p["fs"].s != "exFAT" && p["fs"].s != "NTFS") continue;
      const auto start = static_cast<std::uint64_t>(p["start_sector"].n);
      SCOPED_TRACE("volume at " + std::to_string(start));
      int index = 0;
      for (const Json& row : parts.a)
        if (static_cast<std::uint64_t>(row["start"].n) == start) index = static_cast<int>(row["index"].n);
      if (index == 0) continue;  // in no table (a wiped MBR): found by the partition search, not listed
      const test::CliRun ls =
          test::Cli("ls " + test::Quoted(image) + " --partition " + std::to_string(index) + " -r --json");
      ASSERT_EQ(ls.code, 0);
      const Json listed = Json::Parse(ls.out);
      ++volumes;
      const int manifestIndex = m["scheme"].s == "none" ? 0 : static_cast<int>(p["index"].n);
      for (const Json& f : m["files"].a) {
        if (static_cast<int>(f["partition"].n) != manifestIndex) continue;
        // A file whose directory entry was taken over by another has nothing left to list.
        if (f.Has("entry") && f["entry"].s == "reused") continue;
        if (IsNamedStream(f["path"].s)) continue;
        SCOPED_TRACE(f["path"].s);
        const Json* l = FindListed(listed, f["path"].s);
        ASSERT_NE(l, nullptr) << "not listed";
        EXPECT_EQ(static_cast<std::uint64_t>((*l)["size"].n), static_cast<std::uint64_t>(f["size"].n));
        EXPECT_EQ((*l)["status"].s == "existing", f["state"].s == "existing") << (*l)["status"].s;
        if (f["state"].s == "existing") {
          EXPECT_EQ((*l)["path"].s, f["path"].s);
        }
        if (p["fs"].s == "NTFS") {
          // Ratings: 200 a record in use, 100 deleted with every cluster still free, less when reused.
          const double rating = (*l)["ntfsRating"].n;
          if (f["state"].s == "existing") {
            EXPECT_EQ(rating, 200);
          } else if (f["data"].s == "intact") {
            EXPECT_EQ(rating, 100);
          } else {
            EXPECT_LT(rating, 100);
            EXPECT_EQ((*l)["status"].s, "overwritten");
          }
        }
      }
      const auto it = oracle.find(start);
      ASSERT_NE(it, oracle.end()) << "no oracle listing";
      for (const auto& [path, deleted] : it->second) {
        SCOPED_TRACE("oracle: " + path);
        const Json* l = FindListed(listed, path);
        ASSERT_NE(l, nullptr) << "listed by the oracle only";
        EXPECT_EQ((*l)["status"].s != "existing", deleted);
      }
    }
  });
  EXPECT_GT(volumes, 0);
}

}  // namespace
}  // namespace kestrova
