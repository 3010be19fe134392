// Fuzz target: identification over a small in-memory device built from the input.
// The input is the device's content; the first byte picks the start sector and
// whether a table count is given.
#include "device/memory_block_source.h"
#include "device/sector_device.h"
#include "volume/identify.h"

#include <cstddef>
#include <cstdint>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrova;
  if (size < 1 || size > (1u << 20)) return 0;
  const std::uint8_t control = data[0];
  auto shared = std::make_shared<MemoryBlockSource::Shared>();
  shared->data.assign(data + 1, data + size);
  // Keep the device at least a few sectors long so that backups and labels are exercised.
  if (shared->data.size() < 64 * 512) shared->data.resize(64 * 512, 0);
  // One device for the whole run: its work buffers are allocated once, as in the program.
  static ScanFlags scan;
  static SectorDevice device(scan);
  device.Reset();
  device.Attach(std::make_unique<MemoryBlockSource>(shared), nullptr);
  device.deviceSectors = shared->data.size() / 512;

  const std::uint64_t start = control & 0x07;
  MbrEntry table;
  table.type = 0x07;
  table.sectorCount = (control & 0x80) ? 0xFFFFFFFFu : (control & 0x08) ? 40u : 0u;
  std::vector<DriveEntry> damaged;
  IdentifyContext ctx{device, 0, nullptr, &damaged};
  DriveEntry entry{};
  IdentifyVolume(ctx, start, table.sectorCount ? &table : nullptr, entry);
  std::vector<std::uint8_t> boot(shared->data.begin(), shared->data.begin() + 512);
  IdentifyAtOpen(device, boot, table.sectorCount);
  return 0;
}
