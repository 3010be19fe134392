#include "raw/raw_scanner.h"

#include "device/sector_device.h"
#include "scan/entry_ops.h"
#include "support/crafted.h"
#include "support/recording_ui.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kestrova {
namespace {

constexpr std::uint32_t kSs = 512;

std::vector<std::uint8_t> HeaderFor(const ScanItem& r) {
  std::vector<std::uint8_t> s(kSs, 0x33);
  auto put = [&](std::size_t at, std::string_view text) { std::memcpy(s.data() + at, text.data(), text.size()); };
  switch (r.test) {
    case HeaderTest::Signature: std::memcpy(s.data(), r.signature.data(), r.signatureLength); break;
    case HeaderTest::Mts:
      put(0, "\x12\x34\x56\x78");
      std::memcpy(s.data() + 4, r.signature.data(), r.signatureLength);
      break;
    case HeaderTest::Ace: put(7, "**ACE**"); break;
    case HeaderTest::Mp4: put(0, std::string_view("\0\0\0\x20" "ftypisommp41", 16)); break;
    case HeaderTest::ThreeGp: put(0, std::string_view("\0\0\0\x18" "ftyp3gp4", 12)); break;
    case HeaderTest::Mov: put(0, std::string_view("\0\0\0\x14" "ftypqt  ", 12)); break;
    case HeaderTest::Ndw: put(0, std::string_view("\x52\x05\x03\x00\xF8\x7F", 6)); break;
  }
  return s;
}

// The table without its format routines and the scanner without text
// detectors: the loop's own rules, on sectors that only need the signatures.
const ScanItemTable& LoopTable() {
  static const ScanItemTable table = [] {
    ScanItemTable t = DefaultScanItemTable();
    for (ScanItem& row : t) {
      row.validate = nullptr;
      if (!row.derived) row.measure = nullptr;
    }
    return t;
  }();
  return table;
}

// A disk in memory, a scanner over it and the results model it fills.
struct Harness {
  explicit Harness(std::size_t sectors, const ScanItemTable& t = LoopTable())
      : disk(sectors * kSs, 0), reader(disk, kSs), table(t), scanner(reader, table) {
    lists.Reset();
    map.Create(sectors);
    scanner.sinks.raw = &lists.raw;
    scanner.sinks.map = &map;
    scanner.sinks.ui = &ui;
    scanner.sinks.typeFolder = [this](const ScanItem& row) { folders.push_back(row.itemIndex); };
    scanner.sinks.bootSectorProbe = [this](Bytes, std::uint64_t sector) { probed.push_back(sector); };
    scanner.textDetectors.ansi = nullptr;
    scanner.textDetectors.unicode = nullptr;
    scanner.ResetScanItems();
  }
  std::uint8_t* At(std::uint64_t sector) { return disk.data() + sector * kSs; }
  void Put(std::uint64_t sector, const std::vector<std::uint8_t>& bytes) {
    std::memcpy(At(sector), bytes.data(), std::min<std::size_t>(bytes.size(), disk.size() - sector * kSs));
  }
  void PutText(std::uint64_t sector, std::string_view text) { std::memcpy(At(sector), text.data(), text.size()); }
  std::uint64_t Scan(std::uint64_t first, std::uint32_t count) {
    RawScanWindow w;
    w.firstSector = first;
    w.data = At(first);
    w.dataEnd = At(first) + static_cast<std::size_t>(count) * kSs;
    w.nextSector = first + count;
    w.sectorCount = count;
    std::uint64_t done = 0;
    EXPECT_EQ(scanner.ScanRawWindow(w, done), 0);
    return done;
  }
  // Windows of `size` sectors from `first` to `end`, each starting where the last pass left off.
  void ScanAll(std::uint64_t first, std::uint64_t end, std::uint32_t size) {
    for (std::uint64_t s = first; s < end;) {
      const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, end - s));
      s += Scan(s, n);
    }
  }
  std::vector<ScanEntry> Entries() const {
    std::vector<ScanEntry> out;
    for (std::size_t i = 0; i < lists.raw.size(); ++i) out.push_back(lists.raw.at(i));
    return out;
  }
  std::u16string NameOf(const ScanEntry& e) const {
    SignatureExtensions exts;
    exts.Set(ItemExtensions(table));
    return DisplayName(e, lists.raw.NameOf(e), exts);
  }

  std::vector<std::uint8_t> disk;
  MemorySectorReader reader;
  ScanItemTable table;
  RawScanner scanner;
  ResultLists lists;
  AllocationMap map;
  test::RecordingUi ui;
  std::vector<std::uint16_t> folders;
  std::vector<std::uint64_t> probed;
};

// gtest binds references: packed fields are copied out first.
template <typename T>
T Field(T value) {
  return value;
}

std::uint16_t g_target = 0;
bool OnlyTarget(FindContext& c) { return c.row->itemIndex == g_target; }
std::uint32_t MeasureThousand(FindContext&) { return 1000; }

TEST(RawScanner, EveryHeaderRowIsRecognisedAtASectorBoundary) {
  for (const bool measured : {false, true}) {
    ScanItemTable table = LoopTable();
    // Rows that share a signature would otherwise shadow each other.
    for (std::uint16_t i : kHeaderScanOrder) {
      table[i].validate = OnlyTarget;
      table[i].measure = measured ? MeasureThousand : nullptr;
    }
    Harness h(128, table);
    for (std::uint16_t target : kHeaderScanOrder) {
      for (std::uint64_t position : {0u, 5u, 15u}) {
        SCOPED_TRACE(testing::Message() << "item " << target << " at " << position << (measured ? " measured" : ""));
        g_target = target;
        std::memset(h.At(96), 0, 16 * kSs);
        h.scanner.ResetScanItems();
        const std::size_t before = h.lists.raw.size();
        const std::uint64_t sector = 96 + position;
        h.Put(sector, HeaderFor(table[target]));
        h.Scan(96, 16);
        EXPECT_EQ(h.scanner.FoundCount(target), 1u);
        h.scanner.ClosePending(112);
        const std::uint64_t first = target == item::kIso ? sector - 64 : sector;
        ASSERT_EQ(h.lists.raw.size(), before + 1);
        const ScanEntry e = h.lists.raw.at(before);
        EXPECT_EQ(e.RawSignature(), target);
        EXPECT_EQ(Field(e.RawFirstSector()), first);
        EXPECT_EQ(e.Kind(), EntryKind::Raw);
        EXPECT_EQ(Field(e.name), kGeneratedName);
        EXPECT_EQ(e.RawSequence(), 1u);
        EXPECT_EQ(h.map.Get(first), cluster_mark::kFoundStart) << "one sector per cluster here";
        EXPECT_EQ(h.folders.back(), target);
        if (measured) {
          EXPECT_EQ(Field(e.size), 1000u);
          EXPECT_EQ(e.rating, rating::kIntact);
        } else {
          // Pending: closed by its limit (LNK: 4 KiB) or at the end of the window.
          EXPECT_EQ(Field(e.size), std::min<std::uint64_t>(table[target].maxSize ? table[target].maxSize : 0xFFFFFFFFu,
                                                    (112 - first) * kSs));
          EXPECT_EQ(e.rating, rating::kRawClosed);
        }
      }
    }
  }
}

TEST(RawScanner, BlankSectorsAreSkipped) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> fill;  // the first bytes of sectors 0..9
    std::vector<std::uint64_t> probed;
  };
  const std::vector<Case> cases = {
      {"zeros", {0, 0, 0, 0, 0, 0, 0, 0}, {10}},
      {"erased flash", {0xFF, 0xFF, 0xFF, 0xFF}, {10}},
      {"AA pattern", {0xAA, 0xAA, 0xAA, 0xAA}, {10}},
      {"55 pattern", {0x55, 0x55, 0x55, 0x55}, {10}},
      {"zeros with a byte at 7", {0, 0, 0, 0, 0, 0, 0, 1}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h(32);
    for (std::uint64_t s = 0; s < 10; ++s) {
      std::memset(h.At(s), c.fill[0], kSs);
      std::memcpy(h.At(s), c.fill.data(), c.fill.size());
    }
    h.Put(10, {0xFF, 0xD8, 0xFF, 0xE0});
    for (std::uint64_t s = 11; s < 32; ++s) std::memset(h.At(s), 0, kSs);
    EXPECT_EQ(h.Scan(0, 32), 32u);
    EXPECT_EQ(h.probed, c.probed);
    ASSERT_TRUE(h.scanner.pending().open) << "a JPEG without its measure is pending";
    EXPECT_EQ(h.scanner.pending().firstSector, 10u);
  }
  // Inside the window only zeros and FF FF FF FF are passed over: a pattern sector is tested.
  Harness h(8);
  h.PutText(0, "text");
  std::memset(h.At(1), 0xFF, kSs);  // would otherwise be an MP3 frame (row FF)
  std::memset(h.At(2), 0xAA, kSs);
  EXPECT_EQ(h.Scan(0, 8), 8u);
  EXPECT_EQ(h.probed, (std::vector<std::uint64_t>{0, 2}));
  EXPECT_FALSE(h.scanner.pending().open);
  Harness all(4);
  EXPECT_EQ(all.Scan(0, 4), 4u) << "an empty window ends after its blank run";
  EXPECT_TRUE(all.probed.empty());
}

TEST(RawScanner, PendingFileIsClosedByTheNextHeader) {
  Harness h(400);
  h.PutText(100, "8BPS");  // PSD: pending, 50 MiB at most
  h.PutText(300, "GIF89a");
  h.Scan(0, 400);
  const auto entries = h.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(Field(entries[0].RawFirstSector()), 100u);
  EXPECT_EQ(Field(entries[0].size), 102400u);
  EXPECT_EQ(entries[0].rating, rating::kRawClosed);
  EXPECT_EQ(h.NameOf(entries[0]), u"000000001.psd");
  ASSERT_TRUE(h.scanner.pending().open);
  EXPECT_EQ(h.scanner.pending().row->itemIndex, 77) << "the GIF, still without its measure, is pending now";
  EXPECT_EQ(h.scanner.latestFind(), std::optional<std::size_t>(0));
  EXPECT_EQ(h.folders, std::vector<std::uint16_t>{50});
  EXPECT_EQ(h.scanner.progress.rawFiles.load(), 1u);
}

TEST(RawScanner, PendingFileThatNeverEndsIsCappedByItsMaximum) {
  {
    Harness h(32);
    h.Put(2, HeaderFor(h.table[10]));  // LNK: 4 KiB = 8 sectors
    h.PutText(20, "more text here");
    h.Scan(0, 32);
    const auto entries = h.Entries();
    ASSERT_EQ(entries.size(), 1u) << "closed once the scan passed sector 2 + 8";
    EXPECT_EQ(Field(entries[0].size), 4096u);
    EXPECT_EQ(Field(entries[0].RawFirstSector()), 2u);
    EXPECT_FALSE(h.scanner.pending().open);
  }
  {
    // PSD: 50 MiB = 102,400 sectors; windows far apart as a driver skipping used space gives them.
    Harness h(4);
    h.PutText(0, "8BPS");
    h.Scan(0, 1);
    std::vector<std::uint8_t> junk(kSs, 0x41);
    auto scanAt = [&](std::uint64_t sector) {
      RawScanWindow w{sector, junk.data(), junk.data() + kSs, sector + 1, 1, 1};
      std::uint64_t done = 0;
      h.scanner.ScanRawWindow(w, done);
    };
    scanAt(102400);
    EXPECT_TRUE(h.Entries().empty()) << "sector 102,400 is still within the limit";
    scanAt(102401);
    const auto entries = h.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(Field(entries[0].size), 50u * 1048576);
  }
  {
    Harness h(16);
    h.PutText(3, "8BPS");
    h.Scan(0, 16);
    EXPECT_TRUE(h.Entries().empty()) << "a file still pending when the scan stops is not reported";
    h.scanner.ClosePending(16);
    ASSERT_EQ(h.Entries().size(), 1u) << "unless the driver closes it at the end";
    EXPECT_EQ(Field(h.Entries()[0].size), 13u * kSs);
  }
}

TEST(RawScanner, RowWithoutMeasureOrMaximumRunsToTheNextHeaderOnly) {
  // ZIP has no measure in this table and no maxSize: it may not skip, and its
  // size is bounded by the next header or by the 32-bit maximum.
  ScanItemTable table = DefaultScanItemTable();
  table[item::kZip].measure = nullptr;
  Harness h(64, table);
  h.PutText(4, "PK\x03\x04");
  h.PutText(10, "PK\x03\x04");
  EXPECT_EQ(h.Scan(0, 64), 64u) << "no skip for a size that is not known";
  const auto entries = h.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(Field(entries[0].size), 6u * kSs);
  EXPECT_EQ(h.scanner.pending().size, 0xFFFFFFFFu);
  EXPECT_EQ(h.scanner.pending().limitSector, 10u + 0xFFFFFFFFu / kSs);
}

// A ZIP measure for the tests: the file ends after the 4 bytes "ENDZ" found on
// a sector boundary, looked for through the read-ahead, at most 64 sectors.
std::uint32_t MeasureToEndMarker(FindContext& c) {
  for (std::uint32_t s = 1; s < 64; ++s) {
    c.cursor.pos += kSs;  // relative: the read-ahead moves the data
    if (!c.scanner.ReadAhead(c.cursor, 4, 4096)) return 0;
    if (std::memcmp(c.cursor.data + c.cursor.pos, "ENDZ", 4) == 0) return s * kSs + 4;
  }
  return 0;
}

TEST(RawScanner, FindCrossingTheWindowEndContinuesInTheNextWindow) {
  ScanItemTable table = LoopTable();
  table[item::kZip].measure = MeasureToEndMarker;
  Harness h(64, table);
  // Two adjacent ZIPs: 0..20 sectors + 4 bytes, then one at 21 ending at 29.
  h.PutText(2, "PK\x03\x04");
  h.PutText(22, "ENDZ");
  h.PutText(23, "PK\x03\x04");
  h.PutText(30, "ENDZ");
  h.PutText(12, "PK embedded");  // inside the first ZIP: must be jumped over
  const std::uint64_t done = h.Scan(0, 16);
  EXPECT_EQ(done, 2u + 21) << "the skip leaves the window: the driver continues behind the file";
  EXPECT_EQ(h.Scan(done, 16), 16u) << "the second ZIP (at 23) ends inside this window";
  const auto entries = h.Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(Field(entries[0].RawFirstSector()), 2u);
  EXPECT_EQ(Field(entries[0].size), 20u * kSs + 4);
  EXPECT_EQ(Field(entries[1].RawFirstSector()), 23u);
  EXPECT_EQ(Field(entries[1].size), 7u * kSs + 4);

  // A pending file that spans windows is sized from its own first sector.
  Harness p(64);
  p.PutText(10, "8BPS");
  p.PutText(40, "GIF89a");
  p.ScanAll(0, 64, 16);
  ASSERT_EQ(p.Entries().size(), 1u);
  EXPECT_EQ(Field(p.Entries()[0].size), 30u * kSs);
}

std::uint32_t MeasureAbsurd(FindContext&) { return 0xFFFFFFFFu; }
std::uint32_t MeasureWithSkip(FindContext& c) {
  c.scratch.requestedSkip = c.bytes()[4] == '1' ? 511 : 4096;
  return 100;
}

TEST(RawScanner, SizesAndSkipsStayBounded) {
  ScanItemTable table = LoopTable();
  table[item::kZip].measure = MeasureAbsurd;
  table[77].measure = MeasureWithSkip;  // GIF
  Harness h(16, table);
  h.PutText(3, "PK\x03\x04");
  EXPECT_EQ(h.Scan(0, 16), 3u + 8388608) << "a 4 GiB ZIP is skipped in 64-bit sector arithmetic";
  ASSERT_EQ(h.Entries().size(), 1u);
  EXPECT_EQ(Field(h.Entries()[0].size), 0xFFFFFFFFu);

  Harness g(16, table);
  g.PutText(0, "GIF81");  // asks for 511 bytes: too small to honour
  g.PutText(1, "GIF82");  // asks for 4,096 bytes: 8 sectors
  g.PutText(5, "GIF83");  // jumped over
  g.PutText(9, "GIF84");
  g.Scan(0, 16);
  const auto e = g.Entries();
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(Field(e[0].RawFirstSector()), 0u);
  EXPECT_EQ(Field(e[1].RawFirstSector()), 1u);
  EXPECT_EQ(Field(e[2].RawFirstSector()), 9u);
}

TEST(RawScanner, SerialNumbersCountDownInReverseMode) {
  for (const bool reverse : {false, true}) {
    Harness h(64);
    h.scanner.config.reverse = reverse;
    h.PutText(5, "\xFF\xD8\xFF\xE0");
    h.PutText(20, "\xFF\xD8\xFF\xE1");
    h.PutText(30, "8BPS");
    h.Scan(0, 64);
    h.scanner.ClosePending(64);
    const auto e = h.Entries();
    ASSERT_EQ(e.size(), 3u);
    if (reverse) {
      EXPECT_EQ(h.NameOf(e[0]), u"999999999.jpg");
      EXPECT_EQ(h.NameOf(e[1]), u"999999998.jpg");
      EXPECT_EQ(h.NameOf(e[2]), u"999999999.psd");
    } else {
      EXPECT_EQ(h.NameOf(e[0]), u"000000001.jpg");
      EXPECT_EQ(h.NameOf(e[1]), u"000000002.jpg");
      EXPECT_EQ(h.NameOf(e[2]), u"000000001.psd");
    }
    EXPECT_EQ(Field(e[0].size), 15u * kSs);
    EXPECT_EQ(Field(e[1].size), 10u * kSs);
  }
  // Reverse mode: windows come from the end; a header below a pending file leaves it whole.
  Harness r(64);
  r.scanner.config.reverse = true;
  r.PutText(40, "8BPS");
  r.PutText(10, "GIF89a");
  r.Scan(32, 32);
  r.Scan(0, 32);
  ASSERT_EQ(r.Entries().size(), 1u);
  EXPECT_EQ(Field(r.Entries()[0].size), 50u * 1048576);
}

TEST(RawScanner, IsoFindStartsAtTheImage) {
  ScanItemTable table = DefaultScanItemTable();
  table[item::kIso].measure = nullptr;  // a pending find shows where the image begins
  Harness h(200, table);
  const std::vector<std::uint8_t> descriptor = {0x01, 'C', 'D', '0', '0', '1', 0x01, 0x00};
  h.Put(30, descriptor);  // would begin before the volume: rejected
  h.Put(150, descriptor);
  h.Scan(0, 200);
  ASSERT_TRUE(h.scanner.pending().open);
  EXPECT_EQ(h.scanner.pending().firstSector, 150u - 64);
  EXPECT_EQ(h.scanner.FoundCount(item::kIso), 1u);
}

std::uint32_t MeasureRetype(FindContext& c) {
  c.scratch.retype = 110;  // .docx
  c.scratch.MarkEstimate();
  if (c.bytes()[4] == 'n') c.scratch.ownName = u"report.docx";
  if (c.bytes()[4] == 'd') c.scratch.ownName = u".hidden";
  return 2000;
}
std::uint32_t MeasureThrows(FindContext&) { throw std::runtime_error("broken routine"); }

TEST(RawScanner, RoutinesRetypeNameAndFailSafely) {
  ScanItemTable table = LoopTable();
  table[item::kZip].measure = MeasureRetype;
  table[67].measure = MeasureThrows;  // ICL: its fault rejects the row, EXE gets the sector
  table[66].measure = MeasureThousand;
  Harness h(32, table);
  h.PutText(0, "PK\x03\x04n");
  h.PutText(8, "PK\x03\x04d");
  h.PutText(16, "MZ");
  h.Scan(0, 32);
  const auto e = h.Entries();
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(h.NameOf(e[0]), u"report.docx");
  EXPECT_NE(Field(e[0].name), kGeneratedName);
  EXPECT_EQ(e[0].rating, rating::kRawClosed);
  EXPECT_EQ(h.NameOf(e[1]), u"000000002.docx") << "a name starting with a dot is not taken";
  EXPECT_EQ(e[1].RawSignature(), 110);
  EXPECT_EQ(h.NameOf(e[2]), u"000000001.exe");
  EXPECT_EQ(h.scanner.FoundCount(item::kZip), 0u);
  EXPECT_EQ(h.scanner.FoundCount(110), 2u);
  EXPECT_EQ(h.folders, (std::vector<std::uint16_t>{110, 66}));
}

TEST(RawScanner, RawAnalysisOffTestsNothingButTheBootProbe) {
  Harness h(16);
  h.scanner.config.rawAnalysis = false;
  int offered = 0;
  static int* counter;
  counter = &offered;
  h.scanner.textDetectors.ansi = [](FindContext&, std::uint32_t&) {
    ++*counter;
    return false;
  };
  h.PutText(2, "\xFF\xD8\xFF\xE0");
  h.PutText(3, "plain text here");
  h.Scan(0, 16);
  EXPECT_FALSE(h.scanner.pending().open);
  EXPECT_EQ(h.probed, (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(offered, 0);
}

std::vector<std::uint64_t> g_offered;
bool AnsiStub(FindContext& c, std::uint32_t& size) {
  g_offered.push_back(c.sector);
  if (std::memcmp(c.bytes().data(), "TEXT", 4) != 0) return false;
  FindScratch s;
  c.scanner.RecordFind(c.scanner.table()[137], c.sector, 3 * kSs, s, cluster_mark::kTextStart);
  size = 3 * kSs;  // ran over three sectors: skipped
  return true;
}
std::vector<std::uint64_t> g_unicode;
bool UnicodeStub(FindContext& c, std::uint32_t&) {
  g_unicode.push_back(c.sector);
  return false;
}

TEST(RawScanner, TextPassOffersSectorsAndSkipsTexts) {
  Harness h(16);
  h.scanner.textDetectors.ansi = AnsiStub;
  h.scanner.textDetectors.unicode = UnicodeStub;
  g_offered.clear();
  g_unicode.clear();
  h.PutText(1, "TEXT and more");
  h.PutText(2, "inside the text");
  h.PutText(5, std::string_view("H\0i\0", 4));
  h.PutText(6, "\xFF\xFE");
  std::memset(h.At(7), 0xFF, 8);
  h.PutText(8, std::string_view("\0\0\0\0x", 5));
  EXPECT_EQ(h.Scan(0, 16), 16u);
  // Zero sectors, 2-3 (inside the text), 7 (FF FF FF FF) and 8 (zero first 4 bytes) are not offered.
  EXPECT_EQ(g_offered, (std::vector<std::uint64_t>{1, 5, 6}));
  EXPECT_EQ(g_unicode, (std::vector<std::uint64_t>{5, 6}));
  ASSERT_EQ(h.Entries().size(), 1u);
  EXPECT_EQ(h.NameOf(h.Entries()[0]), u"000000001.A.txt");
  EXPECT_EQ(h.map.Get(1), cluster_mark::kTextStart);
}

TEST(RawScanner, StopEndsTheWindowAtOnce) {
  Harness h(16);
  std::atomic<bool> stop{true};
  h.scanner.control.stop = &stop;
  h.PutText(0, "8BPS");
  EXPECT_EQ(h.Scan(0, 16), 0u);
  EXPECT_FALSE(h.scanner.pending().open);
  std::atomic<bool> pause{false};
  h.scanner.control.pause = &pause;
  EXPECT_TRUE(h.scanner.PauseOrStop());
}

TEST(RawScanner, ResetChecksTheTableAndForgetsTheScan) {
  Harness h(16);
  h.PutText(0, "8BPS");
  h.Scan(0, 16);
  ASSERT_TRUE(h.scanner.pending().open);
  EXPECT_TRUE(h.scanner.ResetScanItems());
  EXPECT_FALSE(h.scanner.pending().open);
  EXPECT_EQ(h.scanner.FoundCount(50), 0u);
  EXPECT_TRUE(h.ui.boxes.empty());

  ScanItemTable broken = DefaultScanItemTable();
  broken[159].extension = ".lost";
  Harness b(16, broken);  // the harness resets once
  ASSERT_EQ(b.ui.boxes.size(), 1u);
  EXPECT_EQ(b.ui.boxes[0].text, "SCAN_ITEM CRITICAL_COMIPLE_STRUCT_ERROR");
  EXPECT_EQ(b.ui.boxes[0].caption, "COMPILE ERROR");
  b.PutText(0, "8BPS");
  b.Scan(0, 16);
  EXPECT_TRUE(b.scanner.pending().open) << "the scan carries on";
}

TEST(RawScanner, TypeCountsAreRebuiltByExtension) {
  Harness h(4);
  auto add = [&](std::uint16_t index, const char16_t* name) {
    ScanEntry e = MakeScanEntry();
    e.SetKind(EntryKind::Raw);
    if (name) {
      const std::u16string n(name);
      h.lists.raw.Add(e, &n);
    } else {
      e.name = kGeneratedName;
      e.SetRaw(1, index);
      h.lists.raw.Add(e);
    }
  };
  add(56, nullptr);        // big-endian TIFF signature: counted under the primary TIFF row
  add(59, nullptr);
  add(0, u"scan.TIF");
  add(82, nullptr);
  add(0, u"volume.iso");
  add(0, u"noextension");
  h.scanner.RebuildTypeCounts(h.lists.raw);
  EXPECT_EQ(h.scanner.FoundCount(59), 3u);
  EXPECT_EQ(h.scanner.FoundCount(56), 0u);
  EXPECT_EQ(h.scanner.FoundCount(82), 1u);
  EXPECT_EQ(h.scanner.FoundCount(46), 1u);
  EXPECT_EQ(h.folders, (std::vector<std::uint16_t>{82, 59, 46})) << "header rows in list order";
}

// Read-ahead over a disk whose every byte tells its own offset.
TEST(RawScanner, ReadAheadKeepsTheBytesOfTheDisk) {
  Harness h(2048);
  auto value = [](std::uint64_t offset) { return static_cast<std::uint8_t>(offset * 7 + offset / 509); };
  for (std::size_t i = 0; i < h.disk.size(); ++i) h.disk[i] = value(i);
  // The window: sectors 10..13; the cursor starts at sector 12.
  ReadAheadCursor c{h.At(12), 2 * kSs, 0, 14};
  std::uint64_t origin = 12 * kSs;  // disk offset of c.data[c.pos] as the routine walks
  auto check = [&](std::size_t need) {
    ASSERT_GE(c.available(), need);
    for (std::size_t k = 0; k < need; ++k) ASSERT_EQ(c.data[c.pos + k], value(origin + k)) << "at " << origin + k;
  };
  struct Step {
    const char* what;
    std::size_t advance, need, chunk;
  };
  const Step steps[] = {
      {"inside the window", 100, 200, 4096},
      {"across the window end", 800, 500, 4096},
      {"again across the loaded end (source is the work buffer)", 4000, 600, 4096},
      {"a jump far past the loaded data", 300000, 64, 16384},
      {"an unaligned jump", 70001, 1000, 4096},
      {"a large need", 10, 200000, 4096},
      {"a chunk below the minimum", 200000, 8, 16},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    c.pos += s.advance;
    origin += s.advance;
    ASSERT_TRUE(h.scanner.ReadAhead(c, s.need, s.chunk));
    check(s.need);
    EXPECT_EQ(c.nextSector * kSs, origin + (c.size - c.pos)) << "the next sector follows the loaded data";
  }
  const std::size_t before = c.pos;
  EXPECT_FALSE(h.scanner.ReadAhead(c, kReadAheadMaxNeed + 1, 4096));
  EXPECT_EQ(c.pos, before);
  // Look-behind: the bytes before the cursor survive a move into the buffer.
  ReadAheadCursor d{h.At(20), kSs, 500, 21};
  ASSERT_TRUE(h.scanner.ReadAheadAt(d, 100, 4096));
  EXPECT_EQ(d.pos, 500u);
  for (std::size_t k = 0; k < 600; ++k) ASSERT_EQ(d.data[k], value(20 * kSs + k));
  // Past the end of the device: zeros, still success.
  ReadAheadCursor e{h.At(2047), kSs, 600, 2048};
  ASSERT_TRUE(h.scanner.ReadAhead(e, 8, 4096));
  for (std::size_t k = 0; k < 8; ++k) EXPECT_EQ(e.data[e.pos + k], 0);
}

TEST(RawScanner, DeviceReaderGivesZerosPastTheVolume) {
  test::MemDevice mem(std::vector<std::uint8_t>(64 * kSs, 0x5A));
  mem.device.GeometryForMount().volumeLastSector = 9;
  DeviceSectorReader reader(mem.device);
  std::vector<std::uint8_t> out(8 * kSs, 0xEE);
  reader.Read(6, 8, out);
  EXPECT_EQ(out[0], 0x5A);
  EXPECT_EQ(out[4 * kSs - 1], 0x5A);
  EXPECT_EQ(out[4 * kSs], 0) << "sector 10 lies past the volume";
  EXPECT_EQ(out.back(), 0);
  std::fill(out.begin(), out.end(), 0xEE);
  reader.Read(40, 2, out);
  EXPECT_EQ(out[0], 0) << "a failed read gives zeros";
  EXPECT_EQ(out[2 * kSs], 0xEE) << "nothing past the sectors asked for";
}

TEST(RawScanner, ProgressTitle) {
  EXPECT_EQ(RawProgressTitle(42, 1234), u"Kestrova - scanning free region [ 42%, 1 234 MB ]");
  Harness h(4);
  std::vector<std::u16string> titles;
  h.scanner.sinks.title = [&](const std::u16string& t) { titles.push_back(t); };
  h.scanner.progressBase = {4096, 1000, 4000};
  h.scanner.ShowRawProgress(4096 * 1000);
  EXPECT_EQ(h.scanner.progress.percent.load(), 50u);
  EXPECT_EQ(h.scanner.progress.megabytes.load(), 2000u * 4096 / 1048576);
  h.scanner.ShowRawProgress(4096 * 3000);
  EXPECT_EQ(titles.size(), 1u) << "at most every 75 ms";
  h.scanner.config.reverse = true;
  h.scanner.progressBase.clustersDone = 4000;
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  h.scanner.ShowRawProgress(0);
  EXPECT_EQ(titles.size(), 1u) << "the reverse driver shows its own";
}

}  // namespace
}  // namespace kestrova
