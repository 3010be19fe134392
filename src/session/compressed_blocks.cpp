#include "session/compressed_blocks.h"
#include "common/activity.h"

#include <algorithm>
#include <string>

#include "common/le.h"
#include "session/quicklz.h"

namespace kestrova::session {
namespace {

void EmitPrefix(std::uint32_t value, const ByteSink& sink) {
  std::uint8_t prefix[4];
  StoreLe32(prefix, 0, value);
  sink(prefix);
}

// Decodes one packet that must fill `dst` exactly and occupy `stored` exactly
// when `exact` is set (a prefixed piece), or start `stored` otherwise.
BlockReadResult DecodeExact(std::span<const std::uint8_t> stored, std::span<std::uint8_t> dst, bool exact,
                            const char* what) {
  BlockReadResult result;
  const auto decoded = qlz::Decompress(stored, dst);
  if (!decoded.ok()) {
    result.error = std::string(what) + ": " + qlz::DecodeStatusText(decoded.status);
  } else if (decoded.dataSize != dst.size()) {
    result.error = std::string(what) + ": packet holds " + std::to_string(decoded.dataSize) + " bytes, expected " +
                   std::to_string(dst.size());
  } else if (exact && decoded.packetSize != stored.size()) {
    result.error = std::string(what) + ": packet size does not match its length prefix";
  } else {
    result.ok = true;
  }
  return result;
}

BlockReadResult Fail(std::string text) {
  BlockReadResult result;
  result.error = std::move(text);
  return result;
}

}  // namespace

std::uint64_t WritePlainBlock(std::span<const std::uint8_t> raw, const ByteSink& sink) {
  ActivityMark activity(Fn::WritePlainBlock);
  if (raw.empty()) return 0;
  if (raw.size() <= kSinglePacketLimit) {
    const auto packet = qlz::Compress(raw);
    sink(packet);
    return packet.size();
  }
  std::uint64_t stored = 0;
  std::vector<std::uint8_t> packet(kPieceSize + qlz::kCompressOverhead);
  for (std::size_t at = 0; at < raw.size(); at += kPieceSize) {
    const auto piece = raw.subspan(at, std::min(kPieceSize, raw.size() - at));
    const std::size_t size = qlz::Compress(piece, packet.data());
    EmitPrefix(static_cast<std::uint32_t>(size), sink);
    sink(std::span<const std::uint8_t>(packet.data(), size));
    stored += 4 + size;
  }
  return stored;
}

std::vector<std::uint8_t> EncodePlainBlock(std::span<const std::uint8_t> raw) {
  std::vector<std::uint8_t> block;
  WritePlainBlock(raw, [&](std::span<const std::uint8_t> bytes) { block.insert(block.end(), bytes.begin(), bytes.end()); });
  return block;
}

void StringBlockWriter::Emit(std::span<const std::uint8_t> bytes) {
  sink_(bytes);
  storedSize_ += bytes.size();
}

void StringBlockWriter::Add(std::u16string_view name) {
  for (char16_t c : name) {
    chunk_.push_back(static_cast<std::uint8_t>(c));
    chunk_.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  chunk_.push_back(0);
  chunk_.push_back(0);
  rawSize_ += 2 * (name.size() + 1);
  if (chunk_.size() > kStringChunkLimit) FlushChunk();
}

void StringBlockWriter::FlushChunk() {
  if (chunk_.empty()) return;  // an empty input has no packet
  packet_.resize(chunk_.size() + qlz::kCompressOverhead);
  const std::size_t size = qlz::Compress(chunk_, packet_.data());
  std::uint8_t prefix[4];
  StoreLe32(prefix, 0, static_cast<std::uint32_t>(size));
  Emit(prefix);
  Emit(std::span<const std::uint8_t>(packet_.data(), size));
  chunk_.clear();
}

void StringBlockWriter::Finish() {
  FlushChunk();
  const std::uint8_t zero[4] = {0, 0, 0, 0};
  Emit(zero);
}

bool PlausibleRawSize(std::uint64_t rawSize, std::uint64_t storedSize) {
  // Every packet carries at most kMaxExpansion times its size; a few bytes of
  // slack cover the smallest packets, whose 12 bytes hold at most 5.
  return rawSize <= storedSize * qlz::kMaxExpansion + 64;
}

BlockReadResult ReadPlainBlock(std::span<const std::uint8_t> stored, std::span<std::uint8_t> dst) {
  ActivityMark activity(Fn::ReadPlainBlock);
  if (dst.empty()) return Fail("empty block");
  if (dst.size() <= kSinglePacketLimit) return DecodeExact(stored, dst, false, "block packet");
  std::size_t at = 0;
  std::size_t produced = 0;
  while (produced < dst.size()) {
    if (stored.size() - at < 4) return Fail("block piece " + std::to_string(produced / kPieceSize) + ": length missing");
    const std::uint32_t length = LoadLe32(stored, at);
    at += 4;
    if (length > stored.size() - at) return Fail("block piece length beyond the block");
    const std::size_t want = std::min(kPieceSize, dst.size() - produced);
    auto result = DecodeExact(stored.subspan(at, length), dst.subspan(produced, want), true, "block piece");
    if (!result.ok) return result;
    at += length;
    produced += want;
  }
  return {true, {}};
}

BlockReadResult ReadStringBlock(std::span<const std::uint8_t> stored, std::span<std::uint8_t> dst) {
  ActivityMark activity(Fn::ReadStringBlock);
  std::size_t at = 0;
  std::size_t produced = 0;
  for (;;) {
    if (stored.size() - at < 4) return Fail("name block: chunk length missing");
    const std::uint32_t length = LoadLe32(stored, at);
    at += 4;
    if (length == 0) break;
    if (length > stored.size() - at) return Fail("name block: chunk length beyond the block");
    const auto chunk = stored.subspan(at, length);
    const auto decoded = qlz::Decompress(chunk, dst.subspan(produced));
    if (!decoded.ok()) return Fail(std::string("name block: ") + qlz::DecodeStatusText(decoded.status));
    if (decoded.packetSize != length) return Fail("name block: packet size does not match its length prefix");
    at += length;
    produced += decoded.dataSize;
  }
  if (produced != dst.size()) {
    return Fail("name block: " + std::to_string(produced) + " name bytes, expected " + std::to_string(dst.size()));
  }
  return {true, {}};
}

std::vector<std::u16string> SplitNames(std::span<const std::uint8_t> raw) {
  std::vector<std::u16string> names;
  std::u16string current;
  bool pending = false;
  for (std::size_t i = 0; i + 1 < raw.size(); i += 2) {
    const auto c = static_cast<char16_t>(raw[i] | raw[i + 1] << 8);
    if (c == 0) {
      names.push_back(std::move(current));
      current.clear();
      pending = false;
    } else {
      current.push_back(c);
      pending = true;
    }
  }
  if (pending) names.push_back(std::move(current));
  return names;
}

}  // namespace kestrova::session
