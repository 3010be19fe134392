// The content matcher, the advanced criteria, the mask list, the display
// filter's rules, and the search walk over a volume held in memory.
#include "common/text.h"
#include "common/worker_token.h"
#include "fs/fs_reader.h"
#include "scan/display_filter.h"
#include "scan/virtual_folders.h"
#include "tools/content_matcher.h"
#include "tools/search.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace kestrova {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }
std::vector<std::uint8_t> Utf16(std::u16string_view s) {
  std::vector<std::uint8_t> out;
  for (char16_t c : s) {
    out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return out;
}

// Feeds the pieces and then the end of the file.
bool Found(const ContentPattern& pattern, const std::vector<std::vector<std::uint8_t>>& pieces) {
  ContentMatcher m(pattern);
  m.Reset();
  for (const auto& piece : pieces)
    if (m.Feed(piece)) return true;
  return m.Finish();
}

struct MatchCase {
  const char* what;
  std::u16string pattern;
  DataKind kind;
  bool caseSensitive;
  bool wholeWords;
  std::vector<std::vector<std::uint8_t>> pieces;
  bool expected;
};

TEST(ContentMatcher, FindsPatternsByKindCaseAndWordsAcrossPieces) {
  const std::vector<MatchCase> cases = {
      {"substring, any case", u"port", DataKind::Ascii, false, false, {Bytes("xxREPORTyy")}, true},
      {"case sensitive refuses other case", u"Port", DataKind::Ascii, true, false, {Bytes("xx port")}, false},
      {"case sensitive exact", u"Port", DataKind::Ascii, true, false, {Bytes("xx Port")}, true},
      {"across two pieces", u"hello", DataKind::Ascii, false, false, {Bytes("say hel"), Bytes("lo there")}, true},
      {"across three pieces", u"hello", DataKind::Ascii, false, false, {Bytes("he"), Bytes("ll"), Bytes("o")}, true},
      {"not there", u"hello", DataKind::Ascii, false, false, {Bytes("help"), Bytes("lo")}, false},
      {"whole word at the file's start", u"hello", DataKind::Ascii, false, true, {Bytes("hello world")}, true},
      {"whole word at the file's end", u"hello", DataKind::Ascii, false, true, {Bytes("say hello")}, true},
      {"whole word: the file is the word", u"hello", DataKind::Ascii, false, true, {Bytes("hello")}, true},
      {"whole word: part of a longer word", u"hello", DataKind::Ascii, false, true, {Bytes("sayhello there")}, false},
      {"whole word: continues in the next piece", u"hello", DataKind::Ascii, false, true, {Bytes("say hello"), Bytes("x")},
       false},
      {"whole word: blank in the next piece", u"hello", DataKind::Ascii, false, true,
       {Bytes("say hello"), Bytes("\tthere")}, true},
      {"whole word: blank in the previous piece", u"hello", DataKind::Ascii, false, true,
       {Bytes("say\r"), Bytes("hello\n")}, true},
      {"whole word: letter in the previous piece", u"hello", DataKind::Ascii, false, true,
       {Bytes("say"), Bytes("hello\n")}, false},
      {"UNICODE at an odd offset", u"Hi", DataKind::Unicode, false, false,
       {[] { auto b = Utf16(u"xHiy"); b.insert(b.begin(), 0x01); return b; }()}, true},
      {"UNICODE any case", u"abc", DataKind::Unicode, false, false, {Utf16(u"--ABC--")}, true},
      {"UNICODE case sensitive", u"abc", DataKind::Unicode, true, false, {Utf16(u"--ABC--")}, false},
      {"UNICODE is not ASCII", u"abc", DataKind::Unicode, false, false, {Bytes("abc")}, false},
      {"UNICODE whole word", u"ab", DataKind::Unicode, false, true, {Utf16(u"x ab")}, true},
      {"UNICODE whole word refused", u"ab", DataKind::Unicode, false, true, {Utf16(u"x abc")}, false},
      {"HEX bytes", u"4D5A", DataKind::Hex, false, false, {{0x00, 0x4D, 0x5A, 0x90}}, true},
      {"HEX with blanks, split", u"DE AD BE EF", DataKind::Hex, false, false, {{0x01, 0xDE, 0xAD}, {0xBE, 0xEF}}, true},
      {"HEX is exact", u"6162", DataKind::Hex, false, false, {Bytes("AB")}, false},
      {"a zero run is searched as zeros", u"000000", DataKind::Hex, false, false,
       {std::vector<std::uint8_t>(70000, 0)}, true},
  };
  for (const MatchCase& c : cases) {
    ContentPattern p;
    ASSERT_EQ(CompilePattern(c.pattern, c.kind, c.caseSensitive, c.wholeWords, p), PatternError::None) << c.what;
    EXPECT_EQ(Found(p, c.pieces), c.expected) << c.what;
  }
}

TEST(ContentMatcher, RefusesEmptyAndOddHexAndShowsHexAsTyped) {
  ContentPattern p;
  EXPECT_EQ(CompilePattern(u"", DataKind::Ascii, false, false, p), PatternError::Empty);
  EXPECT_EQ(CompilePattern(u"4D5", DataKind::Hex, false, false, p), PatternError::HexParity);
  EXPECT_EQ(CompilePattern(u"4G", DataKind::Hex, false, false, p), PatternError::HexDigit);
  ASSERT_EQ(CompilePattern(u"4d 5a", DataKind::Hex, false, false, p), PatternError::None);
  EXPECT_EQ(p.bytes, (std::vector<std::uint8_t>{0x4D, 0x5A}));
  EXPECT_EQ(PatternText(p), u"4D5A");
  ASSERT_EQ(CompilePattern(u"ab", DataKind::Unicode, false, false, p), PatternError::None);
  EXPECT_EQ(p.bytes.size(), 4u);
  EXPECT_EQ(PatternText(p), u"ab");
}

TEST(ContentMatcher, RestartForgetsThePiecesBefore) {
  ContentPattern p;
  ASSERT_EQ(CompilePattern(u"hello", DataKind::Ascii, false, false, p), PatternError::None);
  ContentMatcher m(p);
  m.Reset();
  EXPECT_FALSE(m.Feed(Bytes("hel")));
  m.Reset();  // the writer started the file again
  EXPECT_FALSE(m.Feed(Bytes("lo")));
  EXPECT_FALSE(m.Finish());
}

ScanEntry FatEntry(std::uint64_t size, std::uint16_t date, std::uint8_t attributes) {
  ScanEntry e = MakeScanEntry();
  e.size = size;
  e.SetFatDate(date);
  e.attributes = attributes;
  e.clusterInUse = 1;
  return e;
}

constexpr std::uint16_t Dos(int y, int m, int d) { return static_cast<std::uint16_t>((y - 1980) << 9 | m << 5 | d); }

TEST(SearchCriteria, SizeRelationsAndTheToleranceOfEquals) {
  struct Case {
    SizeRelation relation;
    double value;
    SizeUnit unit;
    unsigned tolerance;
    std::uint64_t size;
    bool expected;
  };
  const Case cases[] = {
      {SizeRelation::Equal, 1, SizeUnit::KB, 0, 1024, true},
      {SizeRelation::Equal, 1, SizeUnit::KB, 0, 1025, false},
      {SizeRelation::Equal, 1, SizeUnit::KB, 10, 1024 - 102, true},
      {SizeRelation::Equal, 1, SizeUnit::KB, 10, 1024 - 103, false},
      {SizeRelation::Equal, 1, SizeUnit::KB, 10, 1024 + 102, true},
      {SizeRelation::Equal, 1, SizeUnit::KB, 10, 1024 + 103, false},
      {SizeRelation::Equal, 1, SizeUnit::KB, 100, 0, true},
      {SizeRelation::Greater, 1, SizeUnit::MB, 0, 1048576, false},
      {SizeRelation::Greater, 1, SizeUnit::MB, 0, 1048577, true},
      {SizeRelation::GreaterOrEqual, 1, SizeUnit::MB, 0, 1048576, true},
      {SizeRelation::Less, 1.5, SizeUnit::KB, 0, 1535, true},
      {SizeRelation::Less, 1.5, SizeUnit::KB, 0, 1536, false},
      {SizeRelation::LessOrEqual, 2, SizeUnit::GB, 0, 2147483648ull, true},
      {SizeRelation::LessOrEqual, 2, SizeUnit::GB, 0, 2147483649ull, false},
      {SizeRelation::Equal, 5, SizeUnit::B, 0, 5, true},
  };
  for (const Case& c : cases) {
    SearchCriteria sc;
    sc.useSize = true;
    sc.relation = c.relation;
    sc.sizeValue = c.value;
    sc.unit = c.unit;
    sc.tolerance = c.tolerance;
    CompiledCriteria cc;
    ASSERT_EQ(CompileCriteria(sc, FsType::Fat32, cc), CriteriaError::None);
    EXPECT_EQ(PassesCriteria(FatEntry(c.size, 0, 0x20), u"a", false, FsType::Fat32, cc), c.expected)
        << static_cast<int>(c.relation) << " " << c.value << " tolerance " << c.tolerance << " size " << c.size;
  }
}

TEST(SearchCriteria, DateModesCompareWholeDays) {
  struct Case {
    DateMode mode;
    unsigned days;
    std::uint16_t date;
    bool expected;
  };
  const Case cases[] = {
      {DateMode::PlusMinusDays, 0, Dos(2024, 3, 4), true},   {DateMode::PlusMinusDays, 0, Dos(2024, 3, 5), false},
      {DateMode::PlusMinusDays, 2, Dos(2024, 3, 6), true},   {DateMode::PlusMinusDays, 2, Dos(2024, 3, 2), true},
      {DateMode::PlusMinusDays, 2, Dos(2024, 3, 7), false},  {DateMode::PlusMinusDays, 30, Dos(2024, 2, 29), true},
      {DateMode::Before, 0, Dos(2024, 3, 3), true},          {DateMode::Before, 0, Dos(2024, 3, 4), false},
      {DateMode::After, 0, Dos(2024, 3, 5), true},           {DateMode::After, 0, Dos(2024, 3, 4), false},
      {DateMode::After, 0, 0, false},  // no date: not a match
  };
  for (const Case& c : cases) {
    SearchCriteria sc;
    sc.useDate = true;
    sc.year = 2024, sc.month = 3, sc.day = 4;
    sc.dateMode = c.mode;
    sc.days = c.days;
    CompiledCriteria cc;
    ASSERT_EQ(CompileCriteria(sc, FsType::Fat16, cc), CriteriaError::None);
    EXPECT_EQ(PassesCriteria(FatEntry(1, c.date, 0x20), u"a", false, FsType::Fat16, cc), c.expected)
        << static_cast<int>(c.mode) << " days " << c.days << " date " << c.date;
  }
  // NTFS: the FILETIME cut to its day (2024-03-04 23:59 is still that day).
  SearchCriteria sc;
  sc.useDate = true;
  sc.year = 2024, sc.month = 3, sc.day = 4;
  CompiledCriteria cc;
  ASSERT_EQ(CompileCriteria(sc, FsType::Ntfs, cc), CriteriaError::None);
  ScanEntry n = MakeScanEntry();
  const std::uint64_t day = 864000000000ull;
  const std::uint64_t midnight = static_cast<std::uint64_t>(cc.day) * day;
  n.SetFileTime(midnight + day - 1);
  EXPECT_TRUE(PassesCriteria(n, u"a", false, FsType::Ntfs, cc));
  n.SetFileTime(midnight + day);
  EXPECT_FALSE(PassesCriteria(n, u"a", false, FsType::Ntfs, cc));
  // exFAT: the packed date in the high half.
  ScanEntry x = MakeScanEntry();
  x.SetExfatTime(static_cast<std::uint32_t>(Dos(2024, 3, 4)) << 16 | 0x1234);
  ASSERT_EQ(CompileCriteria(sc, FsType::Exfat, cc), CriteriaError::None);
  EXPECT_TRUE(PassesCriteria(x, u"a", false, FsType::Exfat, cc));
}

TEST(SearchCriteria, AttributeBitsPerFamily) {
  struct Case {
    FsType fs;
    std::uint32_t entryBits;  // FAT/exFAT attribute byte or NTFS flags
    bool directory, hidden, archive;
    bool expected;
  };
  const Case cases[] = {
      {FsType::Fat32, 0x10, true, false, false, true},         {FsType::Fat32, 0x20, true, false, false, false},
      {FsType::Fat32, 0x22, false, true, true, true},          {FsType::Fat32, 0x20, false, true, true, false},
      {FsType::Ntfs, kNtfsDirectory, true, false, false, true}, {FsType::Ntfs, 0x10, true, false, false, false},
      {FsType::Exfat, 0x12, true, true, false, true},          {FsType::Exfat, 0x40 | 0x10, true, false, false, true},
  };
  for (const Case& c : cases) {
    SearchCriteria sc;
    sc.useAttributes = true;
    sc.directory = c.directory, sc.hidden = c.hidden, sc.archive = c.archive;
    CompiledCriteria cc;
    ASSERT_EQ(CompileCriteria(sc, c.fs, cc), CriteriaError::None);
    ScanEntry e = MakeScanEntry();
    if (c.fs == FsType::Ntfs) e.SetNtfsFlags(c.entryBits);
    else e.attributes = static_cast<std::uint8_t>(c.entryBits);
    EXPECT_EQ(PassesCriteria(e, u"a", false, c.fs, cc), c.expected) << static_cast<int>(c.fs) << " " << c.entryBits;
  }
}

TEST(SearchCriteria, MasksAndValidation) {
  SearchCriteria sc;
  sc.useMasks = true;
  sc.maskText = u"*.JPG; *.png";
  CompiledCriteria cc;
  ASSERT_EQ(CompileCriteria(sc, FsType::Fat32, cc), CriteriaError::None);
  EXPECT_TRUE(PassesCriteria(FatEntry(1, 0, 0), u"Photo.jpg", false, FsType::Fat32, cc));
  EXPECT_FALSE(PassesCriteria(FatEntry(1, 0, 0), u"Photo.gif", false, FsType::Fat32, cc));
  sc.useData = true;
  sc.dataKind = DataKind::Hex;
  sc.dataText = u"4D5";
  EXPECT_EQ(CompileCriteria(sc, FsType::Fat32, cc), CriteriaError::HexParity);
  EXPECT_EQ(CriteriaMessage(CriteriaError::HexParity), u"Hex values must consists of two digits - length is parity!");
  sc.dataText = u"";
  EXPECT_EQ(CompileCriteria(sc, FsType::Fat32, cc), CriteriaError::NoData);
}

TEST(DisplayFilterMasks, SplitRemovesBlanksCutsLongMasksAndCapsTheCount) {
  EXPECT_EQ(DisplayFilter::SplitMasks(u" *.JPG ; *.p ng,,*.gif"), (std::vector<std::u16string>{u"*.jpg", u"*.png", u"*.gif"}));
  const std::u16string longMask(40, u'a');
  EXPECT_EQ(DisplayFilter::SplitMasks(longMask)[0].size(), DisplayFilter::kMaskChars);
  std::u16string many;
  for (int i = 0; i < 300; ++i) many += u"a;";
  EXPECT_EQ(DisplayFilter::SplitMasks(many).size(), 256u) << "the text is cut to its 511 characters";
}

TEST(DisplayFilterRules, FatStatusAndTypeCombinations) {
  ScanEntry existing = MakeScanEntry();
  existing.clusterInUse = 1;
  ScanEntry deleted = existing;
  deleted.SetDeletedMark(1);
  ScanEntry overwritten = deleted;
  overwritten.SetKind(EntryKind::Overwritten);
  ScanEntry notDetected = deleted;
  notDetected.SetKind(EntryKind::NotDetected);
  ScanEntry folder = existing;
  folder.attributes = kAttrDirectory;
  using namespace show;
  struct Case {
    const char* what;
    const ScanEntry* e;
    std::u16string name;
    std::uint32_t flags;
    std::u16string masks;
    bool expected;
  };
  const Case cases[] = {
      {"deleted+files: existing hidden", &existing, u"a.txt", kMasks | kDeleted | kFiles, u"", false},
      {"deleted+files: deleted shown", &deleted, u"a.txt", kMasks | kDeleted | kFiles, u"", true},
      {"existing without files is hidden", &existing, u"a.txt", kMasks | kExisting | kFolders, u"", false},
      {"existing with files", &existing, u"a.txt", kMasks | kExisting | kFiles, u"", true},
      {"empty mask text hides nothing", &existing, u"a.txt", kMasks | kExisting | kFiles, u"", true},
      {"mask hides other names", &existing, u"a.txt", kMasks | kExisting | kFiles, u"*.jpg", false},
      {"mask in any case", &existing, u"A.JPG", kMasks | kExisting | kFiles, u"*.jpg", true},
      {"mask never hides a folder", &folder, u"dir", kMasks | kExisting | kFolders, u"*.jpg", true},
      {"an existing folder shows with Existing", &folder, u"dir", kMasks | kExisting | kFolders, u"", true},
      {"an existing folder shows with Deleted", &folder, u"dir", kMasks | kDeleted | kFolders, u"", true},
      {"folders need their box", &folder, u"dir", kMasks | kExisting | kFiles, u"", false},
      {"overwritten needs its box", &overwritten, u"a", kMasks | kDeleted | kFiles, u"", false},
      {"overwritten with its box", &overwritten, u"a", kMasks | kDeleted | kFiles | kOverwritten, u"", true},
      {"probably overwritten needs its box", &notDetected, u"a", kMasks | kDeleted | kFiles, u"", false},
      {"probably overwritten with its box", &notDetected, u"a", kMasks | kDeleted | kFiles | kNotDetected, u"", true},
      {"a dot folder is never filtered", &folder, u".git", kMasks, u"", true},
      {"no filter", &overwritten, u"x", kEverything, u"", true},
  };
  for (const Case& c : cases) {
    DisplayFilter f;
    f.flags = c.flags;
    f.masks = DisplayFilter::SplitMasks(c.masks);
    EXPECT_EQ(PassesFilter(*c.e, c.name, IsFolder(*c.e, FsType::Fat32), f), c.expected) << c.what;
  }
  // exFAT always shows files and folders.
  DisplayFilter noTypes;
  noTypes.flags = kMasks | kExisting;
  EXPECT_FALSE(PassesFamilyFilter(existing, u"a", false, noTypes, FsType::Fat32));
  EXPECT_TRUE(PassesFamilyFilter(existing, u"a", false, noTypes, FsType::Exfat));
}

TEST(DisplayFilterModel, BoxesPresetsStatusWordsAndTheSharedCopy) {
  FilterBoxes boxes;
  boxes.existing = false;
  boxes.metafiles = false;
  boxes.maskText = PresetMasks(FilterPreset::Audio);
  const DisplayFilter f = boxes.Read();
  EXPECT_EQ(f.flags, 0x1u | 0x2 | 0x4 | 0x8 | 0x10 | 0x20 | 0x80 | 0x100);
  EXPECT_EQ(f.masks, (std::vector<std::u16string>{u"*.wav", u"*.mp3", u"*.wma", u"*.ogg", u"*.mid"}));
  const FilterBoxes back = FilterBoxes::From(f, boxes.maskText);
  EXPECT_FALSE(back.existing);
  EXPECT_TRUE(back.deleted);
  EXPECT_EQ(PresetMasks(FilterPreset::Video).substr(PresetMasks(FilterPreset::Video).size() - 5), u"*.mts");
  EXPECT_TRUE(PresetMasks(FilterPreset::AnyFile).empty());

  std::uint32_t flags = 0;
  std::string bad;
  ASSERT_TRUE(ParseStatusList("deleted,overwritten", flags, bad));
  EXPECT_EQ(flags, show::kMasks | show::kDeleted | show::kOverwritten | show::kFiles | show::kFolders);
  ASSERT_TRUE(ParseStatusList("existing,files", flags, bad));
  EXPECT_EQ(flags, show::kMasks | show::kExisting | show::kFiles);
  EXPECT_FALSE(ParseStatusList("deleted,gone", flags, bad));
  EXPECT_EQ(bad, "gone");

  SharedDisplayFilter shared;
  const std::uint64_t before = shared.generation();
  shared.Set(f);
  EXPECT_EQ(shared.generation(), before + 1);
  DisplayFilter copy = shared.Snapshot();
  shared.Set(DisplayFilter{});
  EXPECT_EQ(copy.flags, f.flags) << "a listing's copy stays as it was taken";
}

// A FAT-family volume in memory: folders by handle, files whose data is
// delivered in pieces of `piece` bytes.
class MemoryVolume : public FsReader {
 public:
  std::map<EntryHandle, std::vector<FoundEntry>> folders;
  std::map<std::uint32_t, std::vector<std::uint8_t>> data;  // by first cluster
  std::size_t piece = 3;
  std::atomic<int> writes{0};
  std::chrono::milliseconds slowWrite{0};

  FsType Type() const override { return FsType::Fat32; }
  EntryHandle RootHandle() const override { return 2; }
  EntryHandle FolderHandle(const ScanEntry& e) const override {
    if (e.Kind() == EntryKind::VirtualFolder) return VirtualHandle(e.Marker());
    return e.FirstCluster();
  }
  std::uint64_t EntryId(const ScanEntry& e) const override { return e.FirstCluster(); }
  std::uint8_t Rate(const ScanEntry& e) override { return e.rating; }
  std::vector<std::uint8_t> ReadRange(const ScanEntry&, std::uint64_t, std::uint64_t) override { return {}; }
  std::vector<FoundEntry> List(EntryHandle folder, const DisplayFilter& filter) override {
    std::vector<FoundEntry> out;
    for (const FoundEntry& f : folders[folder])
      if (Shown(f.entry, f.name, filter)) out.push_back(f);
    return out;
  }
  WriteResult Write(ScanEntry& entry, OutputSink& sink, const RecoveryControl&) override {
    ++writes;
    if (slowWrite.count()) std::this_thread::sleep_for(slowWrite);
    const auto& bytes = data[entry.FirstCluster()];
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      const std::size_t n = std::min(piece, bytes.size() - at);
      if (!sink.WriteChunk(std::span(bytes).subspan(at, n))) return {};
    }
    return {true, false};
  }

  void AddFile(EntryHandle folder, std::u16string name, std::uint32_t cluster, std::string content, bool deleted = false) {
    FoundEntry f;
    f.entry = MakeScanEntry();
    f.entry.clusterInUse = 1;
    f.entry.SetDeletedMark(deleted ? 1 : 0);
    f.entry.SetFirstCluster(cluster);
    f.entry.size = content.size();
    f.entry.attributes = 0x20;
    f.name = std::move(name);
    folders[folder].push_back(f);
    data[cluster] = Bytes(content);
  }
  void AddFolder(EntryHandle parent, std::u16string name, std::uint32_t cluster) {
    FoundEntry f;
    f.entry = MakeScanEntry();
    f.entry.clusterInUse = 1;
    f.entry.SetFirstCluster(cluster);
    f.entry.attributes = kAttrDirectory;
    f.name = std::move(name);
    folders[parent].push_back(f);
  }
};

std::vector<std::u16string> Paths(const SearchResults& r) {
  std::vector<std::u16string> out;
  std::scoped_lock g(r.lock);
  for (const SearchResult& s : r.items) out.push_back(s.folder + s.found.name);
  return out;
}

TEST(SearchWalk, NamesFoldersContentAndLoops) {
  MemoryVolume v;
  v.AddFile(2, u"Report.DOC", 10, "quarterly numbers");
  v.AddFolder(2, u"Sub", 20);
  v.AddFile(20, u"notes.txt", 11, "the port of call", true);
  v.AddFolder(20, u"Loop", 2);       // points back at the root: walked once
  v.AddFolder(20, u".hidden", 30);   // skipped
  v.AddFile(30, u"port.txt", 12, "x");
  v.AddFile(VirtualHandle(kLostFilesMarker), u"lost-port.bin", 13, "zz");
  WorkerToken token;
  SearchResults results;
  SearchRequest request;
  request.text = u"port";
  EXPECT_EQ(Search(v, DisplayFilter{}, request, token, results), SearchEnd::Done);
  EXPECT_EQ(Paths(results), (std::vector<std::u16string>{u"/Report.DOC", u"/Lost files/lost-port.bin"}));

  // Content: found across the 3-byte pieces of the data path.
  SearchResults content;
  request.text = u"*";
  request.advanced = true;
  request.criteria.useData = true;
  request.criteria.dataText = u"PORT OF";
  EXPECT_EQ(Search(v, DisplayFilter{}, request, token, content), SearchEnd::Done);
  EXPECT_EQ(Paths(content), (std::vector<std::u16string>{u"/Sub/notes.txt"}));

  // The display filter's copy decides what is considered.
  DisplayFilter existingOnly;
  existingOnly.flags = show::kMasks | show::kExisting | show::kFiles | show::kFolders;
  SearchResults filtered;
  EXPECT_EQ(Search(v, existingOnly, request, token, filtered), SearchEnd::Done);
  EXPECT_TRUE(Paths(filtered).empty()) << "the deleted file is not shown, so not searched";

  // Folders are results when the filter shows folders; the search lists them anyway to descend.
  DisplayFilter filesOnly;
  filesOnly.flags = show::kMasks | show::kExisting | show::kDeleted | show::kFiles;
  SearchResults files;
  SearchRequest all;
  all.text = u"*";
  EXPECT_EQ(Search(v, filesOnly, all, token, files), SearchEnd::Done);
  EXPECT_EQ(Paths(files), (std::vector<std::u16string>{u"/Report.DOC", u"/Sub/notes.txt", u"/Lost files/lost-port.bin"}));
}

TEST(SearchWalk, TheCapAndAStopEndTheSearch) {
  MemoryVolume v;
  for (int i = 0; i < 20; ++i) v.AddFile(2, u"f" + ToUtf16(std::to_string(i)), 100 + i, "x");
  WorkerToken token;
  SearchResults results;
  SearchRequest request;
  request.text = u"*";
  EXPECT_EQ(Search(v, DisplayFilter{}, request, token, results, {}, 5), SearchEnd::Truncated);
  EXPECT_EQ(results.size(), 5u) << "the results found so far stay";
  token.RequestStop();
  SearchResults stopped;
  EXPECT_EQ(Search(v, DisplayFilter{}, request, token, stopped), SearchEnd::Stopped);
  EXPECT_EQ(stopped.size(), 0u);
}

TEST(SearchRunner, StopsARunningSearchAndTakesAtMostTwoQueuedStarts) {
  MemoryVolume v;
  for (int i = 0; i < 200; ++i) v.AddFile(2, u"f" + ToUtf16(std::to_string(i)), 100 + i, "abc");
  v.slowWrite = std::chrono::milliseconds(5);
  SearchRunner runner([&] { return &v; });
  SearchRequest slow;
  slow.text = u"*";
  slow.advanced = true;
  slow.criteria.useData = true;
  slow.criteria.dataText = u"zzz";  // never found: every file is read
  ASSERT_TRUE(runner.Start(slow, DisplayFilter{}));
  while (v.writes.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(runner.running());
  // Two more starts queue behind the running one; a third is refused.
  SearchRequest quick;
  quick.text = u"f1";
  EXPECT_TRUE(runner.Start(slow, DisplayFilter{}));
  EXPECT_TRUE(runner.Start(quick, DisplayFilter{}));
  EXPECT_FALSE(runner.Start(quick, DisplayFilter{}));
  runner.Wait();
  EXPECT_FALSE(runner.running());
  EXPECT_EQ(runner.lastEnd(), SearchEnd::Done);
  EXPECT_LT(v.writes.load(), 200) << "the first search was stopped, the overtaken one never ran";
  EXPECT_EQ(runner.results().size(), 111u) << "f1, f10..f19, f100..f199: the last start's results only";

  // "&Break search" stops a running search; what it found stays.
  const int before = v.writes.load();
  ASSERT_TRUE(runner.Start(slow, DisplayFilter{}));
  while (v.writes.load() < before + 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  runner.Stop();
  runner.Wait();
  EXPECT_EQ(runner.lastEnd(), SearchEnd::Stopped);
}

}  // namespace
}  // namespace kestrova
