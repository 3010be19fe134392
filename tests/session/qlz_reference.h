// The straightforward level-1 encoder the codec started from, kept as the
// reference that the faster encoder must match byte for byte (the
// differential test and the benchmark compare against it).
#pragma once

#include "session/quicklz.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace kestrova::qlz::reference {

constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;  // positions never reach it (n <= 2^32 - 401)
constexpr std::size_t kSlots = 4096;
constexpr std::uint32_t kEndMarker = 0x80000000u;
constexpr unsigned kTokensPerWord = 31;
constexpr std::size_t kMinBody = 9;
constexpr std::uint8_t kFlagCompressed = 0x01;
constexpr std::uint8_t kFlagLongHeader = 0x02;
constexpr std::uint8_t kFlagsBase = 0x44;  // level 1, bit 6 always set

using Table = std::array<std::uint32_t, kSlots>;

// Raw-pointer field access for the hot loops; every caller has checked the
// bounds already (the loops are written so they cannot step outside).
inline std::uint16_t Load16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
inline std::uint32_t Load32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline void Store16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Store32(std::uint8_t* p, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) p[k] = static_cast<std::uint8_t>(v >> (8 * k));
}

inline std::uint32_t Key(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16;
}
inline std::size_t Slot(std::uint32_t key) { return (key ^ (key >> 12)) & 0xFFF; }

inline std::size_t HeaderLengthFor(std::size_t n) { return n <= kShortHeaderMaxData ? 3 : 9; }

inline void WriteHeader(std::uint8_t* dst, bool compressed, std::size_t headerLength, std::size_t packetSize,
                 std::size_t n) {
  dst[0] = static_cast<std::uint8_t>(kFlagsBase | (compressed ? kFlagCompressed : 0) |
                                     (headerLength == 9 ? kFlagLongHeader : 0));
  if (headerLength == 3) {
    dst[1] = static_cast<std::uint8_t>(packetSize);
    dst[2] = static_cast<std::uint8_t>(n);
  } else {
    Store32(dst + 1, static_cast<std::uint32_t>(packetSize));
    Store32(dst + 5, static_cast<std::uint32_t>(n));
  }
}

// Length of the match at i against c, whose first three bytes are known equal.
inline std::size_t MatchLength(const std::uint8_t* d, std::size_t c, std::size_t i, std::size_t n) {
  if (d[c + 3] != d[i + 3]) return 3;
  if (d[c + 4] != d[i + 4]) return 4;
  if (d[c + 5] != d[i + 5]) return 5;
  const std::size_t cap = std::min<std::size_t>(255, n - 4 - i);
  std::size_t length = 6;
  while (length < cap && d[c + length] == d[i + length]) ++length;
  return length;
}

// The distance-1 case: the seven bytes around i are one repeated byte.
inline bool IsRun(const std::uint8_t* d, std::size_t i) {
  const std::uint8_t b = d[i];
  for (std::size_t k = i - 3; k <= i + 3; ++k) {
    if (d[k] != b) return false;
  }
  return true;
}

// Writes the compressed body to `out`; returns its length, or 0 when the
// sampled give-up test says the data is to be stored instead.
inline std::size_t EncodeBody(const std::uint8_t* d, std::size_t n, std::uint8_t* out) {
  Table table;
  table.fill(kEmpty);
  std::size_t o = 4;  // first control word reserved
  std::size_t wordAt = 0;
  std::uint32_t bits = 0;
  unsigned count = 0;
  std::size_t i = 0;
  std::size_t literalRun = 0;

  auto newGroup = [&] {
    Store32(out + wordAt, bits | kEndMarker);
    wordAt = o;
    o += 4;
    bits = 0;
    count = 0;
  };

  while (i + 11 <= n) {
    if (count == kTokensPerWord) {
      if (i > n / 2 && o > i - i / 32) return 0;
      newGroup();
    }
    const std::uint32_t key = Key(d + i);
    const std::size_t h = Slot(key);
    const std::uint32_t c = table[h];
    table[h] = static_cast<std::uint32_t>(i);
    bool match = false;
    if (c != kEmpty && c != 0 && Key(d + c) == key) {
      const std::size_t distance = i - c;
      match = distance >= 3 || (distance == 1 && literalRun >= 3 && i >= 4 && IsRun(d, i));
    }
    if (match) {
      const std::size_t length = MatchLength(d, c, i, n);
      if (length <= 17) {
        Store16(out + o, static_cast<std::uint16_t>(h << 4 | (length - 2)));
        o += 2;
      } else {
        Store16(out + o, static_cast<std::uint16_t>(h << 4));
        out[o + 2] = static_cast<std::uint8_t>(length);
        o += 3;
      }
      bits |= 1u << count;
      ++count;
      i += length;
      literalRun = 0;
    } else {
      out[o++] = d[i++];
      ++count;
      ++literalRun;
    }
  }
  while (i < n) {
    if (count == kTokensPerWord) newGroup();
    out[o++] = d[i++];
    ++count;
  }
  Store32(out + wordAt, bits | kEndMarker);
  while (o < kMinBody) out[o++] = 0;
  return o;
}

inline std::size_t Compress(std::span<const std::uint8_t> data, std::uint8_t* dst) {
  const std::size_t n = data.size();
  if (n == 0 || n > kMaxDataSize) return 0;
  const std::size_t headerLength = HeaderLengthFor(n);
  std::uint8_t* body = dst + headerLength;
  const std::size_t bodyLength = EncodeBody(data.data(), n, body);
  if (bodyLength == 0) {
    std::memcpy(body, data.data(), n);
    WriteHeader(dst, false, headerLength, headerLength + n, n);
    return headerLength + n;
  }
  WriteHeader(dst, true, headerLength, headerLength + bodyLength, n);
  return headerLength + bodyLength;
}

inline std::vector<std::uint8_t> Compress(std::span<const std::uint8_t> data) {
  if (data.empty() || data.size() > kMaxDataSize) return {};
  std::vector<std::uint8_t> packet(data.size() + kCompressOverhead);
  packet.resize(Compress(data, packet.data()));
  return packet;
}

}  // namespace kestrova::qlz::reference
