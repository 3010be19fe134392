// What a free-space scan holds in memory between two blocks that its result
// lists do not show yet: the RAW scanner's find counts (the serials of the
// names to come) and its pending file, and the NTFS records waiting to be
// merged. A session keeps it beside the scan's position, so that a scan
// resumed from a checkpoint goes on exactly as the interrupted one would have.
#pragma once

#include "fs/ntfs/ntfs_files.h"
#include "raw/raw_scanner.h"

#include <cstdint>
#include <span>
#include <vector>

namespace kestrova {

struct ScanPendingState {
  RawCarriedState raw;                  // find counts and the RAW file still open
  std::vector<ParsedRecord> ntfsBatch;  // NTFS records found, not yet merged into "Lost files"
};

// Little-endian bytes, versioned; the record layout of ScanEntry as in the lists.
std::vector<std::uint8_t> EncodeScanState(const ScanPendingState& state);
// False for bytes that are not a state of this build's signature table, or
// that lie about their counts and lengths; `out` is then left as it was.
bool DecodeScanState(std::span<const std::uint8_t> bytes, ScanPendingState& out);

}  // namespace kestrova
