// Fuzz target: exFAT entry sets and folder listing over a small volume whose
// FAT, bitmap and first clusters (the root among them) come from the input.
#include "common/ui.h"
#include "device/memory_block_source.h"
#include "fs/exfat/exfat_find.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <vector>

namespace {

using namespace kestrova;

constexpr std::uint32_t kTotal = 2048;

void Put(std::uint8_t* p, std::uint64_t v, int n) { std::memcpy(p, &v, static_cast<std::size_t>(n)); }

void Walk(ExfatContext& ctx, std::uint32_t handle, int mode, std::set<std::uint32_t>& stack) {
  for (const FoundEntry& e : ListExfatFolder(ctx, handle, mode)) {
    const std::uint32_t c = e.entry.FirstCluster();
    if (e.dotEntry || !(e.entry.attributes & 0x10) || c < 2 || stack.count(c) || stack.size() > 8) continue;
    stack.insert(c);
    Walk(ctx, c, mode, stack);
    stack.erase(c);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size > 64 * 1024) return 0;
  static const int kModes[] = {0, 1, 2, 5, 6};
  const int mode = kModes[data[0] % 5];
  auto shared = std::make_shared<MemoryBlockSource::Shared>();
  shared->data.assign(std::size_t{kTotal} * 512, 0);
  std::uint8_t* b = shared->data.data();
  std::memcpy(b + 3, "EXFAT   ", 8);
  Put(b + 72, kTotal, 8);
  Put(b + 80, 24, 4);   // FAT
  Put(b + 84, 8, 4);
  Put(b + 88, 32, 4);   // heap
  Put(b + 92, (kTotal - 32) / 1, 4);
  Put(b + 96, 4, 4);    // root
  b[108] = 9;
  b[109] = 0;           // one sector per cluster
  b[110] = 1;
  Put(b + 510, 0xAA55, 2);
  // The input: FAT, then the heap (bitmap at cluster 2, root at 4, ...).
  std::memcpy(b + 24 * 512, data + 1, std::min<std::size_t>(size - 1, shared->data.size() - 24 * 512));

  static ScanFlags scan;
  static SectorDevice device(scan);
  device.Reset();
  device.Attach(std::make_unique<MemoryBlockSource>(shared), nullptr);
  device.GeometryForMount().deviceSectors = kTotal;
  device.GeometryForMount().volumeLastSector = kTotal - 1;
  SilentUi ui;
  OpenedVolume opened;
  opened.raw.bootSector.assign(shared->data.begin(), shared->data.begin() + 512);
  opened.type = FsType::Exfat;
  ExfatReader reader;
  const MountHooks hooks = reader.Hooks(DriveSettings{});
  MountRequest r;
  r.depth = 1;
  r.hooks = &hooks;
  MountedVolume mounted;
  if (!MountVolume(device, ui, r, opened, mounted) || !reader.volume.mounted) return 0;
  ExfatContext ctx{device, reader.volume, nullptr, nullptr};
  std::set<std::uint32_t> stack{4};
  Walk(ctx, 4, mode, stack);
  return 0;
}

// A deleted file claiming 2^62 bytes whose first cluster's FAT entry points
// at itself: its rating walk once never ended.
void LoopingChainSeed(std::vector<std::uint8_t>& input) {
  input.assign(1 + 24 * 512, 0);
  std::uint8_t* d = input.data() + 1;
  Put(d + 10 * 4, 10, 4);                  // FAT[10] = 10
  std::uint8_t* root = d + (8 + 2) * 512;  // cluster 4
  root[0] = 0x81;                          // the bitmap, at cluster 2
  Put(root + 20, 2, 4);
  Put(root + 24, 256, 8);
  std::uint8_t* set = root + 32;
  set[0] = 0x05;
  set[1] = 2;
  set[4] = 0x20;
  set[32] = 0x40;
  set[32 + 3] = 4;
  Put(set + 32 + 20, 10, 4);
  Put(set + 32 + 24, 1ull << 62, 8);
  set[64] = 0x41;
  for (int k = 0; k < 4; ++k) Put(set + 64 + 2 + 2 * k, "hang"[k], 2);
}

// Smoke inputs: the seeds of past faults, then entry sets with random counts,
// types and names.
void FuzzSmokeInput(std::mt19937& rng, std::vector<std::uint8_t>& input) {
  static int round = 0;
  if (round++ == 0) {
    LoopingChainSeed(input);
    return;
  }
  input.assign(1 + 24 * 512, 0);
  input[0] = static_cast<std::uint8_t>(rng());
  std::uint8_t* d = input.data() + 1;
  for (int i = 0; i < 40; ++i) d[rng() % (8 * 512)] = static_cast<std::uint8_t>(rng());  // FAT
  std::uint8_t* root = d + (8 + 2) * 512;  // cluster 4
  for (std::size_t slot = 0; slot < 16 * 16; ++slot) {
    std::uint8_t* e = root + slot * 32;
    if (e + 32 > input.data() + input.size()) break;
    static const std::uint8_t kTypes[] = {0x85, 0x05, 0xC0, 0x40, 0xC1, 0x41, 0x81, 0x83};
    e[0] = kTypes[rng() % 8];
    e[1] = static_cast<std::uint8_t>(rng() % 20);
    e[3] = static_cast<std::uint8_t>(rng() % 40);
    e[4] = static_cast<std::uint8_t>(rng() % 2 ? 0x10 : 0x20);
    Put(e + 20, rng() % 64, 4);
    Put(e + 24, rng() % 100000, 8);
    Put(e + 2, 'a' + rng() % 26, 2);
  }
  input.resize(1 + rng() % input.size());
}
