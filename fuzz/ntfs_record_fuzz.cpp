// Fuzz target: an NTFS MFT of 32 records from the input, collected into the
// lost-files list, listed from the root, and each small entry's data written
// (resident, through runs, or compressed); plus run lists and LZNT1 chunks
// taken straight from the input.
#include "common/ui.h"
#include "device/memory_block_source.h"
#include "fs/ntfs/lznt1.h"
#include "fs/ntfs/ntfs_files.h"
#include "fs/ntfs/ntfs_stream.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

using namespace kestrova;

constexpr std::size_t kClusters = 512;
constexpr std::size_t kRecords = 32;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 64 || size > 256 * 1024) return 0;
  auto shared = std::make_shared<MemoryBlockSource::Shared>();
  shared->data.assign(kClusters * 512, 0);
  // Bytes 0..15: the MFT's run list; 16..79: the bitmap; then the disk from cluster 0.
  std::memcpy(shared->data.data(), data + 64, std::min(size - 64, shared->data.size()));

  static ScanFlags scan;
  static SectorDevice device(scan);
  device.Reset();
  device.Attach(std::make_unique<MemoryBlockSource>(shared), nullptr);
  device.GeometryForMount().deviceSectors = kClusters;
  device.GeometryForMount().volumeLastSector = kClusters - 1;
  device.GeometryForMount().sectorsPerCluster = 1;

  NtfsVolume volume;
  volume.sectorsPerCluster = 1;
  volume.bytesPerCluster = 512;
  volume.lastCluster = kClusters - 1;
  volume.recordSize = 1024;
  volume.mftRuns = DecodeRuns(std::span(data, 16));
  volume.mftBytes = kRecords * 1024;
  volume.bitmap.assign(data + 16, data + 64);
  ResultLists lists;
  NtfsContext ctx{device, volume, &lists};
  SilentUi ui;
  CollectMft(ctx, ui);
  RecoveryControl control;
  for (const FoundEntry& f : ListNtfsFolder(ctx, kNtfsRootRecord)) {
    if (f.dotEntry || f.entry.size > 256 * 1024) continue;
    std::vector<std::uint8_t> out;
    OutputSink sink = OutputSink::ToMemory(out, f.entry.size, control);
    WriteNtfsData(ctx, f.entry, sink, control.token);
  }

  // The input itself as a run list and as the chunks of a compression unit.
  const auto runs = DecodeRuns(std::span(data, size));
  for (std::uint64_t vcn = 0; vcn < 64; vcn += 7) RunLookup(runs, vcn);
  RunsTotalClusters(std::span(data, size));
  RunListLength(std::span(data, size));
  std::vector<std::uint8_t> unit(16 * 4096);
  DecodeCompressedUnit(std::span(data, size), unit);
  return 0;
}

// Smoke inputs: records with "FILE" headers and random attribute bytes.
void FuzzSmokeInput(std::mt19937& rng, std::vector<std::uint8_t>& input) {
  input.assign(64 + kRecords * 1024 + 16 * 512, 0);
  const std::uint8_t mftRuns[] = {0x11, 0x40, 0x00, 0x00};  // 64 clusters at 0
  std::memcpy(input.data(), mftRuns, sizeof mftRuns);
  for (std::size_t i = 16; i < 64; ++i) input[i] = static_cast<std::uint8_t>(rng());
  for (std::size_t n = 0; n < kRecords; ++n) {
    std::uint8_t* r = input.data() + 64 + n * 1024;
    std::memcpy(r, "FILE", 4);
    r[4] = 0x30;
    r[6] = 3;
    r[0x14] = 0x38;
    r[0x16] = static_cast<std::uint8_t>(rng() % 4);
    r[0x18] = 0x00;
    r[0x19] = 0x03;
    r[0x2C] = static_cast<std::uint8_t>(n);
    // A few attributes with plausible types and lengths, random bodies.
    std::size_t at = 0x38;
    static const std::uint32_t kTypes[] = {0x10, 0x20, 0x30, 0x80, 0x90, 0xA0, 0x100};
    while (at + 0x60 < 1000) {
      const std::uint32_t type = kTypes[rng() % 7];
      const auto length = static_cast<std::uint32_t>(0x48 + 8 * (rng() % 16));
      if (at + length > 1000) break;
      std::memcpy(r + at, &type, 4);
      std::memcpy(r + at + 4, &length, 4);
      for (std::size_t k = 8; k < length; ++k) r[at + k] = static_cast<std::uint8_t>(rng() % 3 ? rng() % 8 : rng());
      at += length;
    }
    std::memset(r + at, 0xFF, 4);
  }
  for (std::size_t i = 64 + kRecords * 1024; i < input.size(); ++i) input[i] = static_cast<std::uint8_t>(rng());
}
