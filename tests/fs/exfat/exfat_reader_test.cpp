#include "fs/exfat/exfat_find.h"
#include "fs/exfat/exfat_volume.h"
#include "fs/exfat/exfat_fs_reader.h"
#include "fs/fat/fat_fs_reader.h"
#include "fs/ntfs/ntfs_fs_reader.h"
#include "support/crafted.h"
#include "support/recording_ui.h"
#include "volume/identify.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

namespace kestrova {
namespace {

using namespace kestrova::test;

// An exFAT volume in memory: FAT at 24, heap at 64, 8 sectors per cluster,
// bitmap at cluster 2, up-case at 3, root at 4 (WriteExfatBoot's layout).
class ExfatBuilder {
 public:
  ExfatBuilder() : mem(Image(8192 * 512, 0)) {
    WriteExfatBoot(mem.at(0), 8192, 0xE0E0);
    SetFat(4, 0xFFFFFFFF);
    Allocate(2);
    Allocate(3);
    Allocate(4);
    std::uint8_t* root = Cluster(4);
    root[0] = 0x83;
    root[32] = 0x81;
    PutLe32(root + 32 + 20, 2);
    PutLe64(root + 32 + 24, 128);
    root[64] = 0x82;
    PutLe32(root + 64 + 20, 3);
    next_[4] = 3;
  }
  std::uint8_t* Cluster(std::uint32_t c) { return mem.at(64 + std::uint64_t{c - 2} * 8); }
  void SetFat(std::uint32_t c, std::uint32_t v) { PutLe32(mem.at(24) + c * 4, v); }
  void Allocate(std::uint32_t c) { mem.at(64)[(c - 2) / 8] |= static_cast<std::uint8_t>(1u << ((c - 2) % 8)); }

  // An entry set in folder `dir` at its next slot. Returns the slot of the file entry.
  std::size_t Set(std::uint32_t dir, bool deleted, bool folder, const std::u16string& name, std::uint32_t first,
                  std::uint64_t size, int secondary = -1, int nameEntries = -1, bool withStream = true) {
    const int names = nameEntries >= 0 ? nameEntries : static_cast<int>((name.size() + 14) / 15);
    const int count = secondary >= 0 ? secondary : names + 1;
    std::size_t& slot = next_[dir];
    const std::size_t at = slot;
    std::uint8_t* e = Cluster(dir) + slot * 32;
    e[0] = deleted ? 0x05 : 0x85;
    e[1] = static_cast<std::uint8_t>(count);
    PutLe16(e + 4, folder ? 0x10 : 0x20);
    PutLe32(e + 16, (44u << 25) | (5u << 21) | (10u << 16));
    ++slot;
    if (withStream) {
      std::uint8_t* s = Cluster(dir) + slot * 32;
      s[0] = deleted ? 0x40 : 0xC0;
      s[3] = static_cast<std::uint8_t>(name.size());
      PutLe32(s + 20, first);
      PutLe64(s + 24, size);
      ++slot;
    }
    for (int n = 0; n < names; ++n, ++slot) {
      std::uint8_t* t = Cluster(dir) + slot * 32;
      t[0] = deleted ? 0x41 : 0xC1;
      for (std::size_t k = 0; k < 15; ++k) {
        const std::size_t i = static_cast<std::size_t>(n) * 15 + k;
        PutLe16(t + 2 + 2 * k, i < name.size() ? static_cast<std::uint16_t>(name[i]) : 0);
      }
    }
    return at;
  }

  // Sets the stream extension's flags byte of the set at `slot`.
  void SetStreamFlags(std::uint32_t dir, std::size_t slot, std::uint8_t flags) { Cluster(dir)[(slot + 1) * 32 + 1] = flags; }

  ExfatContext& Mount() {
    OpenedVolume opened;
    opened.raw.bootSector.assign(mem.at(0), mem.at(0) + 512);
    opened.type = FsType::Exfat;
    hooks = reader.Hooks(DriveSettings{});
    MountRequest r;
    r.depth = 1;
    r.hooks = &hooks;
    EXPECT_TRUE(MountVolume(mem.device, ui, r, opened, mounted));
    ctx = std::make_unique<ExfatContext>(ExfatContext{mem.device, reader.volume, &lists, nullptr});
    return *ctx;
  }

  MemDevice mem;
  RecordingUi ui;
  ExfatReader reader;
  MountHooks hooks;
  MountedVolume mounted;
  ResultLists lists;
  std::unique_ptr<ExfatContext> ctx;

 private:
  std::map<std::uint32_t, std::size_t> next_;
};

const FoundEntry* Named(const std::vector<FoundEntry>& list, std::u16string_view name) {
  for (const FoundEntry& e : list)
    if (e.name == name) return &e;
  return nullptr;
}

TEST(ExfatVolumeTest, BitmapChainsAndFreeClusters) {
  ExfatBuilder b;
  b.Allocate(10);
  b.SetFat(20, 21);
  b.SetFat(21, 0xFFFFFFFF);
  ExfatContext& ctx = b.Mount();
  const ExfatVolume& v = ctx.volume;
  EXPECT_EQ(v.rootCluster, 4u);
  EXPECT_FALSE(IsExfatClusterFree(v, 10));
  EXPECT_TRUE(IsExfatClusterFree(v, 11));
  EXPECT_FALSE(IsExfatClusterFree(v, 1)) << "clusters 0 and 1 are never free";
  EXPECT_TRUE(IsExfatClusterFree(v, v.lastCluster + 5)) << "beyond the volume";
  EXPECT_EQ(ExfatNextCluster(v, 20), 21u);
  EXPECT_EQ(ExfatNextAssumed(v, 30), 31u) << "an empty FAT entry: contiguous";
  EXPECT_EQ(ExfatNextAssumed(v, 21), 22u) << "the end value: contiguous too";
  EXPECT_EQ(ExfatNextCluster(v, v.lastCluster + 1), kExfatEnd);
  EXPECT_EQ(ExfatChainBytes(v, 20), 2u * 4096);
  EXPECT_EQ(v.freeClusters, std::uint64_t{v.lastCluster} - 1 - 4) << "bitmap, up-case, root and cluster 10";
  EXPECT_EQ(v.map.Get(10), cluster_mark::kAllocated);
  EXPECT_TRUE(CheckExfatRoot(ctx.device, v, 4));
  EXPECT_FALSE(CheckExfatRoot(ctx.device, v, 5));
}

TEST(ExfatEntrySets, BadSetsAreSkippedAndSystemEntriesIgnored) {
  ExfatBuilder b;
  b.Set(4, false, false, u"one count.txt", 10, 10, 1);       // secondary count 1
  b.Set(4, false, false, u"nineteen.txt", 10, 10, 19, 1);    // 19
  b.Set(4, false, false, u"no stream.txt", 10, 10, -1, -1, false);
  b.Set(4, false, false, u"a name of more than fifteen characters.txt", 10, 10, 4, 2);  // too few names
  b.Set(4, false, false, u"good.txt", 10, 10);
  b.Allocate(10);
  ExfatContext& ctx = b.Mount();
  const auto root = ListExfatFolder(ctx, 4);
  ASSERT_EQ(root.size(), 1u) << "label, bitmap and up-case entries are not files; bad sets are skipped";
  EXPECT_EQ(root[0].name, u"good.txt");
  EXPECT_EQ(+root[0].entry.rating, rating::kIntact);
  EXPECT_EQ(+root[0].entry.clusterInUse, 1);
  EXPECT_EQ(+root[0].entry.ExfatTime(), (44u << 25) | (5u << 21) | (10u << 16));
}

TEST(ExfatEntrySets, DeletedFilesFoldersAndPercentages) {
  ExfatBuilder b;
  // A contiguous deleted file whose FAT entries are all 0; its second cluster is in use now.
  b.Set(4, true, false, u"contiguous.bin", 20, 3 * 4096);
  b.Allocate(21);
  // A deleted one-cluster file whose header matches its extension.
  b.Set(4, true, false, u"small.png", 30, 1000);
  std::memcpy(b.Cluster(30), "\x89PNG", 4);
  // A deleted folder whose first cluster was reused.
  b.Set(4, true, true, u"Gone", 40, 4096);
  b.Allocate(40);
  // A deleted JPEG whose header no longer matches.
  b.Set(4, true, false, u"photo.jpg", 50, 8000);
  // A long name over three name entries, cut at its length.
  const std::u16string longName = u"a rather long exFAT name over three name entries.txt";
  b.Set(4, false, false, longName, 60, 5);
  b.Allocate(60);
  ExfatContext& ctx = b.Mount();
  const auto root = ListExfatFolder(ctx, 4);
  const FoundEntry* contiguous = Named(root, u"contiguous.bin");
  ASSERT_TRUE(contiguous);
  EXPECT_EQ(+contiguous->entry.DeletedMark(), 1);
  EXPECT_EQ(+contiguous->entry.rating, 66) << "two of three consecutive clusters free";
  EXPECT_EQ(+Named(root, u"small.png")->entry.rating, rating::kIntact);
  const FoundEntry* gone = Named(root, u"Gone");
  ASSERT_TRUE(gone);
  EXPECT_EQ(gone->entry.Kind(), EntryKind::Overwritten);
  EXPECT_EQ(+gone->entry.rating, 0);
  EXPECT_EQ(Named(root, u"photo.jpg")->entry.Kind(), EntryKind::Overwritten);
  EXPECT_TRUE(Named(root, longName));

  // A sub-folder starts with the synthesised link to its parent.
  b.Set(4, false, true, u"Sub", 70, 4096);
  b.Allocate(70);
  b.Set(70, false, false, u"inner.txt", 71, 3);
  b.Allocate(71);
  ExfatContext& again = b.Mount();
  const auto sub = ListExfatFolder(again, 70, kFindVerify, {}, 4);
  ASSERT_EQ(sub.size(), 2u);
  EXPECT_EQ(sub[0].name, u"..");
  EXPECT_EQ(sub[0].entry.Kind(), EntryKind::ParentLink);
  EXPECT_EQ(+sub[0].entry.FirstCluster(), 4u);
  EXPECT_EQ(ListExfatFolder(again, 70, kFindFreeCluster).size(), 1u) << "mode 6 has no link";
  const auto folders = ListExfatFolder(again, 4, kFindFoldersOnly);
  for (const FoundEntry& f : folders) EXPECT_TRUE(f.entry.attributes & 0x10) << std::string(f.name.begin(), f.name.end());
}

// Damaged chains and sizes must end every walk: each case once hung the listing.
TEST(ExfatEntrySets, LoopingChainsAndHugeSizesEndTheListing) {
  struct Case {
    const char* what;
    std::uint64_t size;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> fat;
  };
  const Case cases[] = {
      {"a FAT entry pointing at itself", 0x7FFFFFFFFFFFFFFFull, {{20, 20}}},
      {"a two-cluster loop", 0xFFFFFFFFFFFFull, {{20, 21}, {21, 20}}},
      {"a loop back to the start after a jump", 1ull << 40, {{20, 90}, {90, 91}, {91, 20}}},
  };
  for (const Case& c : cases) {
    ExfatBuilder b;
    b.Set(4, true, false, u"huge.bin", 20, c.size);
    for (const auto& [from, to] : c.fat) b.SetFat(from, to);
    b.Set(4, false, false, u"after.txt", 30, 10);
    b.Allocate(30);
    ExfatContext& ctx = b.Mount();
    const auto root = ListExfatFolder(ctx, 4);
    const FoundEntry* huge = Named(root, u"huge.bin");
    ASSERT_TRUE(huge) << c.what;
    EXPECT_LE(+huge->entry.rating, 100) << c.what;
    EXPECT_TRUE(Named(root, u"after.txt")) << c.what << ": the entries after it are listed";
  }
}

// NoFatChain: the clusters' FAT entries are stale and must not be followed,
// for the rating of a deleted file and for the data of an existing one.
TEST(ExfatEntrySets, NoFatChainFilesAreContiguousWhateverTheFatSays) {
  ExfatBuilder b;
  // Deleted, 3 clusters from 20; a stale FAT entry sends 20 to the in-use cluster 50.
  const std::size_t deleted = b.Set(4, true, false, u"deleted.bin", 20, 3 * 4096);
  b.SetStreamFlags(4, deleted, 0x03);
  b.SetFat(20, 50);
  b.SetFat(50, 51);
  b.Allocate(50);
  b.Allocate(51);
  // The same without the flag: the chain is followed, as before.
  b.Set(4, true, false, u"chained.bin", 60, 3 * 4096);
  b.SetFat(60, 50);
  // Existing, 2 clusters from 30, with a stale chain 30 -> 50.
  const std::size_t existing = b.Set(4, false, false, u"existing.bin", 30, 2 * 4096);
  b.SetStreamFlags(4, existing, 0x03);
  b.Allocate(30);
  b.Allocate(31);
  b.SetFat(30, 50);
  std::memset(b.Cluster(30), 'a', 4096);
  std::memset(b.Cluster(31), 'b', 4096);
  std::memset(b.Cluster(50), 'X', 4096);
  std::memset(b.Cluster(51), 'Y', 4096);
  ExfatContext& ctx = b.Mount();
  const auto root = ListExfatFolder(ctx, 4);
  ASSERT_TRUE(Named(root, u"deleted.bin") && Named(root, u"chained.bin") && Named(root, u"existing.bin"));
  EXPECT_EQ(+Named(root, u"deleted.bin")->entry.rating, 100) << "clusters 20..22 are all free";
  EXPECT_EQ(+Named(root, u"chained.bin")->entry.rating, 33) << "60, then the in-use 50 and 51";
  EXPECT_EQ(+Named(root, u"existing.bin")->entry.dataForm, kExfatNoFatChain);

  ExfatFsReader volume(ctx);
  ScanEntry e = Named(root, u"existing.bin")->entry;
  std::vector<std::uint8_t> data;
  RecoveryControl control;
  OutputSink sink = OutputSink::ToMemory(data, e.size, control);
  EXPECT_TRUE(volume.Write(e, sink, control).complete);
  ASSERT_EQ(data.size(), 2u * 4096);
  EXPECT_EQ(data[0], 'a');
  EXPECT_EQ(data[4096], 'b') << "the next cluster, not the stale FAT entry's";
}

TEST(ExfatEntrySets, NoFatChainFoldersAreReadAsOneRunWhateverTheFatSays) {
  // Folder "run" at 40..41 (no FAT chain, a stale entry 40 -> 50) and folder
  // "chained" at 60 -> 50 (the chain is the truth): cluster 50 belongs to "chained".
  struct Case {
    const char* what;
    std::uint8_t flags;
    bool listParentFirst;
    std::u16string last;
  };
  const std::vector<Case> cases = {
      {"contiguous, reached through its parent", 0x03, true, u"second.txt"},
      {"chained: the FAT is followed", 0x01, true, u"other.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ExfatBuilder b;
    const std::size_t run = b.Set(4, false, true, u"run", 40, 2 * 4096);
    b.SetStreamFlags(4, run, c.flags);
    b.Set(4, false, true, u"chained", 60, 2 * 4096);
    for (std::uint32_t cl : {40u, 41u, 50u, 60u}) b.Allocate(cl);
    b.SetFat(40, 50);
    b.SetFat(50, 0xFFFFFFFF);
    b.SetFat(60, 50);
    // The first cluster full (32 sets of 4 entries), so the folder goes on in its second.
    for (int i = 0; i < 32; ++i) {
      std::u16string name = u"file-number-00.txt";
      name[12] = static_cast<char16_t>(u'0' + i / 10);
      name[13] = static_cast<char16_t>(u'0' + i % 10);
      b.Set(40, false, false, name, 0, 0);
    }
    b.Set(41, false, false, u"second.txt", 0, 0);
    b.Set(50, false, false, u"other.txt", 0, 0);
    ExfatContext& ctx = b.Mount();
    if (c.listParentFirst) ListExfatFolder(ctx, 4);
    std::vector<std::u16string> names;
    for (const FoundEntry& f : ListExfatFolder(ctx, 40))
      if (!f.dotEntry) names.push_back(f.name);
    ASSERT_EQ(names.size(), 33u);
    EXPECT_EQ(names.front(), u"file-number-00.txt");
    EXPECT_EQ(names.back(), c.last);
  }
}

TEST(ExfatBootCopy, BackupTwelveSectorsInIsRecognised) {
  ExfatBuilder b;
  PutLe32(b.mem.at(24), 0xFFFFFFF8);
  std::memcpy(b.mem.at(12), b.mem.at(0), 512);
  std::uint32_t offset = 0;
  EXPECT_FALSE(CheckExfatBootCopy(b.mem.device, 0, std::span(b.mem.at(0), 512), offset));
  ASSERT_TRUE(CheckExfatBootCopy(b.mem.device, 12, std::span(b.mem.at(12), 512), offset));
  EXPECT_EQ(offset, 12u);
}

}  // namespace
}  // namespace kestrova
