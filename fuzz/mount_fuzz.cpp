// Fuzz target: a whole FAT12/16/32, exFAT or NTFS volume from the input, boot
// sector included, mounted the way the explorer mounts it (type from the quick
// test, the readers' hooks, tables loaded), then listed folder by folder and
// every file written to memory. Hostile sizes in the boot sector must neither
// size an allocation nor a loop beyond what the 2 MiB volume holds: run it with
// -rss_limit_mb and -timeout.
#include "common/le.h"
#include "common/ui.h"
#include "device/memory_block_source.h"
#include "fs/exfat/exfat_fs_reader.h"
#include "fs/fat/fat_fs_reader.h"
#include "fs/ntfs/ntfs_fs_reader.h"
#include "scan/result_lists.h"
#include "volume/identify.h"
#include "volume/mount.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <random>
#include <set>
#include <vector>

namespace {

using namespace kestrova;

constexpr std::uint64_t kSectors = 4096;  // 2 MiB
constexpr std::size_t kMaxFolders = 64;

void Walk(FsReader& volume, EntryHandle handle, std::set<EntryHandle>& seen, RecoveryControl& control) {
  if (seen.size() > kMaxFolders || !seen.insert(handle).second) return;
  for (const FoundEntry& f : volume.List(handle, {})) {
    if (f.dotEntry) continue;
    ScanEntry e = f.entry;
    if (IsFolder(e, volume.Type())) {
      Walk(volume, volume.FolderHandle(e), seen, control);
      continue;
    }
    // The size as the entry claims it: the copy must end with the volume's clusters.
    std::vector<std::uint8_t> out;
    OutputSink sink = OutputSink::ToMemory(out, e.size, control);
    volume.Write(e, sink, control);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 512 || size > 256 * 1024) return 0;
  // One buffer for every input: a fresh 2 MiB each time costs more than the mount.
  static const auto shared = std::make_shared<MemoryBlockSource::Shared>();
  shared->data.assign(kSectors * 512, 0);
  std::memcpy(shared->data.data(), data, size);

  static ScanFlags scan;
  static SectorDevice device(scan);
  device.Reset();
  device.Attach(std::make_unique<MemoryBlockSource>(shared), nullptr);
  device.GeometryForMount().deviceSectors = kSectors;
  SilentUi ui;
  OpenedVolume opened;
  opened.raw.bootSector.assign(shared->data.begin(), shared->data.begin() + 512);
  opened.raw.bootSectorRead = true;
  opened.type = QuickFsTest(opened.raw.bootSector);

  // The readers' hooks merged as the explorer merges them.
  const DriveSettings settings;
  FatReader fat;
  ExfatReader exfat;
  NtfsReader ntfs;
  const MountHooks fatHooks = fat.Hooks(settings), exfatHooks = exfat.Hooks(settings), ntfsHooks = ntfs.Hooks(settings);
  MountHooks hooks = fatHooks;
  hooks.locateExfat = exfatHooks.locateExfat;
  hooks.loadTables = [&](SectorDevice& d, MountedVolume& m) {
    if (d.fsType == FsType::Exfat) return exfatHooks.loadTables(d, m);
    if (d.fsType == FsType::Ntfs) return ntfsHooks.loadTables(d, m);
    return fatHooks.loadTables(d, m);
  };
  MountRequest request;
  request.depth = 1;
  request.hooks = &hooks;
  MountedVolume mounted;
  if (!MountVolume(device, ui, request, opened, mounted)) return 0;

  ResultLists lists;
  RecoveryControl control;
  std::set<EntryHandle> seen;
  if (IsFatFamily(device.fsType) && fat.volume.IsFat()) {
    FatContext ctx{device, fat.volume, &lists, nullptr, true};
    FatFsReader volume(ctx);
    Walk(volume, volume.RootHandle(), seen, control);
  } else if (device.fsType == FsType::Exfat && exfat.volume.mounted) {
    ExfatContext ctx{device, exfat.volume, &lists, nullptr};
    ExfatFsReader volume(ctx);
    Walk(volume, volume.RootHandle(), seen, control);
  } else if (device.fsType == FsType::Ntfs && ntfs.volume.mounted && !mounted.damaged) {
    NtfsContext ctx{device, ntfs.volume, &lists};
    CollectMft(ctx, ui);
    NtfsFsReader volume(ctx);
    Walk(volume, volume.RootHandle(), seen, control);
  }
  return 0;
}

namespace {

void Put(std::vector<std::uint8_t>& v, std::size_t at, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) v[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A short FAT entry with dates the listing accepts.
void FatEntry(std::vector<std::uint8_t>& v, std::size_t at, const char* name11, std::uint8_t attr,
              std::uint32_t cluster, std::uint32_t bytes) {
  if (at + 32 > v.size()) return;
  std::memcpy(&v[at], name11, 11);
  v[at + 11] = attr;
  for (std::size_t field : {16u, 18u, 24u}) Put(v, at + field, 0x5821, 2);
  Put(v, at + 20, cluster >> 16, 2);
  Put(v, at + 26, cluster & 0xFFFF, 2);
  Put(v, at + 28, bytes, 4);
}

std::uint64_t Pick(std::mt19937& rng, std::initializer_list<std::uint64_t> values) {
  return *(values.begin() + rng() % values.size());
}
std::uint8_t PickByte(std::mt19937& rng, std::initializer_list<std::uint64_t> values) {
  return static_cast<std::uint8_t>(Pick(rng, values));
}
std::uint32_t Pick32(std::mt19937& rng, std::initializer_list<std::uint64_t> values) {
  return static_cast<std::uint32_t>(Pick(rng, values));
}

void Fat(std::mt19937& rng, std::vector<std::uint8_t>& v, int width, int round) {
  Put(v, 3, 0x7461662E73666B6Dull, 8);  // "mkfs.fat"
  Put(v, 11, Pick(rng, {512u, 512u, 4096u, 0u, 1024u}), 2);
  v[13] = PickByte(rng, {1, 1, 4, 8, 0, 128, 255});
  const std::uint32_t reserved = width == 32 ? 32 : 4;
  Put(v, 14, reserved, 2);
  v[16] = PickByte(rng, {2, 2, 1, 0, 255});
  v[21] = 0xF8;
  const std::uint32_t spf = width == 32 ? Pick32(rng, {16, 64, 0, 0x0FFFFFFF, 0xFFFFFFFF}) : Pick32(rng, {16, 32, 0, 0xFFFF});
  const std::uint64_t total = Pick(rng, {kSectors, kSectors, 40960ull, 0xFFFFFFFFull, 0ull, 100ull});
  if (width == 32) {
    Put(v, 36, spf, 4);
    Put(v, 44, Pick(rng, {2u, 2u, 0u, 0x0FFFFFF7u, 0xFFFFFFFFu, 5000u}), 4);
    if (total < 65536 && rng() % 2) Put(v, 19, total, 2);  // the small-volume form
    else Put(v, 32, total, 4);
    Put(v, 82, 0x2020203233544146ull, 8);  // "FAT32   "
  } else {
    Put(v, 17, Pick(rng, {512u, 16u, 0u, 0xFFFFu}), 2);
    Put(v, 22, spf, 2);
    if (total < 65536) Put(v, 19, total, 2);
    else Put(v, 32, total, 4);
    Put(v, 54, width == 12 ? 0x2020203231544146ull : 0x2020203631544146ull, 8);
  }
  // The cases a review found, on the first rounds: 2^32 sectors with 2^28 per
  // FAT, and a FAT16 of 2^32 sectors.
  if (round == 0 && width == 32) Put(v, 32, 0xFFFFFFFFu, 4), Put(v, 36, 0x0FFFFFFFu, 4), Put(v, 19, 0, 2);
  if (round == 1 && width == 16) Put(v, 32, 0xFFFFFFFFu, 4), Put(v, 19, 0, 2);
  Put(v, 510, 0xAA55, 2);
  // First table entries, then a root with a file, a folder and a deleted file.
  const std::size_t fat = std::size_t{reserved} * 512;
  Put(v, fat, width == 32 ? 0x0FFFFFF8u : 0xFFF8u, width == 32 ? 4 : 2);
  for (std::size_t i = 8; i < 64; i += 4) Put(v, fat + i, rng() % 3 ? i / 4 + 1 : rng(), 4);
  const std::size_t root = (reserved + 2 * std::size_t{spf % 4096}) * 512;  // the data area or the fixed root
  const std::uint32_t size = Pick32(rng, {5u, 70000u, 0xFFFFFFFFu, 0u});
  FatEntry(v, root, "FILE    BIN", 0x20, Pick32(rng, {3u, 9u, 0u, 0x0FFFFFF0u}), size);
  FatEntry(v, root + 32, "DIR        ", 0x10, Pick32(rng, {4u, 2u, 0xFFFFFFFFu}), 0);
  FatEntry(v, root + 64, "GONE    BIN", 0x20, 6, 0xFFFFFFFFu);
  if (root + 64 < v.size()) v[root + 64] = 0xE5;
}

void Exfat(std::mt19937& rng, std::vector<std::uint8_t>& v, int round) {
  Put(v, 3, 0x2020205441465845ull, 8);  // "EXFAT   "
  Put(v, 72, Pick(rng, {kSectors, kSectors, ~0ull, 1ull << 40}), 8);
  Put(v, 80, 24, 4);
  Put(v, 84, Pick(rng, {8u, 8u, 0u, 0xFFFFFFFFu}), 4);
  Put(v, 88, 64, 4);
  Put(v, 92, Pick(rng, {1000u, (kSectors - 64) / 8, 0xFFFFFFFEu, 0xFFFFFFF5u, 0u}), 4);
  Put(v, 96, Pick(rng, {4u, 4u, 0u, 0xFFFFFFFFu}), 4);
  v[108] = PickByte(rng, {9, 9, 12, 8, 255});
  v[109] = PickByte(rng, {3, 3, 3, 3, 3, 3, 3, 0, 16, 25, 255});  // huge clusters: rarely, they cost time
  v[110] = PickByte(rng, {1, 2, 0, 255});
  if (round == 2) Put(v, 92, 0xFFFFFFFEu, 4), v[108] = 9, v[109] = 3;
  Put(v, 510, 0xAA55, 2);
  Put(v, 24 * 512, 0xFFFFFFF8u, 4);
  Put(v, 24 * 512 + 4, 0xFFFFFFFFu, 4);
  for (std::size_t c = 2; c < 16; ++c) Put(v, 24 * 512 + 4 * c, rng() % 3 ? 0xFFFFFFFFu : rng(), 4);
  // Root at cluster 4 (heap at 64, 8 sectors a cluster): a file claiming 2^63 bytes.
  const std::size_t root = (64 + 2 * 8) * 512;
  v[root] = 0x81;
  Put(v, root + 20, 2, 4);
  Put(v, root + 24, 1024, 8);
  const std::size_t set = root + 32;
  v[set] = 0x85;
  v[set + 1] = 2;
  Put(v, set + 4, 0x20, 2);
  v[set + 32] = 0xC0;
  v[set + 33] = PickByte(rng, {1, 3});  // allocation possible, maybe no FAT chain
  v[set + 35] = 4;
  Put(v, set + 32 + 8, Pick(rng, {1ull << 63, 5ull, ~0ull}), 8);
  Put(v, set + 32 + 20, Pick(rng, {5u, 2u, 0xFFFFFFFFu}), 4);
  Put(v, set + 32 + 24, Pick(rng, {1ull << 63, 5ull, ~0ull}), 8);
  v[set + 64] = 0xC1;
  Put(v, set + 64 + 2, 'h', 2);
  Put(v, set + 64 + 4, 'u', 2);
  Put(v, set + 64 + 6, 'g', 2);
  Put(v, set + 64 + 8, 'e', 2);
  std::uint16_t sum = 0;
  for (std::size_t k = 0; k < 96; ++k)
    if (k != 2 && k != 3) sum = static_cast<std::uint16_t>(((sum << 15) | (sum >> 1)) + v[set + k]);
  Put(v, set + 2, sum, 2);
}

void Ntfs(std::mt19937& rng, std::vector<std::uint8_t>& v) {
  Put(v, 3, 0x202020205346544Eull, 8);  // "NTFS    "
  Put(v, 11, Pick(rng, {512u, 512u, 4096u, 256u, 0u, 1024u}), 2);
  v[13] = PickByte(rng, {8, 1, 0, 0x80, 0xF4, 0xFF});
  v[21] = 0xF8;
  Put(v, 36, 0x00800080, 4);
  Put(v, 40, Pick(rng, {kSectors - 1, ~0ull, 0ull, 1ull << 40}), 8);
  Put(v, 48, Pick(rng, {4ull, 4ull, 1ull << 47, ~0ull}), 8);
  Put(v, 56, 2, 8);
  v[64] = PickByte(rng, {0xF6, 0xF6, 0x80, 0x7F, 1, 0xF4, 0xE0});
  Put(v, 510, 0xAA55, 2);
  // Record 0 at cluster 4 names "$MFT" with a run list the input shapes.
  const std::size_t rec = 4 * 8 * 512;
  std::memcpy(&v[rec], "FILE", 4);
  Put(v, rec + 4, 48, 2);
  Put(v, rec + 6, 3, 2);
  Put(v, rec + 20, 56, 2);
  Put(v, rec + 22, 1, 2);
  Put(v, rec + 24, 1024, 4);
  for (std::size_t i = 56; i < 400; ++i) v[rec + i] = static_cast<std::uint8_t>(rng() % 4 ? 0 : rng());
  Put(v, rec + 56, 0x80, 4);
  Put(v, rec + 60, 0x48, 4);
  v[rec + 64] = 1;
  Put(v, rec + 56 + 0x20, 0x40, 2);
  Put(v, rec + 56 + 0x30, Pick(rng, {16384ull, 1ull << 62}), 8);
  const std::uint8_t runs[] = {0x11, 0x10, 0x04, 0x00};
  std::memcpy(&v[rec + 56 + 0x40], runs, sizeof runs);
  Put(v, rec + 56 + 0x48, 0xFFFFFFFFu, 4);
}

}  // namespace

// Smoke inputs: each file system's boot sector with sizes from tables of sane
// and hostile values; the first rounds are the crafted cases a review found.
void FuzzSmokeInput(std::mt19937& rng, std::vector<std::uint8_t>& input) {
  static int round = 0;
  input.assign(64 * 1024, 0);
  switch (round % 5) {
    case 0: Fat(rng, input, 32, round); break;
    case 1: Fat(rng, input, 16, round); break;
    case 2: Exfat(rng, input, round); break;
    case 3: Fat(rng, input, 12, round); break;
    default: Ntfs(rng, input); break;
  }
  ++round;
}
