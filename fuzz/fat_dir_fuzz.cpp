// Fuzz target: FAT folder listing over a small FAT16 or FAT32 volume whose
// table, root directory and first data clusters come from the input.
#include "common/ui.h"
#include "device/memory_block_source.h"
#include "fs/fat/fat_find.h"
#include "volume/identify.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <vector>

namespace {

using namespace kestrova;

constexpr std::uint32_t kTotal = 4096;

void Put16(std::uint8_t* p, std::uint16_t v) { std::memcpy(p, &v, 2); }
void Put32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }

// Boot sector of the chosen type; returns the sector where input bytes start.
std::uint64_t Boot(std::vector<std::uint8_t>& disk, bool fat32) {
  std::uint8_t* b = disk.data();
  b[0] = 0xEB;
  Put16(b + 11, 512);
  b[13] = 1;
  b[16] = 2;
  Put16(b + 510, 0xAA55);
  if (fat32) {
    Put16(b + 14, 32);
    Put32(b + 32, kTotal);
    Put32(b + 36, 16);
    Put32(b + 44, 2);
    std::memcpy(b + 82, "FAT32   ", 8);
    return 32;
  }
  Put16(b + 14, 4);
  Put16(b + 17, 512);
  Put16(b + 19, kTotal);
  Put16(b + 22, 16);
  std::memcpy(b + 54, "FAT16   ", 8);
  return 4;
}

void Walk(FatContext& ctx, std::uint32_t handle, int mode, std::set<std::uint32_t>& stack) {
  for (const FoundEntry& e : ListFolder(ctx, handle, mode)) {
    const std::uint32_t c = e.entry.FirstCluster();
    if (!IsFolder(e.entry, ctx.volume.type) || c < 2 || stack.count(c) || stack.size() > 8) continue;
    stack.insert(c);
    Walk(ctx, c, mode, stack);
    stack.erase(c);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size > 64 * 1024) return 0;
  const bool fat32 = data[0] & 1;
  const int mode = (data[0] >> 1) % 3 == 2 ? 4 : (data[0] >> 1) % 3;
  auto shared = std::make_shared<MemoryBlockSource::Shared>();
  shared->data.assign(std::size_t{kTotal} * 512, 0);
  const std::uint64_t at = Boot(shared->data, fat32);
  // The input covers the FATs, the root (FAT16) and the first clusters.
  std::memcpy(shared->data.data() + at * 512, data + 1, std::min<std::size_t>(size - 1, shared->data.size() - at * 512));

  static ScanFlags scan;
  static SectorDevice device(scan);
  device.Reset();
  device.Attach(std::make_unique<MemoryBlockSource>(shared), nullptr);
  device.GeometryForMount().deviceSectors = kTotal;
  device.GeometryForMount().volumeLastSector = kTotal - 1;

  SilentUi ui;
  OpenedVolume opened;
  opened.raw.bootSector.assign(shared->data.begin(), shared->data.begin() + 512);
  opened.type = QuickFsTest(opened.raw.bootSector);
  FatReader reader;
  DriveSettings settings;
  const MountHooks hooks = reader.Hooks(settings);
  MountRequest r;
  r.depth = 1;
  r.hooks = &hooks;
  MountedVolume mounted;
  if (!MountVolume(device, ui, r, opened, mounted) || !reader.volume.IsFat()) return 0;
  // The lists are large; only the note cache has to start empty each time.
  static ResultLists lists;
  static const bool created = lists.Reset();
  (void)created;
  lists.deleted.Recreate();
  FatContext ctx{device, reader.volume, &lists, nullptr, true};
  std::set<std::uint32_t> stack{reader.volume.rootCluster};
  Walk(ctx, reader.volume.rootCluster, mode, stack);
  return 0;
}

// Smoke inputs: FAT entries, directory entries with long names, dots and deletions.
void FuzzSmokeInput(std::mt19937& rng, std::vector<std::uint8_t>& input) {
  input.assign(1 + 48 * 512, 0);
  input[0] = static_cast<std::uint8_t>(rng());
  std::uint8_t* d = input.data() + 1;
  for (int i = 0; i < 200; ++i) d[rng() % (32 * 512)] = static_cast<std::uint8_t>(rng() % 40);  // FAT area
  for (int e = 0; e < 64; ++e) {
    std::uint8_t* entry = d + 32 * 512 + (rng() % 255) * 32;  // within the 16 sectors after the FATs
    static const char* const kNames[] = {"FILE    TXT", ".          ", "..         ", "DIR        ", "PHOTO   JPG"};
    std::memcpy(entry, kNames[rng() % 5], 11);
    if (rng() % 4 == 0) entry[0] = 0xE5;
    entry[11] = static_cast<std::uint8_t>(rng() % 3 == 0 ? 0x0F : (rng() % 2 ? 0x10 : 0x20));
    Put16(entry + 18, static_cast<std::uint16_t>((44 << 9) | (3 << 5) | 15));
    Put16(entry + 26, static_cast<std::uint16_t>(rng() % 64));
    Put32(entry + 28, static_cast<std::uint32_t>(rng() % 5000));
  }
  input.resize(1 + rng() % input.size());
}
