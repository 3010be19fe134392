// The free-space scan on crafted volumes: the FAT probes (folder starts,
// fragments), "Lost files" and "Rebuild" through the reader, the run control
// (finish with its question, stop, abort while paused, nothing to scan) and
// the lost-parents rule.
#include "fs/fat/fat_fs_reader.h"
#include "fs/fat/fat_builder.h"
#include "scan/lost_parents.h"
#include "scan/virtual_folders.h"
#include "scanner/lost_paths.h"
#include "scanner/metadata_probes.h"
#include "scanner/scan_driver.h"
#include "common/text.h"
#include "fs/dir_find.h"
#include "raw/scan_items.h"
#include "scan/entry_ops.h"

#include "common/worker_thread.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace kestrova::test {
namespace {

// FAT32, 1 sector per cluster, root at 2. Live folder "A" at 3 (in the root).
// A deleted folder at 5 ("." / ".." -> 3) holds a deleted file with a long
// name at cluster 6 (10 bytes). Its own entry in A is overwritten by NEW.TXT
// unless `keepEntry`, which leaves it deleted there with its long name.
struct LostTreeVolume {
  FatBuilder b{FsType::Fat32, 80000};
  FatContext* ctx = nullptr;

  explicit LostTreeVolume(bool keepEntry) {
    b.Entry(2, 0, "A          ", 0x10, 3, 0);
    b.Chain({3});
    b.DotEntries(3, 0);
    if (keepEntry) {
      b.LongName(3, 3, u"Old folder", true);
      std::uint8_t* e = b.Entry(3, 3, "OLDFOL~1   ", 0x10, 5, 0);
      e[0] = 0xE5;
    } else {
      b.Entry(3, 2, "NEW     TXT", 0x20, 0, 0);
    }
    b.DotEntries(5, 3);
    b.LongName(5, 4, u"Long file name.txt", true);
    std::uint8_t* f = b.Entry(5, 4, "LONGFI~1TXT", 0x20, 6, 10);
    f[0] = 0xE5;
    std::memcpy(b.Cluster(6), "0123456789", 10);
    ctx = &b.Mount();
  }
};

ScanResult RunScan(ScanTarget target, ScanOptions options = {}) {
  WorkerToken token;
  WorkerRunScope running(token);
  ScanDriver driver(target, options);
  return driver.Run(token);
}

TEST(ScanProbes, FolderStartAndPlausibleEntries) {
  struct Case {
    const char* what;
    std::array<std::uint8_t, 96> bytes;
    bool folderStart;
    std::size_t plausible;
  };
  auto entry = [](std::array<std::uint8_t, 96>& a, std::size_t i, const char* name, std::uint8_t attr,
                  std::uint16_t cluster) {
    std::memcpy(a.data() + i * 32, name, 11);
    a[i * 32 + 11] = attr;
    a[i * 32 + 26] = static_cast<std::uint8_t>(cluster);
    a[i * 32 + 27] = static_cast<std::uint8_t>(cluster >> 8);
  };
  std::vector<Case> cases;
  {
    Case c{"dot entries", {}, true, 0};
    entry(c.bytes, 0, ".          ", 0x10, 9);
    entry(c.bytes, 1, "..         ", 0x10, 0);
    c.plausible = 2;
    cases.push_back(c);
  }
  {
    Case c{"two short entries then zeros", {}, false, 2};
    entry(c.bytes, 0, "FILE    TXT", 0x20, 10);
    entry(c.bytes, 1, "\xE5OTHER  BIN", 0x20, 11);
    cases.push_back(c);
  }
  {
    Case c{"cluster beyond the volume", {}, false, 0};
    entry(c.bytes, 0, "FILE    TXT", 0x20, 0xFFF0);
    cases.push_back(c);
  }
  {
    Case c{"attribute above 63", {}, false, 0};
    entry(c.bytes, 0, "FILE    TXT", 0x80, 10);
    cases.push_back(c);
  }
  {
    Case c{"control bytes in the name", {}, false, 0};
    entry(c.bytes, 0, "FI\x01\x02    TXT", 0x20, 10);
    cases.push_back(c);
  }
  {
    Case c{"last long-name part, then a short entry", {}, false, 2};
    c.bytes.fill(0);
    c.bytes[0] = 0x41;
    c.bytes[11] = 0x0F;
    entry(c.bytes, 1, "FILE    TXT", 0x20, 10);
    cases.push_back(c);
  }
  {
    Case c{"long-name part with a cluster word", {}, false, 0};
    c.bytes[0] = 0x41;
    c.bytes[11] = 0x0F;
    c.bytes[26] = 5;
    cases.push_back(c);
  }
  {
    Case c{"middle long-name part", {}, false, 0};
    c.bytes[0] = 0x02;
    c.bytes[11] = 0x0F;
    cases.push_back(c);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(IsFatFolderStartBytes(c.bytes), c.folderStart);
    EXPECT_EQ(PlausibleLeadingEntries(c.bytes, 1000, true), c.plausible);
  }
  EXPECT_EQ(LostFolderName(1234), u"#000001234");
}

TEST(ScanDriverFat, FolderWhoseEntryIsGoneIsListedUnderLostFilesAndRebuild) {
  LostTreeVolume v(false);
  ScanResult r = RunScan({v.b.mem->device, v.b.lists, v.b.ui, v.ctx});
  EXPECT_EQ(r.end, ScanEnd::Finished);
  ASSERT_EQ(v.b.ui.boxes.size(), 1u);  // the end question
  EXPECT_EQ(v.b.ui.boxes[0].text, "Scan finished! Do you want to save results?");
  EXPECT_EQ(v.b.ui.boxes[0].buttons, MsgButtons::YesNo);

  FatFsReader reader(*v.ctx);
  const auto lost = reader.List(VirtualHandle(kLostFilesMarker), {});
  const FoundEntry* folder = nullptr;
  for (const FoundEntry& f : lost)
    if (f.entry.FirstCluster() == 5) folder = &f;
  ASSERT_NE(folder, nullptr);
  EXPECT_EQ(folder->name, u"#000000005");
  EXPECT_EQ(folder->entry.parentLow, 3u);
  // The folder lists its deleted file with its long name; the data comes back.
  bool seen = false;
  for (const FoundEntry& f : reader.List(reader.FolderHandle(folder->entry), {})) {
    if (f.name != u"Long file name.txt") continue;
    seen = true;
    ScanEntry e = f.entry;
    std::vector<std::uint8_t> bytes = reader.ReadRange(e, 0, 100);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "0123456789");
  }
  EXPECT_TRUE(seen);
  // Its parent (cluster 3) is not among the lost entries: one "Rebuild" folder for it.
  const auto rebuilt = reader.List(VirtualHandle(kRebuildMarker), {});
  ASSERT_EQ(rebuilt.size(), 1u);
  EXPECT_EQ(rebuilt[0].name, u"#000000003");
  EXPECT_EQ(r.rebuildCount, 1u);
  bool newFile = false;
  for (const FoundEntry& f : reader.List(reader.FolderHandle(rebuilt[0].entry), {}))
    newFile = newFile || f.name == u"NEW.TXT" || f.name == u"new.txt";
  EXPECT_TRUE(newFile);
  // The same paths resolve through the shared folder walk.
  EXPECT_TRUE(FindFolder(reader, {u"Lost files", u"#000000005"}));
  EXPECT_TRUE(FindFolder(reader, {u"Rebuild", u"#000000003"}));
}

TEST(ScanDriverFat, DeletedFolderWhoseParentStillNamesItKeepsItsName) {
  LostTreeVolume v(true);
  RunScan({v.b.mem->device, v.b.lists, v.b.ui, v.ctx});
  bool found = false;
  std::scoped_lock g(v.b.lists.lost.lock);
  for (std::size_t i = 0; i < v.b.lists.lost.size(); ++i) {
    const ScanEntry e = v.b.lists.lost.at(i);
    if (e.FirstCluster() != 5) continue;
    found = true;
    const std::u16string* name = v.b.lists.lost.NameOf(e);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(*name, u"Old folder");
  }
  EXPECT_TRUE(found);
}

TEST(ScanDriverFat, FolderMetTwiceIsListedOnce) {
  LostTreeVolume v(false);
  RunScan({v.b.mem->device, v.b.lists, v.b.ui, v.ctx});
  const std::size_t first = v.b.lists.lost.size();
  RunScan({v.b.mem->device, v.b.lists, v.b.ui, v.ctx});
  EXPECT_EQ(v.b.lists.lost.size(), first);
}

TEST(ScanDriverFat, StopAndAbortWhilePausedSkipTheQuestion) {
  struct Case {
    const char* what;
    bool pauseFirst;
    ScanEnd end;
  };
  for (const Case& c : {Case{"stopped", false, ScanEnd::Stopped}, Case{"abandoned", true, ScanEnd::Abandoned}}) {
    SCOPED_TRACE(c.what);
    LostTreeVolume v(false);
    ScanDriver driver({v.b.mem->device, v.b.lists, v.b.ui, v.ctx}, {});
    WorkerToken token;
    // Requested before the first block: the walk leaves at its first check.
    if (c.pauseFirst) token.Pause();
    ScanResult r;
    WorkerThread thread(token, [&](WorkerToken& t) { r = driver.Run(t); });
    if (c.pauseFirst) {
      token.WaitUntilParked();
      EXPECT_EQ(driver.Snapshot().state, ScanState::Paused);
      EXPECT_TRUE(token.AbortWhilePaused());
    } else {
      token.RequestStop();
    }
    thread.Join();
    EXPECT_EQ(r.end, c.end);
    EXPECT_TRUE(v.b.ui.boxes.empty());
  }
}

TEST(ScanDriverFat, NoFreeClustersEndsAtOnce) {
  LostTreeVolume v(false);
  v.ctx->volume.freeClusters = 0;
  const ScanResult r = RunScan({v.b.mem->device, v.b.lists, v.b.ui, v.ctx});
  EXPECT_EQ(r.end, ScanEnd::Empty);
  EXPECT_TRUE(v.b.ui.boxes.empty());
}

TEST(ScanDriverFat, ReverseSearchFindsTheFolderToo) {
  LostTreeVolume v(false);
  ScanOptions o;
  o.reverse = true;
  const ScanResult r = RunScan({v.b.mem->device, v.b.lists, v.b.ui, v.ctx}, o);
  EXPECT_EQ(r.end, ScanEnd::Finished);
  EXPECT_TRUE(r.position.flags & kScanPosReverse);
  bool found = false;
  std::scoped_lock g(v.b.lists.lost.lock);
  for (std::size_t i = 0; i < v.b.lists.lost.size(); ++i) found = found || v.b.lists.lost.at(i).FirstCluster() == 5;
  EXPECT_TRUE(found);
}

TEST(ScanDriverRaw, HeaderFindsGoUnderTheirTypeFolderAndComeBack) {
  LostTreeVolume v(false);
  // A JPEG header in a free cluster far from the folders.
  std::uint8_t* c = v.b.Cluster(500);
  // A whole (tiny) JPEG: header segment, start of scan, data and end marker, so that its measure takes it.
  const std::uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',  0x00, 0x01, 0x01, 0x00,
                               0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0xFF, 0xDA, 0x00, 0x02, 0x11, 0x22, 0xFF, 0xD9};
  std::memcpy(c, jpeg, sizeof jpeg);
  const ScanResult r = RunScan({v.b.mem->device, v.b.lists, v.b.ui, v.ctx});
  ASSERT_GE(r.rawCount, 1u);
  FatFsReader reader(*v.ctx);
  const auto types = reader.List(VirtualHandle(kRawFilesMarker), {});
  ASSERT_FALSE(types.empty());
  const FoundEntry* jpg = nullptr;
  for (const FoundEntry& t : types)
    if (t.entry.Kind() == EntryKind::VirtualFolder && t.name == u"JPG") jpg = &t;
  ASSERT_NE(jpg, nullptr);
  const EntryHandle handle = reader.FolderHandle(jpg->entry);
  ASSERT_TRUE(RawTypeOf(handle));
  const auto files = reader.List(handle, {});
  ASSERT_FALSE(files.empty());
  ScanEntry e = files[0].entry;
  EXPECT_EQ(e.Kind(), EntryKind::Raw);
  const auto bytes = reader.ReadRange(e, 0, sizeof jpeg);
  ASSERT_EQ(bytes.size(), sizeof jpeg);
  EXPECT_EQ(std::memcmp(bytes.data(), jpeg, sizeof jpeg), 0);
  EXPECT_TRUE(FindFolder(reader, {u"RAW files", jpg->name}));
}

// The row of the table whose extension is `ext`.
std::uint16_t RowOf(std::string_view ext) {
  for (const ScanItem& item : DefaultScanItemTable())
    if (item.extension == ext) return item.itemIndex;
  ADD_FAILURE() << "no row for " << ext;
  return 0;
}

// A type folder of "RAW files" lists with its type's masks in place of the
// filter's: a mask for other names does not empty it; elsewhere the masks hold.
TEST(RawTypeFolders, TheTypesMasksReplaceTheFiltersMasks) {
  SignatureExtensions exts;
  exts.Set(ItemExtensions(DefaultScanItemTable()));
  EXPECT_EQ(RawTypeMasks(RowOf(".A.txt"), exts), std::vector<std::u16string>{u"*.a.txt"});
  EXPECT_EQ(RawTypeMasks(RowOf(".U.txt"), exts), std::vector<std::u16string>{u"*.u.txt"});
  EXPECT_EQ(RawTypeMasks(RowOf(".jpg"), exts), std::vector<std::u16string>{u"*.jpg"});
  EXPECT_EQ(RawTypeMasks(RowOf(".raf"), exts), (std::vector<std::u16string>{u"*.tif", u"*.raf"}))
      << "a folder shared by two extensions keeps both";

  LostTreeVolume v(false);
  std::uint32_t serial = 1;
  auto addRaw = [&](std::string_view ext) {
    ScanEntry e = MakeScanEntry();
    e.SetKind(EntryKind::Raw);
    e.name = kGeneratedName;
    e.size = 100;
    e.SetRawFirstSector(1000 + serial);
    e.SetRaw(serial++, RowOf(ext));
    std::scoped_lock g(v.b.lists.raw.lock);
    ASSERT_TRUE(v.b.lists.raw.Add(e));
  };
  for (std::string_view ext : {".jpg", ".jpg", ".tif", ".raf", ".A.txt"}) addRaw(ext);
  FatFsReader reader(*v.ctx);
  struct Case {
    const char* what;
    std::u16string masks;
    std::vector<std::u16string> folder;
    std::size_t shown;
  };
  const std::vector<Case> cases = {
      {"no masks", u"", {u"RAW files", u"JPG"}, 2},
      {"a mask for other files", u"*.doc", {u"RAW files", u"JPG"}, 2},
      {"the folder's own extension", u"*.jpg", {u"RAW files", u"JPG"}, 2},
      {"both extensions of TIF", u"*.doc", {u"RAW files", u"TIF"}, 2},
      {"text finds", u"*.bin; *.exe", {u"RAW files", u"TXTa"}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DisplayFilter filter;
    filter.flags = show::kMasks | show::kDeleted | show::kExisting | show::kFiles | show::kFolders;
    filter.masks = DisplayFilter::SplitMasks(c.masks);
    const auto handles = FindFolder(reader, c.folder);
    ASSERT_TRUE(handles);
    EXPECT_EQ(reader.List(handles->back(), filter).size(), c.shown);
    EXPECT_EQ(filter.masks, DisplayFilter::SplitMasks(c.masks)) << "the caller's filter is untouched";
  }
  // The user's masks still decide in the other folders and at the root.
  DisplayFilter docs;
  docs.flags = show::kMasks | show::kDeleted | show::kExisting | show::kFiles | show::kFolders;
  docs.masks = {u"*.doc"};
  for (const FoundEntry& f : reader.List(reader.RootHandle(), docs))
    EXPECT_TRUE(f.dotEntry || IsFolder(f.entry, FsType::Fat32) || f.entry.Kind() == EntryKind::VirtualFolder)
        << ToUtf8(f.name);
}

TEST(LostParents, OneFolderPerMissingParent) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> lost;  // first cluster, parent
    std::vector<std::uint32_t> rebuilt;
  };
  const std::vector<Case> cases = {
      {"two files of one missing parent", {{10, 50}, {11, 50}}, {50}},
      {"parent among the lost", {{50, 60}, {10, 50}}, {60}},
      {"parent 0 and the root", {{10, 0}, {11, 2}}, {}},
      {"two missing parents", {{10, 50}, {11, 70}}, {50, 70}},
      {"parent beyond the marker's 24 bits", {{10, 0x1000000}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResultLists lists;
    lists.Reset();
    for (auto [first, parent] : c.lost) {
      ScanEntry e = MakeScanEntry();
      e.SetFirstCluster(first);
      e.parentLow = parent;
      std::scoped_lock g(lists.lost.lock);
      lists.lost.Add(e);
    }
    EXPECT_EQ(RebuildLostParents(lists, 2), c.rebuilt.size());
    ASSERT_EQ(lists.rebuild.size(), c.rebuilt.size());
    for (std::size_t i = 0; i < c.rebuilt.size(); ++i) {
      const ScanEntry f = lists.rebuild.at(i);
      EXPECT_EQ(f.FirstCluster(), c.rebuilt[i] | 0x11000000u);
      EXPECT_EQ(f.parentLow, 0xFFFFFFFFu);
      EXPECT_EQ(f.rating, rating::kNavigation);
      EXPECT_TRUE(IsRebuildFolder(f));
      EXPECT_EQ(VirtualFolderHandle(f), VirtualHandle(c.rebuilt[i] | 0x11000000u));
    }
  }
}

TEST(LostPaths, FatFolderClimbsItsDotDotChain) {
  struct Case {
    const char* what;
    bool bNamedInA;  // A still lists B
    bool bIsFolder;  // B's cluster still begins with "." and ".."
    std::u16string path;
    std::vector<EntryHandle> handles;
  };
  const std::vector<Case> cases = {
      {"three levels, chain intact", true, true, u"$:\\A\\B\\C", {2, 3, 4, 5}},
      {"B no longer named in A", false, true, u"$:\\Lost files\\C", {VirtualHandle(kLostFilesMarker), 5}},
      {"B overwritten", true, false, u"$:\\Lost files\\C", {VirtualHandle(kLostFilesMarker), 5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FatBuilder b{FsType::Fat32, 80000};
    b.Entry(2, 0, "A          ", 0x10, 3, 0);
    b.Chain({3});
    b.DotEntries(3, 0);
    if (c.bNamedInA) b.Entry(3, 2, "B          ", 0x10, 4, 0);
    b.Chain({4});
    if (c.bIsFolder) b.DotEntries(4, 3);
    b.DotEntries(5, 4);  // C: free, found by the scan
    FatContext& ctx = b.Mount();
    ScanEntry e = MakeScanEntry();
    e.SetFirstCluster(5);
    const LostPath p = LostPathFat(ctx, e, u"C", VolumeRoot('$'));
    EXPECT_EQ(p.path, c.path);
    EXPECT_EQ(p.handles, c.handles);
  }
}

TEST(LostPaths, NtfsParentsFromTheLostList) {
  struct Rec {
    std::uint64_t record, parent;
    std::u16string name;
  };
  struct Case {
    const char* what;
    std::vector<Rec> lost;
    Rec entry;
    std::u16string path;
  };
  const std::vector<Case> cases = {
      {"parent is the root", {}, {40, 5, u"f.txt"}, u"$:\\f.txt"},
      {"two collected parents", {{30, 5, u"A"}, {31, 30, u"B"}}, {40, 31, u"f.txt"}, u"$:\\A\\B\\f.txt"},
      {"parent never collected", {{30, 5, u"A"}}, {40, 99, u"f.txt"}, u"$:\\Lost files\\f.txt"},
      {"a loop of parents", {{30, 31, u"A"}, {31, 30, u"B"}}, {40, 31, u"f.txt"}, u"$:\\Lost files\\f.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResultLists lists;
    lists.Reset();
    for (const Rec& r : c.lost) {
      ScanEntry e = MakeScanEntry();
      e.recordNumber = r.record;
      e.SetParentRecord(r.parent);
      std::scoped_lock g(lists.lost.lock);
      lists.lost.Add(e, &r.name);
    }
    ScanEntry e = MakeScanEntry();
    e.recordNumber = c.entry.record;
    e.SetParentRecord(c.entry.parent);
    EXPECT_EQ(LostPathNtfs(lists.lost, e, c.entry.name, VolumeRoot('$')).path, c.path);
  }
}

TEST(ScanPositionRecord, LayoutIsFixed) {
  ScanPosition p = MakeScanPosition();
  p.currentCluster = 0x0102030405060708ull;
  p.reserved = 0xAABBCCDD;
  std::array<std::uint8_t, sizeof p> bytes{};
  std::memcpy(bytes.data(), &p, sizeof p);
  EXPECT_EQ(bytes[0], 0x08);
  EXPECT_EQ(bytes[7], 0x01);
  EXPECT_EQ(bytes[108], 0xDD);
}

}  // namespace
}  // namespace kestrova::test
