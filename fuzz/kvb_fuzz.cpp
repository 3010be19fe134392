// Fuzz target: the .kvb backup reader and the restore plan over arbitrary
// bytes, against a small in-memory disk. Whatever is accepted must lie on the
// disk; a plan applied writes only the sectors the file names.
#include "common/ui.h"
#include "device/memory_block_source.h"
#include "device/sector_device.h"
#include "tools/repair_backup.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrova;
  if (size > (1u << 20)) return 0;
  static const std::string path = "/tmp/kestrova-kvb-fuzz-" + std::to_string(::getpid()) + ".kvb";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);

  constexpr std::uint64_t kSectors = 256;
  auto shared = std::make_shared<MemoryBlockSource::Shared>();
  shared->data.assign(kSectors * 512, 0xA5);
  shared->writable = true;
  static ScanFlags scan;
  static SectorDevice device(scan);
  device.Reset();
  device.Attach(std::make_unique<MemoryBlockSource>(shared), nullptr);
  device.GeometryForMount().deviceSectors = kSectors;

  BackupInfo info;
  if (ReadBackupInfo(path, 512, info) == BackupReadStatus::Ok) {
    std::uint64_t end = sizeof(BackupHeader);
    for (const BackupBlockInfo& b : info.blocks) {
      if (b.count == 0 || b.count > kMaxBackupBlockSectors || b.offset != end + kBackupBlockHeadSize) __builtin_trap();
      end = b.offset + std::uint64_t{b.count} * 512;
    }
    if (end != info.fileSize) __builtin_trap();
  }
  SilentUi ui;
  RepairPlan plan;
  if (PlanRestoreBackup(device, path, u"disk", kSectors, ui, true, plan) == RestoreStatus::Ok) {
    for (const SectorWrite& w : plan.writes)
      if (w.sector + w.count > kSectors || w.after.size() != std::size_t{w.count} * 512) __builtin_trap();
    ApplyPlan(device, plan);
  }
  return 0;
}

// Valid backups of a few blocks, then damaged: magic, counts, sectors, sizes.
void FuzzSmokeInput(std::mt19937& rng, std::vector<std::uint8_t>& input) {
  const std::uint32_t blocks = 1 + rng() % 4;
  input.assign(148, 0);
  std::memcpy(input.data(), "KVBK", 4);
  const std::uint64_t sectors = rng() % 2 ? 256 : rng() % 1000;
  std::memcpy(input.data() + 4, &sectors, 8);
  input[12] = 'd';
  std::memcpy(input.data() + 140, &blocks, 4);
  for (std::uint32_t i = 0; i < blocks; ++i) {
    const std::uint64_t sector = rng() % 300;
    const std::uint32_t count = 1 + rng() % 16;
    std::uint8_t head[12];
    std::memcpy(head, &sector, 8);
    std::memcpy(head + 8, &count, 4);
    input.insert(input.end(), head, head + 12);
    input.resize(input.size() + count * 512, static_cast<std::uint8_t>(rng()));
  }
  for (int k = 0; k < 4; ++k) input[rng() % std::min<std::size_t>(input.size(), 200)] = static_cast<std::uint8_t>(rng());
  if (rng() % 4 == 0) input.resize(rng() % input.size());
}
