// A search while the free-space scan runs: the scan appends to the lists the
// search walks ("RAW files", "Lost files"); every search sees whole entries,
// never fewer than the one before, and the search after the scan sees all.
#include "common/text.h"
#include "common/worker_thread.h"
#include "fs/fat/fat_builder.h"
#include "fs/fat/fat_fs_reader.h"
#include "scanner/scan_driver.h"
#include "tools/search.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace kestrova::test {
namespace {

// A whole (tiny) JPEG, as the RAW scan measures and keeps it.
constexpr std::uint8_t kJpeg[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',  0x00, 0x01, 0x01, 0x00,
                                  0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0xFF, 0xDA, 0x00, 0x02, 0x11, 0x22, 0xFF, 0xD9};

struct Counts {
  std::size_t raw = 0, other = 0;
};

// Checks every result and counts the RAW finds.
Counts Check(const SearchResults& results) {
  Counts c;
  std::scoped_lock g(results.lock);
  for (const SearchResult& r : results.items) {
    if (r.found.entry.Kind() != EntryKind::Raw || r.folder != u"/RAW files/JPG/") {
      EXPECT_FALSE(r.found.name.empty());
      ++c.other;
      continue;
    }
    ++c.raw;
    EXPECT_EQ(r.found.name.size(), 13u) << ToUtf8(r.found.name);
    EXPECT_TRUE(r.found.name.ends_with(u".jpg")) << ToUtf8(r.found.name);
    const std::uint64_t size = r.found.entry.size;  // a packed field: copied before a reference binds to it
    EXPECT_EQ(size, sizeof kJpeg);
  }
  return c;
}

TEST(SearchDuringScan, SeesAGrowingConsistentListAndNeverCrashes) {
  // Every block of the scan a little slower, so that searches meet it half way.
  ::setenv("KESTROVA_TEST_SCAN_DELAY_MS", "20", 1);
  FatBuilder b{FsType::Fat32, 40000, 1, 320};
  b.Entry(2, 0, "KEEP    TXT", 0x20, 3, 5);
  b.Chain({3});
  std::memcpy(b.Cluster(3), "kept\n", 5);
  // A deleted file whose cluster the scan looks at while the search rates it.
  std::uint8_t* gone = b.Entry(2, 1, "GONE    TXT", 0x20, 50, 5);
  gone[0] = 0xE5;
  std::memcpy(b.Cluster(50), "gone\n", 5);
  constexpr std::uint32_t kFinds = 3000;
  for (std::uint32_t i = 0; i < kFinds; ++i) std::memcpy(b.Cluster(100 + i * 3), kJpeg, sizeof kJpeg);
  FatContext& ctx = b.Mount();
  FatFsReader reader(ctx);

  std::atomic<bool> ended{false};
  WorkerToken scanToken;
  WorkerThread scan(scanToken, [&](WorkerToken& token) {
    ScanDriver driver({b.mem->device, b.lists, b.ui, &ctx}, ScanOptions{});
    driver.Run(token);
    ended = true;
  });

  SearchRequest all;
  all.text = u"*";
  std::size_t searches = 0, before = 0, partial = 0;
  while (!ended.load()) {
    WorkerToken token;
    SearchResults results;
    const SearchEnd end = Search(reader, DisplayFilter{}, all, token, results);
    ASSERT_EQ(end, SearchEnd::Done);
    const Counts c = Check(results);
    EXPECT_GE(c.raw, before) << "the scan only appends";
    if (c.raw > 0 && c.raw < kFinds) ++partial;
    before = c.raw;
    ++searches;
  }
  scan.Join();

  WorkerToken token;
  SearchResults last;
  ASSERT_EQ(Search(reader, DisplayFilter{}, all, token, last), SearchEnd::Done);
  const Counts c = Check(last);
  EXPECT_EQ(c.raw, kFinds);
  EXPECT_GE(c.other, 2u) << "KEEP.TXT and the deleted ?ONE.TXT";
  EXPECT_GE(searches, 1u);
  EXPECT_GE(partial, 1u) << "no search met the scan half way (" << searches << " searches)";
}

}  // namespace
}  // namespace kestrova::test
