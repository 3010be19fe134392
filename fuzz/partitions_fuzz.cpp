// Fuzz target: the partition listing and the mount over a small in-memory
// device built from the input (its sectors), with hostile tables, chains and
// boot-sector values.
#include "common/ui.h"
#include "device/memory_block_source.h"
#include "device/sector_device.h"
#include "volume/list_partitions.h"
#include "volume/mount.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrova;
  if (size < 1 || size > (1u << 20)) return 0;
  auto shared = std::make_shared<MemoryBlockSource::Shared>();
  shared->data.assign(data + 1, data + size);
  if (shared->data.size() < 64 * 512) shared->data.resize(64 * 512, 0);
  shared->data.resize(shared->data.size() / 512 * 512);
  static ScanFlags scan;
  static SectorDevice device(scan);
  device.Reset();
  device.Attach(std::make_unique<MemoryBlockSource>(shared), nullptr);
  device.GeometryForMount().deviceSectors = shared->data.size() / 512;

  std::vector<DriveEntry> damaged;
  IdentifyContext ctx{device, 0, nullptr, &damaged};
  const PartitionListing listing = ListPartitions(ctx, device.deviceSectors);

  // Mount what sector 0 says, with the first byte choosing the request.
  SilentUi ui;
  OpenedVolume opened;
  opened.raw.bootSector.assign(shared->data.begin(), shared->data.begin() + 512);
  opened.raw.bootSectorRead = true;
  opened.type = QuickFsTest(opened.raw.bootSector);
  MountRequest request;
  const std::uint8_t control = data[0];
  if (control & 0x80) request.request = static_cast<FsType>(1 + control % 6);
  if (control & 0x40) {
    request.settings.overrideFs = true;
    request.settings.fsChoice = static_cast<std::uint8_t>(control % 4);
    request.settings.clusterChoice = static_cast<std::uint8_t>((control >> 2) % 18);
    request.settings.manualStart = control & 0x20 ? 7 : 0;
    request.settings.manualCount = control & 0x20 ? 40 : 0;
  }
  request.partitionCount = listing.volumes.empty() ? 0 : listing.volumes.front().sectors;
  MountedVolume mounted;
  MountVolume(device, ui, request, opened, mounted);
  return 0;
}

// Smoke inputs: an MBR with random entries, extended records and boot sectors.
void FuzzSmokeInput(std::mt19937& rng, std::vector<std::uint8_t>& input) {
  input.assign(1 + 96 * 512, 0);
  std::uint8_t* disk = input.data() + 1;
  input[0] = static_cast<std::uint8_t>(rng());
  for (int record = 0; record < 4; ++record) {
    std::uint8_t* s = disk + (record == 0 ? 0 : (rng() % 96)) * 512;
    for (int slot = 0; slot < 4; ++slot) {
      std::uint8_t* e = s + 446 + 16 * slot;
      e[0] = rng() % 4 == 0 ? 0x80 : 0;
      static const std::uint8_t kTypes[] = {0x05, 0x0F, 0x85, 0xEE, 0x07, 0x0C, 0x06, 0x83};
      e[4] = kTypes[rng() % 8];
      const auto first = static_cast<std::uint32_t>(rng() % 120), count = static_cast<std::uint32_t>(rng() % 200);
      std::memcpy(e + 8, &first, 4);
      std::memcpy(e + 12, &count, 4);
    }
    s[510] = 0x55;
    s[511] = 0xAA;
  }
  if (rng() % 3 == 0) std::memcpy(disk + 512, "EFI PART", 8), disk[512 + 72] = static_cast<std::uint8_t>(2 + rng() % 4);
  static const char* const kMagics[] = {"NTFS    ", "EXFAT   ", "FAT32   "};
  for (int k = 0; k < 3; ++k) {
    std::uint8_t* b = disk + (rng() % 96) * 512;
    const char* magic = kMagics[rng() % 3];
    std::memcpy(b + (magic[0] == 'F' ? 82 : 3), magic, 8);
    for (int j = 0; j < 24; ++j) b[11 + rng() % 100] = static_cast<std::uint8_t>(rng());
  }
  input.resize(1 + 512 * (1 + rng() % 96));
}
