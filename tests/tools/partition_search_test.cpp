// The partition search's rules on crafted sectors: what each sector test
// accepts, the start corrections, validation, the list's one-entry-per-start
// rule and its capacity, the statuses, and the .kvsp file with its loader's checks.
#include "common/text.h"
#include "explore/partition_finder.h"
#include "support/crafted.h"
#include "support/temp_dir.h"
#include "tools/partition_search.h"
#include "tools/partition_session.h"
#include "common/le.h"
#include "volume/identify.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <filesystem>
#include <map>
#include <set>

namespace kestrova {
namespace {

using test::PutLe16;
using test::PutLe32;
using test::PutLe64;
using test::PutText;

std::vector<std::uint8_t> Sector() { return std::vector<std::uint8_t>(512, 0); }

TEST(PartitionSearchProbe, EachSectorTestAcceptsItsOwnMarksOnly) {
  struct Case {
    const char* what;
    void (*make)(std::uint8_t*);
    SectorHint hint;
    std::uint64_t extOffset;
  };
  const Case cases[] = {
      {"zeros", [](std::uint8_t*) {}, SectorHint::None, 0},
      {"boot signature", [](std::uint8_t* s) { PutLe16(s + 510, 0xAA55); }, SectorHint::BootSignature, 0},
      {"NTFS", [](std::uint8_t* s) { test::WriteNtfsBoot(s, 1000, 1); }, SectorHint::NtfsBoot, 0},
      {"NTFS with 4 KiB sectors is no 512-byte backup",
       [](std::uint8_t* s) { test::WriteNtfsBoot(s, 1000, 1); PutLe16(s + 11, 4096); }, SectorHint::BootSignature, 0},
      {"NTFS without its media word",
       [](std::uint8_t* s) { test::WriteNtfsBoot(s, 1000, 1); PutLe32(s + 36, 0); }, SectorHint::BootSignature, 0},
      {"ext primary", [](std::uint8_t* s) { PutLe16(s + 56, 0xEF53); }, SectorHint::ExtSuperblock, 1024},
      {"ext with 4 KiB blocks", [](std::uint8_t* s) { PutLe16(s + 56, 0xEF53); PutLe32(s + 24, 2); PutLe32(s + 28, 2); },
       SectorHint::ExtSuperblock, 1024},
      {"ext bigalloc (cluster size differs)", [](std::uint8_t* s) { PutLe16(s + 56, 0xEF53); PutLe32(s + 28, 4); },
       SectorHint::None, 0},
      {"ext absurd block size", [](std::uint8_t* s) { PutLe16(s + 56, 0xEF53); PutLe32(s + 24, 16); PutLe32(s + 28, 16); },
       SectorHint::None, 0},
      {"ext backup of group 3, 1 KiB blocks, 8192 per group",
       [](std::uint8_t* s) { PutLe16(s + 56, 0xEF53); PutLe32(s + 20, 1); PutLe32(s + 32, 8192); PutLe16(s + 90, 3); },
       SectorHint::ExtSuperblock, (1 + 3 * 8192) * 1024ull},
      {"ext backup without blocks per group",
       [](std::uint8_t* s) { PutLe16(s + 56, 0xEF53); PutLe16(s + 90, 3); }, SectorHint::ExtSuperblock, 0},
      {"ReiserFS 3.5", [](std::uint8_t* s) { PutText(s + 52, "ReIsErFs"); }, SectorHint::ReiserSuperblock, 0},
      {"ReiserFS 3.6", [](std::uint8_t* s) { PutText(s + 52, "ReIsEr2Fs"); }, SectorHint::ReiserSuperblock, 0},
      {"ReiserFS relocated journal", [](std::uint8_t* s) { PutText(s + 52, "ReIsEr3Fs"); }, SectorHint::ReiserSuperblock, 0},
      {"not ReiserFS", [](std::uint8_t* s) { PutText(s + 52, "ReIsEr4Fs"); }, SectorHint::None, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto s = Sector();
    c.make(s.data());
    const SectorProbe p = ProbeSector(s);
    EXPECT_EQ(p.hint, c.hint);
    EXPECT_EQ(p.extOffsetBytes, c.extOffset);
  }
  // Short spans are nothing.
  EXPECT_EQ(ProbeSector(std::span<const std::uint8_t>(Sector()).first(511)).hint, SectorHint::None);
}

TEST(PartitionSearchProbe, LoaderNamesMarkAPrimaryNtfsBootSector) {
  auto next = Sector();
  EXPECT_FALSE(NamesNtLoader(next));
  const char16_t* names[] = {u"NTLDR", u"BOOTMGR"};
  for (const char16_t* name : names) {
    auto s = Sector();
    for (std::size_t i = 0; name[i]; ++i) s[100 + 2 * i] = static_cast<std::uint8_t>(name[i]);
    EXPECT_TRUE(NamesNtLoader(s));
    // Beyond the first 256 bytes it does not count.
    auto late = Sector();
    for (std::size_t i = 0; name[i]; ++i) late[300 + 2 * i] = static_cast<std::uint8_t>(name[i]);
    EXPECT_FALSE(NamesNtLoader(late));
  }
}

// A crafted drive of 4096 sectors: FAT32 at 100 (backup boot at 106, FAT at
// 132, root at 260) and an NTFS volume at 1000..1999 whose primary boot
// sector is gone (backup at 1999, MFT record 0 at 1032).
struct CraftedDrive {
  test::MemDevice mem{test::Image(4096 * 512, 0)};
  SilentUi ui;

  CraftedDrive() {
    test::WriteFat32Boot(mem.at(100), 2000, 0x1234, "CRAFTFAT", 1, 64);
    std::memcpy(mem.at(106), mem.at(100), 512);
    PutLe32(mem.at(132), 0x0FFFFFF8);
    PutLe32(mem.at(196), 0x0FFFFFF8);
    RootEntry(0, "CRAFTFAT   ", 0x08, 0);
    RootEntry(1, "FILE    TXT", 0x20, 3);
    test::WriteNtfsBoot(mem.at(1999), 999, 0xABCD, 4);
    PutText(mem.at(1032), "FILE");
  }
  void RootEntry(int i, const char* name, std::uint8_t attr, std::uint32_t cluster) {
    std::uint8_t* e = mem.at(260) + i * 32;
    std::memcpy(e, name, 11);
    e[11] = attr;
    PutLe16(e + 20, static_cast<std::uint16_t>(cluster >> 16));
    PutLe16(e + 26, static_cast<std::uint16_t>(cluster));
  }
  WholeDriveOpener Opener() {
    return [this](SectorDevice& d, FsType type, OpenedVolume& opened) {
      d.Reset();
      d.GeometryForMount().sectorSize = 512;
      d.GeometryForMount().deviceSectors = mem.shared->data.size() / 512;
      d.Attach(std::make_unique<MemoryBlockSource>(mem.shared), nullptr);
      opened = OpenedVolume{};
      opened.raw.bootSector.assign(512, 0);
      opened.raw.bootSectorRead = d.ReadSectors(0, opened.raw.bootSector, 1) == ReadOk;
      opened.type = type == FsType::Detect ? QuickFsTest(opened.raw.bootSector) : type;
      return true;
    };
  }
  std::vector<DriveEntry> Run(SearchMode mode) {
    SearchSetup setup;
    setup.mode = mode;
    PartitionSearch search(mem.device, ui, Opener(), setup);
    WorkerToken token;
    WorkerRunScope scope(token);
    search.Run(token);
    EXPECT_TRUE(search.finished());
    return search.Results();
  }
};

TEST(PartitionSearchCrafted, FindsEachVolumeOnceInBothModes) {
  for (SearchMode mode : {SearchMode::Deep, SearchMode::Fast}) {
    SCOPED_TRACE(mode == SearchMode::Deep ? "deep" : "fast");
    CraftedDrive drive;
    std::set<std::uint64_t> starts;
    for (const DriveEntry& e : drive.Run(mode))
      if (!IsForcedWholeDrive(e)) {
        EXPECT_TRUE(starts.insert(std::uint64_t{e.start}).second) << "twice: " << e.start;
      }
    EXPECT_EQ(starts, (std::set<std::uint64_t>{100, 1000}));
  }
}

TEST(PartitionSearchCrafted, NtfsFromItsBackupAndFat32FromABootCopy) {
  CraftedDrive drive;
  std::memset(drive.mem.at(100), 0, 512);  // only the copy at 106 is left
  const auto results = drive.Run(SearchMode::Deep);
  std::map<std::uint64_t, DriveEntry> by;
  for (const DriveEntry& e : results) by[std::uint64_t{e.start}] = e;
  ASSERT_TRUE(by.count(100));
  EXPECT_EQ(EntryFsName(by[100]), u"FAT32");
  ASSERT_TRUE(by.count(1000));
  EXPECT_EQ(EntryFsName(by[1000]), u"NTFS");
  EXPECT_TRUE(by[1000].bootDamaged);
  EXPECT_EQ(+by[1000].sectors, 1000u);  // up to and with the backup
  EXPECT_EQ(+by[1000].damagedResult, 0);  // its MFT is there
}

TEST(PartitionSearchCrafted, Fat32CopyTwoSectorsInIsMovedBack) {
  CraftedDrive drive;
  std::memcpy(drive.mem.at(102), drive.mem.at(100), 512);
  std::memset(drive.mem.at(100), 0, 512);
  std::memset(drive.mem.at(106), 0, 512);
  std::set<std::uint64_t> starts;
  for (const DriveEntry& e : drive.Run(SearchMode::Deep)) starts.insert(std::uint64_t{e.start});
  EXPECT_TRUE(starts.count(100));
  EXPECT_FALSE(starts.count(102));
}

TEST(PartitionSearchCrafted, Fat32RootDirectoryDecidesDamaged) {
  struct Case {
    const char* what;
    void (*change)(CraftedDrive&);
    bool valid;
  };
  const Case cases[] = {
      {"label and a file", [](CraftedDrive&) {}, true},
      {"a file at cluster 0", [](CraftedDrive& d) { d.RootEntry(1, "FILE    TXT", 0x20, 0); PutLe32(d.mem.at(260) + 32 + 28, 10); }, false},
      {"an empty file at cluster 0", [](CraftedDrive& d) { d.RootEntry(1, "FILE    TXT", 0x20, 0); }, true},
      {"a folder at cluster 1", [](CraftedDrive& d) { d.RootEntry(1, "DIR        ", 0x10, 1); }, false},
      {"an attribute of 100", [](CraftedDrive& d) { d.RootEntry(1, "FILE    TXT", 100, 3); }, false},
      {"a cluster beyond the volume", [](CraftedDrive& d) { d.RootEntry(1, "FILE    TXT", 0x20, 5000); }, false},
      {"an empty root", [](CraftedDrive& d) { std::memset(d.mem.at(260), 0, 512); }, false},
      {"long-name parts only",
       [](CraftedDrive& d) {
         std::memset(d.mem.at(260), 0, 512);
         d.RootEntry(0, "AAAAAAAAAAA", 0x0F, 0);
       },
       false},
      {"the label alone", [](CraftedDrive& d) { std::memset(d.mem.at(260) + 32, 0, 32); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CraftedDrive drive;
    c.change(drive);
    SearchSetup setup;
    PartitionSearch search(drive.mem.device, drive.ui, drive.Opener(), setup);
    DriveEntry e = MakeDriveEntry();
    SetEntryFsName(e, u"FAT32");
    e.start = 100;
    e.sectors = 2000;
    bool notValidatable = true;
    EXPECT_EQ(search.ValidateResult(e, notValidatable), c.valid);
    EXPECT_FALSE(notValidatable);
  }
  // Types without a test are valid but cannot be skipped over.
  CraftedDrive drive;
  PartitionSearch search(drive.mem.device, drive.ui, drive.Opener(), SearchSetup{});
  for (const char16_t* fs : {u"EXFAT", u"Ext", u"FAT16"}) {
    DriveEntry e = MakeDriveEntry();
    SetEntryFsName(e, fs);
    bool notValidatable = false;
    EXPECT_TRUE(search.ValidateResult(e, notValidatable));
    EXPECT_EQ(notValidatable, std::u16string(fs) != u"EXFAT");
  }
}

TEST(PartitionSearchCrafted, AddResultListsEachStartOnceAndStopsAtItsCapacity) {
  CraftedDrive drive;
  PartitionSearch search(drive.mem.device, drive.ui, drive.Opener(), SearchSetup{});
  DriveEntry e = MakeDriveEntry();
  SetEntryFsName(e, u"Ext");
  e.start = 5;
  e.sectors = 0;
  EXPECT_FALSE(search.AddResult(e, true));  // no size
  e.sectors = 10;
  EXPECT_TRUE(search.AddResult(e, true));
  EXPECT_FALSE(search.AddResult(e, true));  // same start
  DriveEntry whole = e;
  whole.start = 0;
  SetEntryFsName(whole, u"FAT32(-)");
  DriveEntry atZero = e;
  atZero.start = 0;
  EXPECT_TRUE(search.AddResult(whole, true));
  EXPECT_TRUE(search.AddResult(atZero, true));  // a real volume beside the forced whole drive
  EXPECT_FALSE(search.AddResult(whole, true));
  for (std::uint64_t s = 100; search.ResultCount() < kMaxSearchResults; ++s) {
    e.start = s;
    ASSERT_TRUE(search.AddResult(e, true));
  }
  e.start = 99999;
  EXPECT_FALSE(search.AddResult(e, true));
  EXPECT_EQ(search.ResultCount(), kMaxSearchResults);
}

TEST(PartitionSearchStatus, OkLostOrOverwritten) {
  DriveEntry table = MakeDriveEntry();
  table.start = 2048;
  const std::vector<DriveEntry> tables{table};
  struct Case {
    std::uint64_t start;
    const char16_t* fs;
    int damaged;
    PartitionStatus status;
  };
  const Case cases[] = {
      {2048, u"NTFS", 0, PartitionStatus::Ok},
      {2048, u"NTFS", 1, PartitionStatus::Ok},
      {4096, u"NTFS", 0, PartitionStatus::Lost},
      {4096, u"NTFS", 1, PartitionStatus::Overwritten},
      {2048, u"FAT32(-)", 0, PartitionStatus::Lost},
  };
  for (const Case& c : cases) {
    DriveEntry e = MakeDriveEntry();
    e.start = c.start;
    SetEntryFsName(e, c.fs);
    e.damagedResult = c.damaged;
    EXPECT_EQ(StatusOf(e, tables), c.status) << c.start << " " << ToUtf8(c.fs);
  }
}

class PartitionSessionFile : public test::TempDirTest {
 protected:
  PartitionSessionFile() : TempDirTest("kestrova-kvsp") {}
};

PartitionSession SampleSession() {
  PartitionSession s;
  s.name = u"/images/disk.img";
  s.deviceSectors = 100000;
  s.mode = 1;
  s.position = 4321;
  for (std::uint64_t start : {2048u, 71680u}) {
    DriveEntry e = MakeDriveEntry();
    e.start = start;
    e.sectors = 1000;
    SetEntryFsName(e, u"NTFS");
    SetEntryLabel(e, u"DATA");
    e.damagedResult = start == 71680 ? 1 : 0;
    e.foundAt[0] = 2026;
    s.results.push_back(e);
  }
  return s;
}

std::vector<std::uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST_F(PartitionSessionFile, RoundTripKeepsTheLayoutAndEveryField) {
  const std::string path = P("s.kvsp");
  const PartitionSession s = SampleSession();
  ASSERT_EQ(SavePartitionSession(path, s), SessionFileStatus::Ok);
  const auto bytes = ReadAll(path);
  ASSERT_EQ(bytes.size(), 1052u + 2 * 671u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "KVSP");
  EXPECT_EQ(bytes[4], '/');
  EXPECT_EQ(bytes[5], 0);
  EXPECT_EQ(LoadLe64(bytes, 1028), 100000u);
  EXPECT_EQ(LoadLe32(bytes, 1036), 1u);
  EXPECT_EQ(LoadLe64(bytes, 1040), 4321u);
  EXPECT_EQ(LoadLe32(bytes, 1048), 2u);
  EXPECT_TRUE(IsPartitionSessionFile(path));
  EXPECT_FALSE(std::filesystem::exists(path + ".part"));

  PartitionSession back;
  ASSERT_EQ(LoadPartitionSession(path, back), SessionFileStatus::Ok);
  EXPECT_EQ(back.name, s.name);
  EXPECT_EQ(back.deviceSectors, s.deviceSectors);
  EXPECT_EQ(back.mode, s.mode);
  EXPECT_EQ(back.position, s.position);
  ASSERT_EQ(back.results.size(), 2u);
  EXPECT_EQ(std::memcmp(&back.results[1], &s.results[1], sizeof(DriveEntry)), 0);
  EXPECT_EQ(+back.results[1].damagedResult, 1);
}

TEST_F(PartitionSessionFile, LoaderRefusesWhatDoesNotFitTheFile) {
  const std::string path = P("s.kvsp");
  ASSERT_EQ(SavePartitionSession(path, SampleSession()), SessionFileStatus::Ok);
  const auto good = ReadAll(path);
  struct Case {
    const char* what;
    void (*damage)(std::vector<std::uint8_t>&);
    SessionFileStatus status;
  };
  const Case cases[] = {
      {"intact", [](std::vector<std::uint8_t>&) {}, SessionFileStatus::Ok},
      {"other magic", [](std::vector<std::uint8_t>& b) { b[0] = 'X'; }, SessionFileStatus::NotSession},
      {"empty", [](std::vector<std::uint8_t>& b) { b.clear(); }, SessionFileStatus::NotSession},
      {"header cut", [](std::vector<std::uint8_t>& b) { b.resize(1000); }, SessionFileStatus::Corrupt},
      {"last entry cut", [](std::vector<std::uint8_t>& b) { b.pop_back(); }, SessionFileStatus::Corrupt},
      {"bytes after the entries", [](std::vector<std::uint8_t>& b) { b.push_back(0); }, SessionFileStatus::Corrupt},
      {"count larger than the file", [](std::vector<std::uint8_t>& b) { PutLe32(b.data() + 1048, 3); }, SessionFileStatus::Corrupt},
      {"count beyond any file", [](std::vector<std::uint8_t>& b) { PutLe32(b.data() + 1048, 0xFFFFFFFF); }, SessionFileStatus::Corrupt},
      {"mode 2", [](std::vector<std::uint8_t>& b) { PutLe32(b.data() + 1036, 2); }, SessionFileStatus::Corrupt},
      {"position past the drive", [](std::vector<std::uint8_t>& b) { PutLe64(b.data() + 1040, 100001); }, SessionFileStatus::Corrupt},
      {"entry past the drive", [](std::vector<std::uint8_t>& b) { PutLe64(b.data() + 1052 + 4, 100000); }, SessionFileStatus::Corrupt},
      {"entry of no size", [](std::vector<std::uint8_t>& b) { PutLe64(b.data() + 1052 + 12, 0); }, SessionFileStatus::Corrupt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto bytes = good;
    c.damage(bytes);
    PartitionSession out;
    EXPECT_EQ(ParsePartitionSession(bytes, out), c.status);
  }
  // Texts without their terminator are cut, never read past the field.
  auto bytes = good;
  std::memset(bytes.data() + 1052 + 27, 'A', 64);
  PartitionSession out;
  ASSERT_EQ(ParsePartitionSession(bytes, out), SessionFileStatus::Ok);
  EXPECT_EQ(EntryFsName(out.results[0]).size(), 31u);
  EXPECT_EQ(LoadPartitionSession(P("missing.kvsp"), out), SessionFileStatus::CantOpen);
  EXPECT_EQ(LoadPartitionSession(dir.string(), out), SessionFileStatus::CantOpen);
  EXPECT_EQ(SavePartitionSession(P("no/such/folder/s.kvsp"), SampleSession()), SessionFileStatus::CantWrite);
}

TEST(PartitionSearchLog, LinesCarryTheirUtcStamp) {
  const std::uint16_t at[8] = {2024, 7, 1, 2, 9, 5, 3, 0};
  EXPECT_EQ(StampedLogLine(at, u"NTFS detected"), u"2024.07.02-09:05:03 -> NTFS detected");
}

}  // namespace
}  // namespace kestrova
