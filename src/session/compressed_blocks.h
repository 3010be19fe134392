// The compressed block encodings of session files: plain blocks (one packet,
// or 5 MiB pieces with length prefixes above 10 MiB) and string blocks (name
// chunks of just over 1 MiB, each with a length prefix, ending with a zero).
// Readers check every prefix and packet against the block and the destination:
// a block read back from a damaged file fails cleanly instead of overrunning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::session {

inline constexpr std::size_t kSinglePacketLimit = 0xA00000;  // 10 MiB: one packet, no prefix
inline constexpr std::size_t kPieceSize = 0x500000;          // 5 MiB pieces above that
inline constexpr std::size_t kStringChunkLimit = 0x100000;   // a name chunk is flushed past 1 MiB

// Receives the stored bytes of a block as they are produced.
using ByteSink = std::function<void(std::span<const std::uint8_t>)>;

// Writes the plain block of `raw` and returns its stored size (0 and nothing
// written for empty data: a block with raw size 0 is absent).
std::uint64_t WritePlainBlock(std::span<const std::uint8_t> raw, const ByteSink& sink);
std::vector<std::uint8_t> EncodePlainBlock(std::span<const std::uint8_t> raw);

// Gathers names (UTF-16 with their terminators) into compressed chunks.
class StringBlockWriter {
 public:
  explicit StringBlockWriter(ByteSink sink) : sink_(std::move(sink)) {}
  void Add(std::u16string_view name);
  // Flushes the last chunk and writes the closing zero. Call once.
  void Finish();
  std::uint64_t rawSize() const { return rawSize_; }        // all name bytes
  std::uint64_t storedSize() const { return storedSize_; }  // every byte written

 private:
  void FlushChunk();
  void Emit(std::span<const std::uint8_t> bytes);

  ByteSink sink_;
  std::vector<std::uint8_t> chunk_;
  std::vector<std::uint8_t> packet_;
  std::uint64_t rawSize_ = 0;
  std::uint64_t storedSize_ = 0;
};

struct BlockReadResult {
  bool ok = false;
  std::string error;  // why the block cannot be read back
};

// True when a block of this stored size can plausibly decode to rawSize bytes;
// readers check it before allocating a destination the file asks for.
bool PlausibleRawSize(std::uint64_t rawSize, std::uint64_t storedSize);

// Decodes a plain block into `dst`, whose size is the block's raw size.
BlockReadResult ReadPlainBlock(std::span<const std::uint8_t> stored, std::span<std::uint8_t> dst);
// Decodes a string block into `dst` (the concatenated names, raw size bytes).
BlockReadResult ReadStringBlock(std::span<const std::uint8_t> stored, std::span<std::uint8_t> dst);

// Splits decoded name bytes into names. A last name without its terminator
// (a damaged block) is kept as far as it goes.
std::vector<std::u16string> SplitNames(std::span<const std::uint8_t> raw);

}  // namespace kestrova::session
