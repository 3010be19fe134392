// The free-space scan's probe of a recorded sector range for NTFS volumes
// that no table lists any more (an older volume inside or beside the scanned
// one): every sector goes to the partition search's NTFS boot-sector test and
// what it finds is kept as the search keeps its results.
#pragma once

#include "common/ui.h"
#include "device/drive_entry.h"
#include "device/sector_device.h"
#include "scanner/scan_driver.h"
#include "tools/partition_search.h"

#include <cstdint>
#include <span>
#include <vector>

namespace kestrova {

class OldPartitionProbe : public BootSectorProbe {
 public:
  // ownStart: the scanned volume's first sector; its own boot sectors are not a find.
  OldPartitionProbe(SectorDevice& device, Ui& ui, std::uint64_t ownStart);
  void Probe(std::uint64_t sector, std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> next) override;
  // Any thread: the volumes found so far, in the order found.
  std::vector<DriveEntry> Found() const;

 private:
  std::uint64_t ownStart_;
  PartitionSearch search_;
};

}  // namespace kestrova
