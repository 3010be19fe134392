#include "fs/ntfs/lznt1.h"

#include <algorithm>

namespace kestrova {

std::size_t ChunkSize(std::span<const std::uint8_t> data) {
  if (data.size() < 2) return 0;
  const unsigned header = data[0] | unsigned{data[1]} << 8;
  if (header == 0) return 0;
  return (header & 0xFFFu) + 3;
}

std::size_t DecompressChunk(std::span<const std::uint8_t> chunk, std::span<std::uint8_t> out) {
  const std::size_t size = std::min(ChunkSize(chunk), chunk.size());
  if (size < 2) return 0;
  const std::size_t limit = std::min(out.size(), kLznt1ChunkBytes + 1);
  const bool compressed = chunk[1] & 0x80;
  const auto body = chunk.subspan(2, size - 2);
  if (!compressed) {
    const std::size_t n = std::min(body.size(), limit);
    std::copy_n(body.begin(), n, out.begin());
    return body.size() > kLznt1ChunkBytes ? kLznt1ChunkBytes + 1 : n;
  }
  std::size_t p = 0;  // bytes produced
  std::size_t at = 0;
  while (at < body.size()) {
    const std::uint8_t flags = body[at++];
    for (int bit = 0; bit < 8 && at < body.size(); ++bit) {
      if (!(flags & (1u << bit))) {
        if (p >= limit) return kLznt1ChunkBytes + 1;
        out[p++] = body[at++];
        continue;
      }
      if (at + 2 > body.size()) return p;
      const unsigned token = body[at] | unsigned{body[at + 1]} << 8;
      at += 2;
      // The split between displacement and length moves with the position:
      // the further into the chunk, the longer a displacement can be.
      unsigned d = 0;
      for (std::size_t q = p > 0 ? p - 1 : 0; q >= 16; q >>= 1) ++d;
      const std::size_t displacement = (token >> (12 - d)) + 1;
      const std::size_t length = (token & (0xFFFu >> d)) + 3;
      for (std::size_t k = 0; k < length; ++k) {
        if (p >= limit) return kLznt1ChunkBytes + 1;
        out[p] = p >= displacement ? out[p - displacement] : 0;
        ++p;
      }
    }
  }
  return p;
}

}  // namespace kestrova
