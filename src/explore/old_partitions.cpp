#include "explore/old_partitions.h"

namespace kestrova {

OldPartitionProbe::OldPartitionProbe(SectorDevice& device, Ui& ui, std::uint64_t ownStart)
    : ownStart_(ownStart), search_(device, ui, WholeDriveOpener{}, SearchSetup{}) {}

void OldPartitionProbe::Probe(std::uint64_t sector, std::span<const std::uint8_t> bytes,
                              std::span<const std::uint8_t> next) {
  search_.ProbeNtfsBootSector(sector, bytes, next);
}

std::vector<DriveEntry> OldPartitionProbe::Found() const {
  std::vector<DriveEntry> found;
  for (const DriveEntry& e : search_.Results())
    if (e.start != ownStart_) found.push_back(e);
  return found;
}

}  // namespace kestrova
