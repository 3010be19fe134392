#include "session/session_file.h"

#include "common/le.h"
#include "session/compressed_blocks.h"
#include "session/quicklz.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrova::session {
namespace {

namespace fs = std::filesystem;
using Buffer = std::vector<std::uint8_t>;

fs::path TempDir() {
  const fs::path dir = fs::temp_directory_path() / ("kvs_test_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  return dir;
}

Buffer ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Buffer((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}


ScanEntry Entry(std::uint32_t i, std::uint32_t nameHandle) {
  ScanEntry e = MakeScanEntry();
  e.name = nameHandle;
  e.size = 1000 + i * 7;
  e.SetFirstCluster(100 + i);
  e.SetFolderCluster(i % 13);
  e.rating = static_cast<std::uint8_t>(i % 250);
  e.SetFileTime(0x01D0000000000000ull + i);
  e.SetKind(i % 5 == 0 ? EntryKind::Raw : EntryKind::Ordinary);
  return e;
}

// Lists with every kind of name handle: a name, none (0), generated (1).
struct Fixture {
  ResultLists lists;
  std::vector<std::uint8_t> amap;
  SessionHistories histories;

  explicit Fixture(std::size_t lost = 50, std::size_t nameLength = 8) {
    lists.Reset();
    for (std::uint32_t i = 0; i < lost; ++i) {
      const std::u16string name = u"file" + std::u16string(nameLength, static_cast<char16_t>(u'a' + i % 26)) +
                                  u"_\u00e9\u4e2d" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10));
      if (i % 7 == 3) {
        lists.lost.Add(Entry(i, kNoName));
      } else if (i % 7 == 5) {
        lists.lost.Add(Entry(i, kGeneratedName));
      } else {
        lists.lost.Add(Entry(i, kNoName), &name);
      }
    }
    const std::u16string raw = u"raw name";
    lists.raw.Add(Entry(1, kGeneratedName));  // the first takes no string
    lists.raw.Add(Entry(2, kNoName), &raw);
    lists.rebuild.Add(Entry(3, kNoName));
    for (std::uint32_t i = 0; i < 9; ++i) {
      DeletedEntryNote note{static_cast<std::uint16_t>(i), 0, i * 3, i * 32, 2};
      lists.AddNote(note);
    }
    amap.resize(4096);
    for (std::size_t i = 0; i < amap.size(); ++i) amap[i] = static_cast<std::uint8_t>(i % 5 ? 0x11 : 0x31);
    histories.mainSearch = {u"*.jpg", u"report"};
    histories.savePaths = {u"/mnt/backup/out"};
  }
};

void ExpectSameList(const EntryList& a, const EntryList& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    ScanEntry x = a.at(i), y = b.at(i);
    const std::u16string* nx = a.NameOf(x);
    const std::u16string* ny = b.NameOf(y);
    ASSERT_EQ(nx == nullptr, ny == nullptr) << "entry " << i;
    if (nx) {
      EXPECT_EQ(*nx, *ny) << "entry " << i;
    }
    if (x.name <= kGeneratedName) {
      EXPECT_EQ(x.name, y.name) << "entry " << i;  // 0 and 1 keep their meaning
    }
    x.name = y.name = 0;
    EXPECT_EQ(std::memcmp(&x, &y, sizeof x), 0) << "entry " << i;
  }
}

void ExpectSame(const ResultLists& a, const ResultLists& b) {
  ASSERT_EQ(a.deleted.used(), b.deleted.used());
  EXPECT_TRUE(std::equal(a.deleted.bytes().begin(), a.deleted.bytes().end(), b.deleted.bytes().begin()));
  ExpectSameList(a.lost, b.lost);
  ExpectSameList(a.raw, b.raw);
  ExpectSameList(a.rebuild, b.rebuild);
}

SessionLoadLimits AnyMap() {
  SessionLoadLimits limits;
  limits.amapBytes = SessionLoadLimits::kAnyMap;
  return limits;
}

class SessionFileTest : public ::testing::Test {
 protected:
  fs::path dir = TempDir();
  fs::path file = dir / "scan.kvs";
  void TearDown() override { fs::remove_all(dir); }

  SessionSaveResult Save(const Fixture& f, SessionTrailer& t) {
    return SaveSessionFile(file, f.lists, f.amap, f.histories, t);
  }
};

TEST_F(SessionFileTest, RoundTripKeepsEveryRecordNameMapAndHistory) {
  Fixture f;
  auto trailer = MakeTrailer();
  trailer->scan.cluster = 1234;
  trailer->scan.clustersDone = 0x1234567800000042ull;
  trailer->paused = 1;
  trailer->stateWord = 77;
  SetTrailerText(trailer->imagePath, u"/images/disk.img");
  std::vector<SessionStage> stages;
  const auto saved = SaveSessionFile(file, f.lists, f.amap, f.histories, *trailer,
                                     [&](SessionStage s) { stages.push_back(s); });
  ASSERT_TRUE(saved.ok) << saved.error;
  EXPECT_EQ(fs::file_size(file), saved.fileSize);
  EXPECT_GE(saved.fileSize, kTrailerSize);

  LoadedSession loaded;
  const auto r = LoadSessionFile(file, AnyMap(), loaded);
  ASSERT_TRUE(r.ok()) << r.error;
  ExpectSame(f.lists, *loaded.lists);
  EXPECT_EQ(loaded.amap, f.amap);
  EXPECT_EQ(loaded.histories.mainSearch, f.histories.mainSearch);
  EXPECT_TRUE(loaded.histories.advancedSearch.empty());
  EXPECT_EQ(loaded.histories.savePaths, f.histories.savePaths);
  EXPECT_EQ(+loaded.trailer->scan.cluster, 1234u);
  EXPECT_EQ(+loaded.trailer->scan.clustersDone, 0x42u);  // high half reset on load
  EXPECT_EQ(+loaded.trailer->paused, 1u);
  EXPECT_EQ(+loaded.trailer->stateWord, 77u);
  EXPECT_EQ(+loaded.trailer->formatWord, kFormatWord);
  EXPECT_EQ(TrailerText(loaded.trailer->imagePath), u"/images/disk.img");
  // Blocks back to back from offset 0 in the order of the format.
  const SessionTrailer& t = *loaded.trailer;
  EXPECT_EQ(t.fil.offset, 0u);
  std::uint32_t at = 0;
  for (const BlockRef* b : {&t.fil, &t.lostFil, &t.rebuildFil, &t.rawFil, &t.amap, &t.lostStrings, &t.rawStrings,
                            &t.rebuildStrings, &t.historyMain, &t.historyAdvanced, &t.savePaths}) {
    if (b->storedSize == 0) continue;
    EXPECT_EQ(b->offset, at);
    at += b->storedSize;
  }
  EXPECT_EQ(at + kTrailerSize, saved.fileSize);
  EXPECT_EQ(t.reservedRef.rawSize, 0u);
  EXPECT_EQ(stages.front(), SessionStage::SavingDeleted);
  EXPECT_EQ(stages.back(), SessionStage::Finalizing);
}

TEST_F(SessionFileTest, EmptySessionHasOnlyHistoriesAndTrailer) {
  ResultLists lists;
  lists.Reset();
  auto trailer = MakeTrailer();
  ASSERT_TRUE(SaveSessionFile(file, lists, {}, {}, *trailer).ok);
  const Buffer bytes = ReadAll(file);
  SessionTrailer t;
  std::memcpy(&t, bytes.data() + bytes.size() - kTrailerSize, kTrailerSize);
  for (const BlockRef* b : {&t.fil, &t.lostFil, &t.rebuildFil, &t.rawFil, &t.amap, &t.lostStrings, &t.rawStrings,
                            &t.rebuildStrings}) {
    EXPECT_EQ(b->rawSize, 0u);
    EXPECT_EQ(b->offset, 0u);
    EXPECT_EQ(b->storedSize, 0u);
  }
  for (const BlockRef* b : {&t.historyMain, &t.historyAdvanced, &t.savePaths}) EXPECT_EQ(b->rawSize, 1u);
  EXPECT_EQ(bytes.size(), t.historyMain.storedSize + t.historyAdvanced.storedSize + t.savePaths.storedSize + kTrailerSize);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data() + bytes.size() - kTrailerSize), 4), "KVSS");
  LoadedSession loaded;
  ASSERT_TRUE(LoadSessionFile(file, AnyMap(), loaded).ok());
  EXPECT_EQ(loaded.lists->lost.size(), 0u);
}

// Above 10 MiB a list is stored as 5 MiB pieces with length prefixes; a name
// block flushes a chunk past 1 MiB and ends with a zero.
TEST_F(SessionFileTest, LargeListsUsePiecesAndLargeNameBlocksUseChunks) {
  const std::size_t entries = (0xA00000 / sizeof(ScanEntry)) + 500;  // just over 10 MiB
  Fixture f(entries, 4);
  ASSERT_GT(f.lists.lost.records.used(), 0xA00000u);
  auto trailer = MakeTrailer();
  ASSERT_TRUE(Save(f, *trailer).ok);
  const Buffer bytes = ReadAll(file);
  const BlockRef lost = trailer->lostFil;
  EXPECT_EQ(lost.rawSize, f.lists.lost.records.used());
  // Three pieces: 5 MiB, 5 MiB, the rest; each prefix equals its packet's size.
  std::size_t at = lost.offset;
  std::size_t pieces = 0;
  while (at < lost.offset + lost.storedSize) {
    const std::uint32_t length = LoadLe32(bytes, at);
    const auto sizes = qlz::PeekSizes(std::span(bytes).subspan(at + 4));
    ASSERT_TRUE(sizes);
    EXPECT_EQ(sizes->packetSize, length);
    EXPECT_EQ(sizes->dataSize, pieces < 2 ? 0x500000u : lost.rawSize - 2 * 0x500000u);
    at += 4 + length;
    ++pieces;
  }
  EXPECT_EQ(pieces, 3u);
  // The names of the lost list run past 1 MiB: more than one chunk, then a zero.
  const BlockRef names = trailer->lostStrings;
  EXPECT_GT(names.rawSize, 0x100000u);
  std::size_t chunks = 0;
  at = names.offset;
  while (LoadLe32(bytes, at) != 0) {
    at += 4 + LoadLe32(bytes, at);
    ++chunks;
  }
  EXPECT_GE(chunks, 2u);
  EXPECT_EQ(at + 4, names.offset + names.storedSize);

  LoadedSession loaded;
  const auto r = LoadSessionFile(file, AnyMap(), loaded);
  ASSERT_TRUE(r.ok()) << r.error;
  ExpectSame(f.lists, *loaded.lists);
}

TEST_F(SessionFileTest, ExactlyTenMibIsOnePacket) {
  ResultLists lists;
  lists.Reset();
  // 0xA00000 is not a whole number of 68-byte records; the notes list (13
  // bytes) is not either, so the edge is checked at the block layer.
  Buffer raw(0xA00000, 7);
  const Buffer one = EncodePlainBlock(raw);
  EXPECT_EQ(qlz::PeekSizes(one)->dataSize, 0xA00000u);
  raw.push_back(1);
  const Buffer three = EncodePlainBlock(raw);
  EXPECT_EQ(LoadLe32(three, 0), qlz::PeekSizes(std::span(three).subspan(4))->packetSize);
}

// Every way a file can lie is refused, and the loader hands out nothing.
TEST_F(SessionFileTest, CorruptFilesAreRefusedCleanly) {
  Fixture f;
  auto trailer = MakeTrailer();
  ASSERT_TRUE(Save(f, *trailer).ok);
  const Buffer good = ReadAll(file);
  const std::size_t trailerAt = good.size() - kTrailerSize;
  auto withTrailer = [&](auto change) {
    Buffer b = good;
    SessionTrailer t;
    std::memcpy(&t, b.data() + trailerAt, kTrailerSize);
    change(t);
    std::memcpy(b.data() + trailerAt, &t, kTrailerSize);
    return b;
  };
  struct Case {
    std::string name;
    Buffer bytes;
    SessionLoadStatus expected;
  };
  std::vector<Case> cases;
  cases.push_back({"bad magic", withTrailer([](SessionTrailer& t) { t.magic[0] = 'X'; }), SessionLoadStatus::BadTrailer});
  cases.push_back({"empty", {}, SessionLoadStatus::BadTrailer});
  cases.push_back({"offset beyond the file",
                   withTrailer([&](SessionTrailer& t) { t.lostFil.offset = static_cast<std::uint32_t>(trailerAt); }),
                   SessionLoadStatus::BadBlock});
  cases.push_back({"stored size beyond the file",
                   withTrailer([](SessionTrailer& t) { t.lostFil.storedSize = 0xFFFFFFF0u; }), SessionLoadStatus::BadBlock});
  cases.push_back({"raw size beyond what the block can hold",
                   withTrailer([](SessionTrailer& t) { t.lostFil.rawSize = 0xFFFFFF00u / 68 * 68; }),
                   SessionLoadStatus::BadBlock});
  cases.push_back({"raw size not whole records", withTrailer([](SessionTrailer& t) { t.lostFil.rawSize -= 1; }),
                   SessionLoadStatus::BadBlock});
  cases.push_back({"packet decodes short", withTrailer([](SessionTrailer& t) { t.lostFil.rawSize += 68; }),
                   SessionLoadStatus::BadBlock});
  cases.push_back({"names block decodes short", withTrailer([](SessionTrailer& t) { t.lostStrings.rawSize += 2; }),
                   SessionLoadStatus::BadBlock});
  cases.push_back({"names block missing", withTrailer([](SessionTrailer& t) { t.lostStrings = {0, 0, 0}; }),
                   SessionLoadStatus::BadBlock});
  cases.push_back({"block points at another block",
                   withTrailer([](SessionTrailer& t) { t.rawFil.offset = t.lostFil.offset; }), SessionLoadStatus::BadBlock});
  cases.push_back({"map of another size", withTrailer([](SessionTrailer& t) { t.amap.rawSize += 1; }),
                   SessionLoadStatus::BadBlock});
  cases.push_back({"absurd history", withTrailer([](SessionTrailer& t) { t.historyMain.rawSize = 0x7000000; }),
                   SessionLoadStatus::BadBlock});
  {
    Buffer b = good;  // a flipped byte inside the lost list's packet header
    b[trailer->lostFil.offset] = 0x99;
    cases.push_back({"bad packet header", b, SessionLoadStatus::BadBlock});
  }
  // Cut at every block boundary: with the trailer gone from the end...
  std::vector<std::uint32_t> bounds;
  for (const BlockRef* r : {&trailer->fil, &trailer->lostFil, &trailer->rebuildFil, &trailer->rawFil, &trailer->amap,
                            &trailer->lostStrings, &trailer->rawStrings, &trailer->rebuildStrings, &trailer->historyMain,
                            &trailer->historyAdvanced, &trailer->savePaths}) {
    if (r->rawSize == 0) continue;
    bounds.push_back(r->offset);
    bounds.push_back(r->offset + r->storedSize / 2);
  }
  for (std::uint32_t cut : bounds) {
    cases.push_back({"cut at " + std::to_string(cut), Buffer(good.begin(), good.begin() + cut), SessionLoadStatus::BadTrailer});
    // ...and with the blocks cut short but the trailer kept.
    Buffer kept(good.begin(), good.begin() + cut);
    kept.insert(kept.end(), good.begin() + static_cast<std::ptrdiff_t>(trailerAt), good.end());
    cases.push_back({"blocks cut at " + std::to_string(cut), kept, SessionLoadStatus::BadBlock});
  }
  cases.push_back({"trailer cut short", Buffer(good.begin(), good.end() - 1), SessionLoadStatus::BadTrailer});

  SessionLoadLimits limits;
  limits.amapBytes = f.amap.size();
  for (const Case& c : cases) {
    LoadedSession loaded;
    const auto r = LoadSessionBytes(c.bytes, limits, loaded);
    EXPECT_EQ(r.status, c.expected) << c.name << ": " << r.error;
    EXPECT_FALSE(loaded.lists) << c.name;
    EXPECT_FALSE(loaded.trailer) << c.name;
  }
  LoadedSession loaded;
  EXPECT_TRUE(LoadSessionBytes(good, limits, loaded).ok());
}

// A save that fails half way (here: the file-size limit, as a full disk
// would) leaves the previous session as it was and no temporary file.
TEST_F(SessionFileTest, FailedSaveKeepsThePreviousFile) {
  Fixture small;
  auto trailer = MakeTrailer();
  ASSERT_TRUE(Save(small, *trailer).ok);
  const Buffer before = ReadAll(file);
  Fixture large(40000, 30);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{200000, 200000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    auto t = MakeTrailer();
    const auto r = SaveSessionFile(file, large.lists, large.amap, large.histories, *t);
    ::_exit(r.ok ? 0 : 3);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(ReadAll(file), before);
  std::size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir)) files += e.is_regular_file();
  EXPECT_EQ(files, 1u);
}

TEST_F(SessionFileTest, NamesFewerThanEntriesAreRefused) {
  Fixture f;
  // One more named entry than the names the block will hold: its handle is
  // one the list never handed out.
  ScanEntry extra = Entry(999, 0);
  extra.name = 9999;
  f.lists.raw.records.AddBin(&extra, sizeof extra);
  auto trailer = MakeTrailer();
  ASSERT_TRUE(Save(f, *trailer).ok);
  // Saved with an empty name for the unknown handle: still loads, name "".
  LoadedSession loaded;
  ASSERT_TRUE(LoadSessionFile(file, AnyMap(), loaded).ok());
  const ScanEntry last = loaded.lists->raw.at(loaded.lists->raw.size() - 1);
  ASSERT_TRUE(loaded.lists->raw.NameOf(last));
  EXPECT_EQ(*loaded.lists->raw.NameOf(last), u"");
  // A rebuild record with a name whose block has been dropped from the trailer.
  Buffer bytes;
  SessionTrailer t;
  Fixture g;
  ScanEntry named = Entry(5, 0);
  named.name = 5;
  g.lists.rebuild.records.Recreate();
  g.lists.rebuild.records.AddBin(&named, sizeof named);
  ASSERT_TRUE(Save(g, *trailer).ok);
  bytes = ReadAll(file);
  std::memcpy(&t, bytes.data() + bytes.size() - kTrailerSize, kTrailerSize);
  ASSERT_GT(t.rebuildStrings.rawSize, 0u);
  t.rebuildStrings = {0, 0, 0};  // the rebuild record's name block is gone
  std::memcpy(bytes.data() + bytes.size() - kTrailerSize, &t, kTrailerSize);
  LoadedSession refused;
  EXPECT_EQ(LoadSessionBytes(bytes, AnyMap(), refused).status, SessionLoadStatus::BadBlock);
}


// A history takes a new text first, never twice, and drops its oldest texts
// so that the stored block stays within its 16 KiB.
TEST(SessionHistory, NewestFirstOnceAndWithinTheCapacity) {
  std::vector<std::u16string> h;
  EXPECT_TRUE(AddToHistory(h, u"a"));
  EXPECT_TRUE(AddToHistory(h, u"b"));
  EXPECT_FALSE(AddToHistory(h, u"a"));
  EXPECT_FALSE(AddToHistory(h, u""));
  EXPECT_EQ(h, (std::vector<std::u16string>{u"b", u"a"}));
  const std::u16string big(3000, u'x');  // 6002 bytes stored: two fit, a third pushes the oldest out
  std::vector<std::u16string> full;
  for (char16_t c : {u'1', u'2', u'3'}) EXPECT_TRUE(AddToHistory(full, std::u16string(1, c) + big));
  EXPECT_EQ(full.size(), 2u);
  EXPECT_EQ(full[0][0], u'3');
  EXPECT_EQ(full[1][0], u'2');
  std::size_t stored = 1;
  for (const auto& t : full) stored += 2 * (t.size() + 1);
  EXPECT_LE(stored, kHistoryCapacity);
  EXPECT_FALSE(AddToHistory(full, std::u16string(kHistoryCapacity / 2, u'y'))) << "one text larger than the block";
  EXPECT_EQ(full.size(), 2u);
}
}  // namespace
}  // namespace kestrova::session

namespace kestrova::session {
namespace {

// The explorer's navigation areas: what fits comes back through a file, what
// does not is cut at the format's bounds, and counts a file lies about are
// bounded on reading.
TEST(SessionNavigation, RoundTripThroughAFileAndBoundsOnBothSides) {
  const fs::path dir = TempDir() / "nav";
  fs::create_directories(dir);
  const fs::path file = dir / "nav.kvs";

  ExplorerNavigation nav;
  for (std::uint32_t i = 0; i < 20; ++i) {  // 4 past the drop-down's 16 slots
    NavPathItem item;
    item.folder = 1000 + i;
    for (std::uint32_t d = 0; d < (i == 3 ? 200u : i + 1); ++d) item.chain.push_back(d * 10 + i);
    item.text = u"/Lost files/\u00e9t\u00e9 " + std::u16string(1, static_cast<char16_t>(u'a' + i));
    nav.pathItems.push_back(item);
  }
  for (std::uint32_t d = 0; d < 40; ++d) nav.currentChain.push_back(500 + d);
  nav.currentDepth = 40;
  nav.favorites = {u"/a", u"", u"/RAW files/jpg"};
  for (int i = 0; i < 20; ++i) nav.favorites.push_back(std::u16string(900, static_cast<char16_t>(u'A' + i)));

  auto trailer = MakeTrailer();
  StoreNavigation(nav, *trailer);
  ResultLists lists;
  lists.Reset();
  ASSERT_TRUE(SaveSessionFile(file.string(), lists, {}, {}, *trailer).ok);
  LoadedSession loaded;
  ASSERT_TRUE(LoadSessionFile(file.string(), AnyMap(), loaded).ok());
  const ExplorerNavigation back = ReadNavigation(*loaded.trailer);

  ASSERT_EQ(back.pathItems.size(), kNavSlots);
  for (std::size_t i = 0; i < kNavSlots; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(back.pathItems[i].folder, nav.pathItems[i].folder);
    const std::size_t depth = std::min(nav.pathItems[i].chain.size(), kNavChainMax);
    EXPECT_EQ(back.pathItems[i].chain,
              std::vector<std::uint32_t>(nav.pathItems[i].chain.begin(), nav.pathItems[i].chain.begin() + depth));
    EXPECT_TRUE(back.pathItems[i].text.empty());  // written, not read back
    EXPECT_EQ(TrailerText(loaded.trailer->pathItems[i]), nav.pathItems[i].text);
  }
  EXPECT_EQ(back.currentDepth, 40u);
  EXPECT_EQ(back.currentChain, std::vector<std::uint32_t>(nav.currentChain.begin(), nav.currentChain.begin() + 16));
  ASSERT_EQ(back.favorites.size(), kFavoritesMax);
  EXPECT_EQ(back.favorites[0], u"/a");
  EXPECT_EQ(back.favorites[1], u"/RAW files/jpg");  // the empty one is not stored
  EXPECT_EQ(back.favorites[2], std::u16string(kFavoriteChars, u'A'));

  // A file that lies about its counts: nothing past the areas is read.
  loaded.trailer->pathItemCount = 0xFFFFFFFFu;
  loaded.trailer->slotChain[2].depth = 0x7FFFFFFFu;
  loaded.trailer->currentDepth = 0xFFFFFFFFu;
  std::memset(loaded.trailer->favorites, 0x41, sizeof loaded.trailer->favorites);  // no terminators at all
  const ExplorerNavigation hostile = ReadNavigation(*loaded.trailer);
  EXPECT_EQ(hostile.pathItems.size(), kNavSlots);
  EXPECT_EQ(hostile.pathItems[2].chain.size(), kNavChainMax);
  EXPECT_EQ(hostile.currentChain.size(), kNavCurrentKept);
  EXPECT_EQ(hostile.currentDepth, kNavChainMax);
  ASSERT_EQ(hostile.favorites.size(), kFavoritesMax);
  for (const auto& f : hostile.favorites) EXPECT_EQ(f.size(), kFavoriteChars);

  // A fresh trailer holds no navigation.
  const ExplorerNavigation none = ReadNavigation(*MakeTrailer());
  EXPECT_TRUE(none.pathItems.empty() && none.currentChain.empty() && none.favorites.empty());
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kestrova::session

namespace kestrova::session {
namespace {

// The records of the reserved tail: the drive settings and the scanner's
// pending state come back as saved, and a file that lies about them is
// refused before anything is allocated or replaced.
TEST(SessionTail, DriveSettingsAndPendingStateRoundTripAndAreChecked) {
  const fs::path dir = TempDir() / "tail";
  fs::create_directories(dir);
  const fs::path file = dir / "tail.kvs";
  Fixture f;
  auto trailer = MakeTrailer();
  DriveSettings settings;
  settings.damaged = true;
  settings.overrideFs = true;
  settings.fsChoice = 1;
  settings.clusterChoice = 5;
  settings.fatChoice = 1;
  settings.rawAnalyze = 1;
  settings.manualStart = 0x123456789ull;
  settings.manualCount = 77;
  StoreDriveSettings(settings, *trailer);
  Buffer state(5000);
  for (std::size_t i = 0; i < state.size(); ++i) state[i] = static_cast<std::uint8_t>(i * 31 / 7);
  ASSERT_TRUE(SaveSessionFile(file.string(), f.lists, f.amap, f.histories, *trailer, {}, state).ok);

  LoadedSession loaded;
  ASSERT_TRUE(LoadSessionFile(file.string(), AnyMap(), loaded).ok());
  ExpectSame(f.lists, *loaded.lists);
  EXPECT_EQ(loaded.scanState, state);
  DriveSettings back;
  ASSERT_TRUE(ReadDriveSettings(*loaded.trailer, back));
  EXPECT_TRUE(back.damaged && back.overrideFs && !back.reverse);
  EXPECT_EQ(back.fsChoice, 1);
  EXPECT_EQ(back.clusterChoice, 5);
  EXPECT_EQ(back.fatChoice, 1);
  EXPECT_EQ(back.rawAnalyze, 1);
  EXPECT_EQ(back.manualStart, 0x123456789ull);
  EXPECT_EQ(back.manualCount, 77u);
  // Saved again without a state: its reference and tag are gone.
  ASSERT_TRUE(SaveSessionFile(file.string(), f.lists, f.amap, f.histories, *loaded.trailer).ok);
  LoadedSession again;
  ASSERT_TRUE(LoadSessionFile(file.string(), AnyMap(), again).ok());
  EXPECT_TRUE(again.scanState.empty());
  // A trailer without the records: the defaults, no state.
  DriveSettings none;
  none.damaged = true;
  ASSERT_TRUE(ReadDriveSettings(*MakeTrailer(), none));
  EXPECT_FALSE(none.damaged);

  ASSERT_TRUE(SaveSessionFile(file.string(), f.lists, f.amap, f.histories, *trailer, {}, state).ok);
  const Buffer good = ReadAll(file);
  const std::size_t trailerAt = good.size() - kTrailerSize;
  auto withTail = [&](std::size_t at, auto change) {
    Buffer b = good;
    change(b.data() + trailerAt + offsetof(SessionTrailer, reservedEnd) + at);
    return b;
  };
  auto ref = [](std::uint8_t* p, std::uint32_t offset, std::uint32_t raw, std::uint32_t stored) {
    const BlockRef r{offset, raw, stored};
    std::memcpy(p + 4, &r, sizeof r);
  };
  struct Case {
    const char* name;
    Buffer bytes;
    SessionLoadStatus expected;
  };
  const std::uint32_t stateAt = static_cast<std::uint32_t>(trailerAt) - 100;  // somewhere in the blocks
  const Case cases[] = {
      {"state beyond the blocks", withTail(kTailStateAt, [&](std::uint8_t* p) { ref(p, stateAt, 5000, 200); }),
       SessionLoadStatus::BadBlock},
      {"state larger than any scan holds",
       withTail(kTailStateAt, [&](std::uint8_t* p) { ref(p, 0, kMaxScanStateBytes + 1, 0x800000); }),
       SessionLoadStatus::BadBlock},
      {"state that decodes short", withTail(kTailStateAt, [&](std::uint8_t* p) {
         BlockRef r;
         std::memcpy(&r, p + 4, sizeof r);
         ref(p, r.offset, r.rawSize + 10, r.storedSize);
       }),
       SessionLoadStatus::BadBlock},
      {"settings out of range", withTail(kTailSettingsAt, [](std::uint8_t* p) { p[4 + 1] = 9; }),
       SessionLoadStatus::BadTrailer},
      {"settings flag not a flag", withTail(kTailSettingsAt, [](std::uint8_t* p) { p[4 + 4] = 2; }),
       SessionLoadStatus::BadTrailer},
  };
  for (const Case& c : cases) {
    LoadedSession out;
    const auto r = LoadSessionBytes(c.bytes, AnyMap(), out);
    EXPECT_EQ(r.status, c.expected) << c.name << ": " << r.error;
    EXPECT_FALSE(out.lists) << c.name;
  }
  // Without its tag the same bytes are reserved bytes, nothing more.
  LoadedSession untagged;
  EXPECT_TRUE(LoadSessionBytes(withTail(kTailStateAt, [](std::uint8_t* p) { p[0] = 0; }), AnyMap(), untagged).ok());
  EXPECT_TRUE(untagged.scanState.empty());
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kestrova::session
