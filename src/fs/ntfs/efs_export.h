// Encrypted (EFS) files: the data cannot be decrypted here, so the raw
// encrypted clusters are exported with the record's $EFS stream in the
// stream format the system's raw-encrypted-file import reads. Linux has no
// such import: the stream is written to a file ("name.efs") for import later.
#pragma once

#include "fs/ntfs/ntfs_files.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace kestrova {

inline constexpr std::size_t kMaxEfsValue = 8192;
inline constexpr std::uint64_t kEfsPiece = 65536;

struct EfsExport {
  std::vector<std::uint8_t> efs;  // the $EFS value
  std::vector<DataRun> runs;      // of the unnamed $DATA
  std::uint64_t fileSize = 0;
  std::uint64_t rounded = 0;  // the file size in whole sectors
  // ceil(R / 65536) x 512 + E + 108 + R
  std::uint64_t StreamLength() const {
    return (rounded + kEfsPiece - 1) / kEfsPiece * 512 + efs.size() + 108 + rounded;
  }
};

// True when the record carries a logged-utility stream named "$EFS", in the
// record itself or, by the attribute list, in an extension record.
bool HasEfsStream(std::span<const std::uint8_t> record, std::span<const std::uint8_t> attributeList);

// The $EFS stream's value (at most 8192 bytes), wherever it lives: resident or
// not, in the record or in an extension record its attribute list names.
std::optional<std::vector<std::uint8_t>> EfsStreamOf(NtfsContext& ctx, std::span<const std::uint8_t> record,
                                                     std::uint64_t number);

// The export of an encrypted entry: nothing when the record has no $EFS
// stream (or one over 8192 bytes) or its data is not in clusters; the caller
// then saves the raw clusters.
std::optional<EfsExport> PrepareEfsExport(NtfsContext& ctx, const ScanEntry& entry);

// Writes the whole stream: header, $EFS value, data-stream header, then one
// 512-byte block header and the raw bytes per 65536 bytes of the file.
bool WriteEfsStream(NtfsContext& ctx, const EfsExport& e, OutputSink& sink, const WorkerToken& abort);

}  // namespace kestrova
