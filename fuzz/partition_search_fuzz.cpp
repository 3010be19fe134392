// Fuzz target: the partition search's per-sector tests and a whole search
// (deep, then fast, with the whole-drive check and the tail pass) over a small
// in-memory drive built from the input.
#include "common/worker_token.h"
#include "device/memory_block_source.h"
#include "device/sector_device.h"
#include "tools/partition_search.h"
#include "volume/identify.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrova;
  if (size < 1 || size > (1u << 20)) return 0;
  auto shared = std::make_shared<MemoryBlockSource::Shared>();
  shared->data.assign(data + 1, data + size);
  if (shared->data.size() < 160 * 512) shared->data.resize(160 * 512, 0);
  shared->data.resize(shared->data.size() / 512 * 512);
  for (std::size_t at = 0; at + 512 <= shared->data.size(); at += 512) ProbeSector({shared->data.data() + at, 512});

  static ScanFlags scan;
  static SectorDevice device(scan);
  WholeDriveOpener open = [&](SectorDevice& d, FsType type, OpenedVolume& opened) {
    d.Reset();
    VolumeGeometry& g = d.GeometryForMount();
    g.sectorSize = 512;
    g.deviceSectors = shared->data.size() / 512;
    d.Attach(std::make_unique<MemoryBlockSource>(shared), nullptr);
    opened = OpenedVolume{};
    opened.raw.bootSector.assign(512, 0);
    opened.raw.bootSectorRead = d.ReadSectors(0, opened.raw.bootSector, 1) == ReadOk;
    opened.raw.bootSectorCopy = opened.raw.bootSector;
    opened.type = type == FsType::Detect ? QuickFsTest(opened.raw.bootSector) : type;
    return true;
  };
  SilentUi ui;
  for (SearchMode mode : {SearchMode::Deep, SearchMode::Fast}) {
    SearchSetup setup;
    setup.mode = mode;
    setup.position = data[0] & 0x0F;
    PartitionSearch search(device, ui, open, setup);
    WorkerToken token;
    WorkerRunScope scope(token);
    search.Run(token);
  }
  return 0;
}

// Inputs for the run without libFuzzer: zero sectors carrying the marks the
// search looks for (boot signatures, NTFS, ext and ReiserFS superblocks), plus noise.
void FuzzSmokeInput(std::mt19937& rng, std::vector<std::uint8_t>& input) {
  input.assign(1 + 200 * 512, 0);
  for (int k = 0; k < 6; ++k) {
    const std::size_t at = 1 + (rng() % 200) * 512;
    switch (rng() % 5) {
      case 0:
        input[at + 510] = 0x55, input[at + 511] = 0xAA;
        break;
      case 1: {
        const char* oem = "NTFS    ";
        for (int i = 0; i < 8; ++i) input[at + 3 + i] = static_cast<std::uint8_t>(oem[i]);
        input[at + 11] = 0x00, input[at + 12] = 0x02, input[at + 13] = 8;
        input[at + 36] = 0x80, input[at + 38] = 0x80;
        input[at + 40] = static_cast<std::uint8_t>(rng() % 200);
        input[at + 48] = static_cast<std::uint8_t>(rng() % 8);
        input[at + 64] = 0xF6;
        input[at + 510] = 0x55, input[at + 511] = 0xAA;
        break;
      }
      case 2:
        input[at + 56] = 0x53, input[at + 57] = 0xEF;
        input[at + 4] = static_cast<std::uint8_t>(rng());
        input[at + 90] = static_cast<std::uint8_t>(rng() % 3);
        input[at + 32] = static_cast<std::uint8_t>(rng() % 64);
        break;
      case 3: {
        const char* magic = "ReIsEr2Fs";
        for (int i = 0; i < 9; ++i) input[at + 52 + i] = static_cast<std::uint8_t>(magic[i]);
        input[at + 44] = 0x00, input[at + 45] = 0x10;
        break;
      }
      case 4: {
        const char* fat = "FAT32   ";
        for (int i = 0; i < 8; ++i) input[at + 82 + i] = static_cast<std::uint8_t>(fat[i]);
        input[at + 11] = 0x00, input[at + 12] = 0x02, input[at + 13] = 1, input[at + 14] = 4, input[at + 16] = 2;
        input[at + 36] = 2, input[at + 44] = 2;
        input[at + 32] = static_cast<std::uint8_t>(rng() % 200);
        input[at + 510] = 0x55, input[at + 511] = 0xAA;
        break;
      }
    }
  }
  for (int k = 0; k < 64; ++k) input[rng() % input.size()] = static_cast<std::uint8_t>(rng());
  input.resize(1 + rng() % input.size());
}
