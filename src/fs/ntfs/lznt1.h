// LZNT1, the chunk compression of NTFS compressed files. Chunks come from
// disk: the decoder never reads outside the chunk or writes past its output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrova {

inline constexpr std::size_t kLznt1ChunkBytes = 4096;

// Decodes one chunk (its 16-bit header included) into `out`, which must hold
// at least kLznt1ChunkBytes + 1 bytes. Returns the bytes produced; a result
// above kLznt1ChunkBytes means the chunk is corrupt (it would overflow).
// A back-reference before the chunk start yields zero bytes.
std::size_t DecompressChunk(std::span<const std::uint8_t> chunk, std::span<std::uint8_t> out);

// Size of the chunk that starts at `data` (header included), 0 for the end mark.
std::size_t ChunkSize(std::span<const std::uint8_t> data);

}  // namespace kestrova
