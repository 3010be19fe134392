// The free-space scan over the shared carving image: the deleted files of its
// manifest are found where they start (as RAW files, or as entries the scan
// or the folders reach), and the counts per type are printed beside
// PhotoRec's for the same image; the RAW finds read back byte-exact are
// counted against the manifest's checksums.
#include "explore/volume_session.h"
#include "support/fixtures.h"
#include "support/recording_ui.h"
#include "support/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>

namespace kestrova {
namespace {

struct Deleted {
  std::string path, type;
  std::uint64_t size = 0, firstSector = 0;
  std::string photorec;  // PhotoRec's result for the file: exact, longer, ...
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
    if (f.size() >= 4) rows.push_back({f[0], f[1], std::stoull(f[2]), std::stoull(f[3]), f.size() > 4 ? f[4] : ""});
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
  EXPECT_GE(found, std::size_t{46});

  // Byte-exact: each deleted file of the manifest whose data is intact, read
  // through the volume from the RAW find that starts at its first sector.
  std::map<std::uint64_t, ScanEntry> rawAt;
  {
    EntryList& raw = session.lists().raw;
    std::scoped_lock g(raw.lock);
    for (std::size_t i = 0; i < raw.size(); ++i) rawAt.emplace(raw.at(i).RawFirstSector(), raw.at(i));
  }
  const test::Json manifest = test::Json::Parse(test::Slurp(dir / "carve.json"));
  const std::string scratch = testing::TempDir() + "carve-exact.bin";
  std::size_t intact = 0, exact = 0;
  std::map<std::string, std::pair<int, int>> exactByType;  // exact, intact
  for (const test::Json& f : manifest["files"].a) {
    if (f["state"].s != "deleted" || f["data"].s != "intact") continue;
    ++intact;
    auto& t = exactByType[f["type"].s];
    ++t.second;
    const auto it = rawAt.find(static_cast<std::uint64_t>(f["first_sector"].n));
    if (it == rawAt.end() || it->second.size != static_cast<std::uint64_t>(f["size"].n)) continue;
    ScanEntry entry = it->second;
    const std::vector<std::uint8_t> data = session.volume().ReadRange(entry, 0, entry.size);
    std::ofstream(scratch, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (data.size() == entry.size && test::Sha256Of(scratch) == f["sha256"].s) {
      ++exact;
      ++t.first;
    }
  }
  std::string perType;
  for (const auto& [type, n] : exactByType)
    perType += type + " " + std::to_string(n.first) + "/" + std::to_string(n.second) + ", ";
  std::printf("[ carve ] RAW finds byte-exact: %zu of %zu deleted files with intact data (%s)\n", exact, intact,
              perType.c_str());
  const auto peerExact = std::count_if(deleted.begin(), deleted.end(), [](const Deleted& d) { return d.photorec == "exact"; });
  std::printf("[ carve ] PhotoRec byte-exact: %td of %zu deleted files\n", peerExact, deleted.size());
  // The floor when the measures landed: a drop means a measure lost a byte.
  EXPECT_GE(exact, std::size_t{44});
}

}  // namespace
}  // namespace kestrova
