// Copying the data of FAT entries: existing files along their cluster chain
// (consecutive clusters in one read), deleted files as contiguous clusters
// from their first cluster. The same paths fill memory for previews and the
// hex view.
#pragma once

#include "fs/fat/fat_find.h"
#include "recovery/output_sink.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace kestrova {

struct WriteResult {
  bool complete = false;      // the whole size was written
  bool chainFallback = false; // the chain could not be followed: copied as contiguous clusters
};

// Writes the entry's data to the sink. The entry's chainFallback and
// clusterInUse are updated when its chain cannot be followed.
WriteResult WriteFatFile(FatContext& ctx, ScanEntry& entry, OutputSink& sink, const RecoveryControl& control);

// Files of at most this size are loaded for previews.
inline constexpr std::uint64_t kMaxLoadIntoMemory = 0x1400000;

// The file (or its first `length` bytes) in a buffer of whole clusters;
// nothing for a file above 20 MiB.
std::optional<std::vector<std::uint8_t>> LoadIntoMemory(FatContext& ctx, const ScanEntry& entry, std::uint64_t length = 0);

// `length` bytes from `offset` of the file (clusters before the offset are not read).
std::vector<std::uint8_t> ReadFatRange(FatContext& ctx, const ScanEntry& entry, std::uint64_t offset, std::uint64_t length);

}  // namespace kestrova
