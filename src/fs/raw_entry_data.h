// The data of a RAW find: its size in bytes from its first sector on, read as
// contiguous sectors (a header find knows nothing of the chain it lay in).
#pragma once

#include "device/sector_device.h"
#include "fs/fs_reader.h"
#include "fs/output_sink.h"
#include "scan/scan_entry.h"

#include <cstdint>
#include <vector>

namespace kestrova {

WriteResult WriteRawEntry(SectorDevice& device, const ScanEntry& entry, OutputSink& sink,
                          const RecoveryControl& control);
// `length` bytes from `offset`; short at the end of the find or of the volume.
std::vector<std::uint8_t> ReadRawRange(SectorDevice& device, const ScanEntry& entry, std::uint64_t offset,
                                       std::uint64_t length);

}  // namespace kestrova
