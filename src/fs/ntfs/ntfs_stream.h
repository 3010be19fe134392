// The bytes of a non-resident NTFS data attribute, written to an output sink:
// plain runs (sparse runs as zeros) and compressed units of 16 clusters.
#pragma once

#include "device/sector_device.h"
#include "fs/ntfs/run_list.h"
#include "common/worker_token.h"
#include "fs/output_sink.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace kestrova {

inline constexpr std::uint64_t kCompressionUnitClusters = 16;

// Copies the runs in pieces of at most `pieceClusters` clusters until the sink
// has the whole file. False when the runs end first or the sink stops.
// From `startVcn` on (a range read skips the runs before it unread).
bool WritePlainRuns(SectorDevice& device, const std::vector<DataRun>& runs, std::uint32_t bytesPerCluster,
                    std::uint64_t pieceClusters, OutputSink& sink, const WorkerToken& abort,
                    std::uint64_t startVcn = 0);

// Compressed data: a unit backed by 16 clusters is stored as it is, a unit
// with fewer data clusters (the rest sparse) holds LZNT1 chunks, an all-sparse
// unit is zeros. False when a chunk is corrupt (the file is abandoned), the
// runs end first or the sink stops.
// `startVcn`: the first unit's virtual cluster (a multiple of 16).
bool WriteCompressedRuns(SectorDevice& device, const std::vector<DataRun>& runs, std::uint32_t bytesPerCluster,
                         OutputSink& sink, const WorkerToken& abort, std::uint64_t startVcn = 0);

// Decodes the chunks of one compression unit into `unit` (its full size;
// the part past the decoded bytes stays zero). False for a corrupt chunk.
bool DecodeCompressedUnit(std::span<const std::uint8_t> data, std::span<std::uint8_t> unit);

}  // namespace kestrova
