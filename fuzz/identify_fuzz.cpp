// Fuzz target: identification over a small in-memory device built from the input.
// The input is the device's content; the first byte picks the start sector and
// whether a table count is given.
#include "device/memory_block_source.h"
#include "device/sector_device.h"
#include "volume/identify.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

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
  device.GeometryForMount().deviceSectors = shared->data.size() / 512;

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

// Inputs for the run without libFuzzer: mostly-zero sectors carrying the
// signatures identification looks for, plus random bytes.
void FuzzSmokeInput(std::mt19937& rng, std::vector<std::uint8_t>& input) {
  input.assign(70 * 512, 0);
  static const char* const kMagics[] = {"EXFAT", "FAT32", "FAT12", "FAT16", "NTFS", "HPFS"};
  const char* magic = kMagics[rng() % 6];
  const std::size_t at = 1 + (rng() % 8) * 512;
  const std::size_t off = (magic[0] == 'E' || magic[0] == 'N') ? 3 : (magic[3] == '3' ? 82 : 54);
  for (std::size_t i = 0; magic[i]; ++i) input[at + off + i] = static_cast<std::uint8_t>(magic[i]);
  for (int k = 0; k < 64; ++k) input[rng() % input.size()] = static_cast<std::uint8_t>(rng());
  for (int k = 0; k < 16; ++k) input[at + (rng() % 512)] = static_cast<std::uint8_t>(rng());
  input[0] = static_cast<std::uint8_t>(rng());
  input.resize(1 + rng() % input.size());
}
