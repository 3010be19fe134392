// Little-endian field loads from disk buffers. Offsets are checked against the
// span so that a crafted structure can never make a parser read past its data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kestrova {

using Bytes = std::span<const std::uint8_t>;

// Returns 0 for any field that does not lie wholly inside the span.
inline std::uint8_t LoadU8(Bytes b, std::size_t off) { return off < b.size() ? b[off] : 0; }

inline std::uint16_t LoadLe16(Bytes b, std::size_t off) {
  if (off > b.size() || b.size() - off < 2) return 0;
  return static_cast<std::uint16_t>(b[off] | (b[off + 1] << 8));
}

inline std::uint32_t LoadLe32(Bytes b, std::size_t off) {
  if (off > b.size() || b.size() - off < 4) return 0;
  return static_cast<std::uint32_t>(b[off]) | (static_cast<std::uint32_t>(b[off + 1]) << 8) |
         (static_cast<std::uint32_t>(b[off + 2]) << 16) | (static_cast<std::uint32_t>(b[off + 3]) << 24);
}

inline std::uint64_t LoadLe64(Bytes b, std::size_t off) {
  if (off > b.size() || b.size() - off < 8) return 0;
  return static_cast<std::uint64_t>(LoadLe32(b, off)) | (static_cast<std::uint64_t>(LoadLe32(b, off + 4)) << 32);
}

inline std::uint32_t LoadBe32(Bytes b, std::size_t off) {
  if (off > b.size() || b.size() - off < 4) return 0;
  return (static_cast<std::uint32_t>(b[off]) << 24) | (static_cast<std::uint32_t>(b[off + 1]) << 16) |
         (static_cast<std::uint32_t>(b[off + 2]) << 8) | static_cast<std::uint32_t>(b[off + 3]);
}

// True when the bytes at off spell text exactly (false when out of range).
inline bool BytesEqual(Bytes b, std::size_t off, std::string_view text) {
  if (off > b.size() || b.size() - off < text.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (b[off + i] != static_cast<std::uint8_t>(text[i])) return false;
  return true;
}

inline void StoreLe16(std::span<std::uint8_t> b, std::size_t off, std::uint16_t v) {
  if (off > b.size() || b.size() - off < 2) return;
  b[off] = static_cast<std::uint8_t>(v);
  b[off + 1] = static_cast<std::uint8_t>(v >> 8);
}

inline void StoreLe32(std::span<std::uint8_t> b, std::size_t off, std::uint32_t v) {
  if (off > b.size() || b.size() - off < 4) return;
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline void StoreLe64(std::span<std::uint8_t> b, std::size_t off, std::uint64_t v) {
  if (off > b.size() || b.size() - off < 8) return;
  for (int i = 0; i < 8; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace kestrova
