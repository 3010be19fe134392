// Fuzz target: the repair candidates (the quick walk over lost volumes and
// extended records) and the plan of "&Restore" over a small in-memory disk
// built from the input, with hostile tables, chains and boot sectors. The
// plan is applied to the in-memory disk and must touch only what it lists.
#include "common/ui.h"
#include "device/memory_block_source.h"
#include "device/sector_device.h"
#include "tools/partition_repair.h"
#include "volume/list_partitions.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

// Says Yes to every question, so every branch of the plan runs.
class YesUi : public kestrova::SilentUi {
 public:
  kestrova::MsgChoice MessageBox(std::u16string_view, std::u16string_view, kestrova::MsgIcon,
                                 kestrova::MsgButtons buttons) override {
    return buttons == kestrova::MsgButtons::YesNo ? kestrova::MsgChoice::Yes : kestrova::MsgChoice::Ok;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrova;
  if (size < 1 || size > (1u << 20)) return 0;
  auto shared = std::make_shared<MemoryBlockSource::Shared>();
  shared->data.assign(data + 1, data + size);
  if (shared->data.size() < 64 * 512) shared->data.resize(64 * 512, 0);
  shared->data.resize(shared->data.size() / 512 * 512);
  shared->writable = true;
  static ScanFlags scan;
  static SectorDevice device(scan);
  device.Reset();
  device.Attach(std::make_unique<MemoryBlockSource>(shared), nullptr);
  device.GeometryForMount().deviceSectors = shared->data.size() / 512;

  std::vector<DriveEntry> damaged;
  IdentifyContext ctx{device, 0, nullptr, &damaged};
  const PartitionListing listing = ListPartitions(ctx, device.deviceSectors);
  const RepairCandidates c = GatherRepairCandidates(ctx, listing, damaged, device.deviceSectors);
  (void)RepairDetails(c);
  YesUi ui;
  RepairPlan plan;
  if (PlanRepair(device, c, ui, plan, (data[0] & 1) != 0) != PlanStatus::Ok) return 0;
  if (!PlanCoveredByBackup(plan)) __builtin_trap();
  const std::vector<std::uint8_t> before = shared->data;
  const ApplyResult applied = ApplyPlan(device, plan);
  // Every sector that changed is one the plan names.
  for (std::size_t s = 0; s < before.size() / 512; ++s) {
    if (std::memcmp(before.data() + s * 512, shared->data.data() + s * 512, 512) == 0) continue;
    bool named = false;
    for (const SectorWrite& w : plan.writes) named = named || (s >= w.sector && s < w.sector + w.count);
    if (!named) __builtin_trap();
  }
  (void)applied;
  return 0;
}

// Smoke inputs: an MBR whose slots point at boot sectors and extended records
// that link to each other, to themselves and past the end.
void FuzzSmokeInput(std::mt19937& rng, std::vector<std::uint8_t>& input) {
  input.assign(1 + 160 * 512, 0);
  std::uint8_t* disk = input.data() + 1;
  input[0] = static_cast<std::uint8_t>(rng());
  auto entry = [&](std::uint8_t* s, int slot, std::uint8_t type, std::uint32_t first, std::uint32_t count) {
    std::uint8_t* e = s + 446 + 16 * slot;
    e[4] = type;
    std::memcpy(e + 8, &first, 4);
    std::memcpy(e + 12, &count, 4);
  };
  static const std::uint8_t kTypes[] = {0x05, 0x0F, 0x07, 0x0B, 0x0C, 0x06, 0x83, 0x00};
  for (int slot = 0; slot < 4; ++slot)
    entry(disk, slot, kTypes[rng() % 8], static_cast<std::uint32_t>(rng() % 160), static_cast<std::uint32_t>(rng() % 200));
  disk[510] = 0x55;
  disk[511] = 0xAA;
  for (int r = 0; r < 4; ++r) {
    std::uint8_t* s = disk + (1 + rng() % 159) * 512;
    std::memset(s, 0, 512);
    entry(s, 0, kTypes[rng() % 8], static_cast<std::uint32_t>(rng() % 100), static_cast<std::uint32_t>(rng() % 100));
    entry(s, 1, 0x05, static_cast<std::uint32_t>(rng() % 160), static_cast<std::uint32_t>(rng() % 100));
    s[510] = 0x55;
    s[511] = 0xAA;
  }
  static const char* const kMagics[] = {"NTFS    ", "FAT32   "};
  for (int k = 0; k < 4; ++k) {
    std::uint8_t* b = disk + (1 + rng() % 159) * 512;
    const char* magic = kMagics[rng() % 2];
    std::memcpy(b + (magic[0] == 'F' ? 82 : 3), magic, 8);
    b[11] = 0;
    b[12] = 2;  // 512-byte sectors
    b[13] = 1;
    const std::uint32_t total = static_cast<std::uint32_t>(rng() % 120);
    std::memcpy(b + 40, &total, 4);
    b[510] = 0x55;
    b[511] = 0xAA;
    for (int j = 0; j < 8; ++j) b[14 + rng() % 80] = static_cast<std::uint8_t>(rng());
  }
  input.resize(1 + 512 * (64 + rng() % 97));
}
