#include "session/quicklz.h"
#include "common/activity.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace kestrova::qlz {
namespace {

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

std::size_t HeaderLengthFor(std::size_t n) { return n <= kShortHeaderMaxData ? 3 : 9; }

void WriteHeader(std::uint8_t* dst, bool compressed, std::size_t headerLength, std::size_t packetSize,
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

static_assert(std::endian::native == std::endian::little, "the encoder loads keys as little-endian words");

// Little-endian host loads for the encoder's hot loop (the session format is
// little-endian and so is every platform this builds for).
inline std::uint32_t Fetch32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline std::uint64_t Fetch64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Length of the match at i against c, whose first three bytes are known
// equal: the first differing byte, at most min(255, n - 4 - i) (never below
// 7, as i + 11 <= n). Eight bytes per step while eight remain below the cap.
inline std::size_t MatchLength(const std::uint8_t* d, std::size_t c, std::size_t i, std::size_t n) {
  const std::size_t cap = std::min<std::size_t>(255, n - 4 - i);
  std::size_t length = 3;
  while (length + 8 <= cap) {
    const std::uint64_t diff = Fetch64(d + c + length) ^ Fetch64(d + i + length);
    if (diff != 0) return length + static_cast<std::size_t>(__builtin_ctzll(diff) >> 3);
    length += 8;
  }
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

// One hash slot: the last position entered (low half) and the three bytes
// found there (high half), so that a candidate is tested without touching
// the data at the old position. A slot that can give no match (never
// filled, or holding position 0, which is never a match source) carries a
// key no three bytes can equal, so the key test alone decides.
constexpr std::uint64_t kNoCandidate = 0xFFFFFFFF00000000ull;
inline std::uint64_t SlotValue(std::size_t position, std::uint32_t key) {
  return position == 0 ? kNoCandidate : static_cast<std::uint64_t>(key) << 32 | position;
}

// Writes the compressed body to `out`; returns its length, or 0 when the
// sampled give-up test says the data is to be stored instead.
std::size_t EncodeBody(const std::uint8_t* d, std::size_t n, std::uint8_t* out) {
  std::array<std::uint64_t, kSlots> table;
  table.fill(kNoCandidate);
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
    const std::uint32_t key = Fetch32(d + i) & 0xFFFFFFu;
    const std::size_t h = Slot(key);
    const std::uint64_t slot = table[h];
    table[h] = SlotValue(i, key);
    bool match = false;
    std::size_t c = 0;
    if (static_cast<std::uint32_t>(slot >> 32) == key) {
      c = static_cast<std::uint32_t>(slot);
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

}  // namespace

std::optional<PacketSizes> PeekSizes(std::span<const std::uint8_t> packet) {
  if (packet.size() < 3) return std::nullopt;
  PacketSizes sizes;
  sizes.compressed = (packet[0] & kFlagCompressed) != 0;
  if (packet[0] & kFlagLongHeader) {
    if (packet.size() < 9) return std::nullopt;
    sizes.headerLength = 9;
    sizes.packetSize = Load32(packet.data() + 1);
    sizes.dataSize = Load32(packet.data() + 5);
  } else {
    sizes.headerLength = 3;
    sizes.packetSize = packet[1];
    sizes.dataSize = packet[2];
  }
  return sizes;
}

std::size_t Compress(std::span<const std::uint8_t> data, std::uint8_t* dst) {
  ActivityMark activity(Fn::QlzCompress);
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

std::vector<std::uint8_t> Compress(std::span<const std::uint8_t> data) {
  if (data.empty() || data.size() > kMaxDataSize) return {};
  std::vector<std::uint8_t> packet(data.size() + kCompressOverhead);
  packet.resize(Compress(data, packet.data()));
  return packet;
}

const char* DecodeStatusText(DecodeStatus status) {
  switch (status) {
    case DecodeStatus::kOk: return "ok";
    case DecodeStatus::kTruncatedHeader: return "packet header truncated";
    case DecodeStatus::kBadHeaderByte: return "not a level-1 packet";
    case DecodeStatus::kBadPacketSize: return "packet size out of range";
    case DecodeStatus::kBadDataSize: return "data size out of range";
    case DecodeStatus::kStoredSizeMismatch: return "stored packet size does not match its data size";
    case DecodeStatus::kTruncatedBody: return "packet body truncated";
    case DecodeStatus::kBadMatch: return "corrupt match";
  }
  return "?";
}

DecodeResult Decompress(std::span<const std::uint8_t> packet, std::span<std::uint8_t> dst) {
  ActivityMark activity(Fn::QlzDecompress);
  DecodeResult result;
  auto fail = [&](DecodeStatus status) {
    result.status = status;
    return result;
  };
  if (packet.size() < 3) return fail(DecodeStatus::kTruncatedHeader);
  const std::uint8_t flags = packet[0];
  if (flags < kFlagsBase || flags > (kFlagsBase | kFlagCompressed | kFlagLongHeader)) {
    return fail(DecodeStatus::kBadHeaderByte);
  }
  const auto sizes = PeekSizes(packet);
  if (!sizes) return fail(DecodeStatus::kTruncatedHeader);
  const std::size_t headerLength = sizes->headerLength;
  const std::size_t end = sizes->packetSize;
  const std::size_t n = sizes->dataSize;
  if (end < headerLength || end > packet.size()) return fail(DecodeStatus::kBadPacketSize);
  if (n == 0 || n > dst.size()) return fail(DecodeStatus::kBadDataSize);

  const std::uint8_t* src = packet.data();
  std::uint8_t* out = dst.data();
  if (!sizes->compressed) {
    if (end != headerLength + n) return fail(DecodeStatus::kStoredSizeMismatch);
    std::memcpy(out, src + headerLength, n);
  } else {
    if (end < headerLength + kMinBody) return fail(DecodeStatus::kBadPacketSize);
    Table table;
    table.fill(kEmpty);
    std::size_t r = headerLength;
    std::size_t p = 0;
    std::size_t next = 0;  // first position not yet entered into the table
    std::uint32_t word = 1;
    while (p < n) {
      if (word == 1) {
        if (r + 4 > end) return fail(DecodeStatus::kTruncatedBody);
        word = Load32(src + r);
        r += 4;
      }
      const bool isMatch = word & 1;
      word >>= 1;
      if (!isMatch) {
        if (r >= end) return fail(DecodeStatus::kTruncatedBody);
        out[p++] = src[r++];
        continue;
      }
      if (r + 2 > end) return fail(DecodeStatus::kTruncatedBody);
      const std::uint16_t v = Load16(src + r);
      const std::size_t h = v >> 4;
      std::size_t length;
      if (v & 15) {
        length = (v & 15u) + 2;
        r += 2;
      } else {
        if (r + 3 > end) return fail(DecodeStatus::kTruncatedBody);
        length = src[r + 2];
        r += 3;
      }
      if (length < 3 || p + length + 4 > n) return fail(DecodeStatus::kBadMatch);
      // Positions inside earlier matches were skipped; literals since then are
      // entered now, before the lookup, exactly as the encoder saw them.
      for (std::size_t q = next; q + 3 <= p; ++q) table[Slot(Key(out + q))] = static_cast<std::uint32_t>(q);
      const std::uint32_t s = table[h];
      if (s == kEmpty || s + 3 > p) return fail(DecodeStatus::kBadMatch);
      if (p - s >= length) {
        std::memcpy(out + p, out + s, length);
      } else {
        for (std::size_t k = 0; k < length; ++k) out[p + k] = out[s + k];  // overlapping run
      }
      for (std::size_t q = std::max(next, p >= 2 ? p - 2 : 0); q <= p; ++q) {
        table[Slot(Key(out + q))] = static_cast<std::uint32_t>(q);
      }
      p += length;
      next = p;
    }
  }
  result.packetSize = static_cast<std::uint32_t>(end);
  result.dataSize = static_cast<std::uint32_t>(n);
  return result;
}

}  // namespace kestrova::qlz
