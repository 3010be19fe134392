// The free-space scan over the shared carving image: the deleted files of its
// manifest are found where they start (as RAW files, or as entries the scan
// or the folders reach), and the counts per type are printed beside
// PhotoRec's for the same image.
#include "explore/volume_session.h"
#include "support/fixtures.h"
#include "support/recording_ui.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>

namespace kestrova {
namespace {

struct Deleted {
  std::string path, type;
  std::uint64_t size = 0, firstSector = 0;
};

// The per-file table of the PhotoRec baseline: path, type, size, first sector, result.
std::vector<Deleted> ReadBaseline(const std::string& text, std::string& photorecCounts) {
  std::vector<Deleted> rows;
  std::istringstream in(text);
  std::string line;
  bool table = false;
  while (std::getline(in, line)) {
    if (line.rfind("recovered by extension:", 0) == 0) photorecCounts = line.substr(24);
    if (line.rfind("## per deleted file", 0) == 0) {
      table = true;
      continue;
    }
    if (!table || line.empty() || line[0] != '/') continue;
    std::vector<std::string> f;
    std::istringstream cols(line);
    for (std::string c; std::getline(cols, c, '\t');) f.push_back(c);
    if (f.size() >= 4) rows.push_back({f[0], f[1], std::stoull(f[2]), std::stoull(f[3])});
  }
  return rows;
}

TEST(CarveScan, DeletedFilesAreFoundWhereTheyStart) {
  SKIP_WITHOUT_FIXTURES();
  const std::filesystem::path dir = KESTROVA_FIXTURES_DIR;
  if (!std::filesystem::exists(dir / "carve.img.gz")) GTEST_SKIP() << "no carve image";
  const std::string image = test::Unpacked(dir / "carve.img.gz");
  ASSERT_FALSE(image.empty());
  std::string photorec;
  const auto deleted = ReadBaseline(test::Slurp(dir / "carve.photorec.txt"), photorec);
  ASSERT_FALSE(deleted.empty());

  test::RecordingUi ui;
  VolumeSession session(ui);
  ASSERT_EQ(session.OpenSource(image), SessionStatus::Ok);
  ASSERT_EQ(session.MountOnly(), SessionStatus::Ok);
  auto scan = session.StartScan({});
  ASSERT_TRUE(scan);
  const ScanResult result = scan->Wait();
  EXPECT_EQ(result.end, ScanEnd::Finished);
  const ScanSnapshot snapshot = scan->Snapshot();

  // First sectors of every RAW find (volume-relative; the volume starts at sector 0).
  std::set<std::uint64_t> starts;
  {
    EntryList& raw = session.lists().raw;
    std::scoped_lock g(raw.lock);
    for (std::size_t i = 0; i < raw.size(); ++i) starts.insert(raw.at(i).RawFirstSector());
  }
  std::size_t found = 0;
  std::map<std::string, std::pair<int, int>> byType;  // found, all
  for (const Deleted& d : deleted) {
    const bool hit = starts.count(d.firstSector) != 0;
    found += hit;
    auto& t = byType[d.type];
    t.first += hit;
    ++t.second;
  }
  std::string ours;
  for (const ScanTypeCount& t : snapshot.types) ours += t.folder + " " + std::to_string(t.count) + ", ";
  std::printf("[ carve ] RAW files by type: %s(%llu in all)\n", ours.c_str(),
              static_cast<unsigned long long>(result.rawCount));
  std::printf("[ carve ] PhotoRec by extension: %s\n", photorec.c_str());
  std::string missed;
  for (const auto& [type, n] : byType)
    if (n.first < n.second) missed += type + " " + std::to_string(n.second - n.first) + ", ";
  std::printf("[ carve ] deleted files found at their first sector: %zu of %zu (missed: %s)\n", found,
              deleted.size(), missed.c_str());
  // The floor this scan reached when it was written: a drop means a header is missed again.
  EXPECT_GE(found, std::size_t{36});
}

}  // namespace
}  // namespace kestrova
