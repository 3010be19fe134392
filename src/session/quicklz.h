// Packets of the QuickLZ 1.5.0 format (compression level 1, no streaming
// buffer), which session files use for their blocks. Our own implementation:
// the encoder is byte-compatible with the published 64-bit build, the decoder
// checks every header, token and match against its buffers, because session
// files come from disk and may be damaged or hostile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrova::qlz {

// A destination for Compress needs at least n + kCompressOverhead bytes.
inline constexpr std::size_t kCompressOverhead = 400;
// Largest n a packet can carry.
inline constexpr std::uint64_t kMaxDataSize = 0xFFFFFFFFull - 400;
// Inputs up to this size get the 3-byte header, longer ones the 9-byte one.
inline constexpr std::size_t kShortHeaderMaxData = 215;
// Upper bound of n / packet size for any valid packet (a 3-byte match token
// yields 255 bytes; control words cost 4 bytes per 31 tokens). Readers use it
// to refuse absurd sizes before allocating.
inline constexpr std::uint64_t kMaxExpansion = 82;

struct PacketSizes {
  std::size_t headerLength = 0;  // 3 or 9
  std::uint32_t packetSize = 0;  // header + body
  std::uint32_t dataSize = 0;    // n, the decompressed size
  bool compressed = false;
};

// The size queries on a packet header. Empty when fewer bytes than the header
// needs are given; the sizes themselves are not validated here.
std::optional<PacketSizes> PeekSizes(std::span<const std::uint8_t> packet);

// Compresses `data` into one packet written to `dst` (capacity at least
// data.size() + kCompressOverhead). Returns the packet size; 0 for empty input
// (an empty input has no packet) or for an input above kMaxDataSize.
std::size_t Compress(std::span<const std::uint8_t> data, std::uint8_t* dst);
std::vector<std::uint8_t> Compress(std::span<const std::uint8_t> data);

enum class DecodeStatus {
  kOk,
  kTruncatedHeader,    // fewer bytes than the header needs
  kBadHeaderByte,      // not one of 0x44..0x47
  kBadPacketSize,      // packet size below the header (+ 9) or beyond the bytes available
  kBadDataSize,        // n is 0 or above the destination's capacity
  kStoredSizeMismatch, // a stored packet whose size is not header + n
  kTruncatedBody,      // a control word or token runs past the packet end
  kBadMatch,           // unfilled slot, source too close, or length out of range
};
const char* DecodeStatusText(DecodeStatus status);

struct DecodeResult {
  DecodeStatus status = DecodeStatus::kOk;
  std::uint32_t packetSize = 0;  // bytes of the packet (valid when ok)
  std::uint32_t dataSize = 0;    // bytes written to the destination (valid when ok)
  bool ok() const { return status == DecodeStatus::kOk; }
};

// Decodes the packet at the start of `packet` (the bytes available; any bytes
// after the packet size are left alone) into `dst`. Never reads or writes
// outside the two spans; on failure the destination's contents are undefined.
DecodeResult Decompress(std::span<const std::uint8_t> packet, std::span<std::uint8_t> dst);

}  // namespace kestrova::qlz
