// Fuzz target: the partition-search session loader over arbitrary bytes.
#include "tools/partition_session.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrova;
  PartitionSession session;
  if (ParsePartitionSession({data, size}, session) == SessionFileStatus::Ok) {
    // Whatever was accepted must be usable: texts end, counts fit.
    for (const DriveEntry& e : session.results) {
      (void)EntryFsName(e);
      (void)EntryLabel(e);
      (void)EntryLabel2(e);
    }
  }
  return 0;
}

// Valid sessions of a few results, then damaged: counts, sizes, magic, mode.
void FuzzSmokeInput(std::mt19937& rng, std::vector<std::uint8_t>& input) {
  using namespace kestrova;
  const std::uint32_t count = rng() % 4;
  input.assign(sizeof(PartitionSessionHeader) + count * sizeof(DriveEntry), 0);
  std::memcpy(input.data(), "KVSP", 4);
  const std::uint64_t sectors = 1 + rng() % 100000;
  std::memcpy(input.data() + 1028, &sectors, 8);
  const std::uint64_t position = rng() % sectors;
  std::memcpy(input.data() + 1040, &position, 8);
  std::memcpy(input.data() + 1048, &count, 4);
  for (std::uint32_t i = 0; i < count; ++i) {
    DriveEntry e = MakeDriveEntry();
    e.start = rng() % sectors;
    e.sectors = 1 + rng() % 1000;
    SetEntryFsName(e, u"NTFS");
    std::memcpy(input.data() + sizeof(PartitionSessionHeader) + i * sizeof(DriveEntry), &e, sizeof e);
  }
  for (int k = 0; k < 8; ++k) input[rng() % input.size()] = static_cast<std::uint8_t>(rng());
  if (rng() % 4 == 0) input.resize(rng() % input.size());
}
