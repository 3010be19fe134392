#include "session/compressed_blocks.h"

#include <gtest/gtest.h>

#include <random>

#include "common/le.h"
#include "session/quicklz.h"

namespace kestrova::session {
namespace {

using Buffer = std::vector<std::uint8_t>;

Buffer Records(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  Buffer data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = (i % 68 < 8) ? static_cast<std::uint8_t>(rng()) : static_cast<std::uint8_t>(i % 68);
  return data;
}

Buffer ReadPlain(const Buffer& block, std::size_t rawSize, BlockReadResult* result = nullptr) {
  Buffer out(rawSize);
  const auto r = ReadPlainBlock(block, out);
  if (result) *result = r;
  return r.ok ? out : Buffer{};
}

TEST(PlainBlock, SinglePacketUpToTenMiBThenFiveMiBPieces) {
  const Buffer exact = Records(kSinglePacketLimit, 1);
  const Buffer block = EncodePlainBlock(exact);
  const auto sizes = qlz::PeekSizes(block);
  ASSERT_TRUE(sizes);
  EXPECT_EQ(sizes->dataSize, kSinglePacketLimit) << "one packet, no prefix";
  EXPECT_EQ(sizes->packetSize, block.size());
  EXPECT_TRUE(ReadPlain(block, exact.size()) == exact);

  const Buffer over = Records(kSinglePacketLimit + 1, 2);
  const Buffer pieces = EncodePlainBlock(over);
  std::vector<std::uint32_t> dataSizes;
  std::size_t at = 0;
  while (at < pieces.size()) {
    const std::uint32_t length = LoadLe32(pieces, at);
    const auto piece = qlz::PeekSizes(std::span(pieces).subspan(at + 4));
    ASSERT_TRUE(piece);
    EXPECT_EQ(piece->packetSize, length);
    dataSizes.push_back(piece->dataSize);
    at += 4 + length;
  }
  EXPECT_EQ(at, pieces.size());
  EXPECT_EQ(dataSizes, (std::vector<std::uint32_t>{kPieceSize, kPieceSize, 1}));
  EXPECT_TRUE(ReadPlain(pieces, over.size()) == over);

  std::uint64_t sunk = 0;
  EXPECT_EQ(WritePlainBlock(over, [&](std::span<const std::uint8_t> b) { sunk += b.size(); }), pieces.size());
  EXPECT_EQ(sunk, pieces.size()) << "stored size counts the prefixes";
  EXPECT_EQ(WritePlainBlock({}, [](std::span<const std::uint8_t>) { FAIL(); }), 0u) << "empty data: absent block";
}

TEST(PlainBlock, RandomSizesRoundTrip) {
  std::mt19937 rng(5);
  for (std::size_t size : {std::size_t{1}, std::size_t{215}, std::size_t{216}, std::size_t{3 * kPieceSize + 17},
                           std::size_t{1 + rng() % (20u << 20)}, std::size_t{1 + rng() % (20u << 20)}}) {
    const Buffer data = Records(size, static_cast<unsigned>(size));
    EXPECT_TRUE(ReadPlain(EncodePlainBlock(data), size) == data) << size;
  }
}

TEST(PlainBlock, DamagedBlocksFailCleanly) {
  const Buffer over = Records(kSinglePacketLimit + 1000, 3);
  const Buffer pieces = EncodePlainBlock(over);
  BlockReadResult result;

  ReadPlain(Buffer(pieces.begin(), pieces.end() - 10), over.size(), &result);
  EXPECT_FALSE(result.ok);
  EXPECT_FALSE(result.error.empty());

  Buffer badPrefix = pieces;
  StoreLe32(badPrefix, 0, 0xFFFFFFF0u);
  ReadPlain(badPrefix, over.size(), &result);
  EXPECT_FALSE(result.ok);

  // A raw size that disagrees with what the packets hold.
  ReadPlain(pieces, over.size() + 1, &result);
  EXPECT_FALSE(result.ok);
  const Buffer small = EncodePlainBlock(Records(1000, 4));
  ReadPlain(small, 999, &result);
  EXPECT_FALSE(result.ok);
  ReadPlain(small, 1001, &result);
  EXPECT_FALSE(result.ok);

  EXPECT_TRUE(PlausibleRawSize(1000, small.size()));
  EXPECT_FALSE(PlausibleRawSize(0x80000000u, 12));
}

TEST(StringBlock, ChunksPastOneMiBAndAClosingZero) {
  Buffer block;
  StringBlockWriter writer([&](std::span<const std::uint8_t> b) { block.insert(block.end(), b.begin(), b.end()); });
  std::vector<std::u16string> names;
  std::uint64_t rawBytes = 0;
  for (int i = 0; rawBytes <= 2 * kStringChunkLimit + 5000; ++i) {
    names.push_back(u"file_" + std::u16string(static_cast<std::size_t>(i % 40), u'x') + u".jpg");
    if (i % 1000 == 0) names.back() = u"";  // empty names still carry their terminator
    rawBytes += 2 * (names.back().size() + 1);
    writer.Add(names.back());
  }
  writer.Finish();
  EXPECT_EQ(writer.rawSize(), rawBytes);
  EXPECT_EQ(writer.storedSize(), block.size());
  ASSERT_GE(block.size(), 4u);
  EXPECT_EQ(LoadLe32(block, block.size() - 4), 0u);

  std::size_t chunks = 0;
  for (std::size_t at = 0; LoadLe32(block, at) != 0; at += 4 + LoadLe32(block, at)) {
    const auto sizes = qlz::PeekSizes(std::span(block).subspan(at + 4));
    ASSERT_TRUE(sizes);
    if (at + 4 + sizes->packetSize + 4 < block.size()) {
      EXPECT_GT(sizes->dataSize, kStringChunkLimit);
    }
    ++chunks;
  }
  EXPECT_EQ(chunks, 3u);

  Buffer raw(rawBytes);
  const auto result = ReadStringBlock(block, raw);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(SplitNames(raw), names);

  // Damage: a missing closing zero, a raw size that does not match, a cut chunk.
  Buffer wrong(rawBytes - 2);
  EXPECT_FALSE(ReadStringBlock(block, wrong).ok);
  EXPECT_FALSE(ReadStringBlock(Buffer(block.begin(), block.end() - 4), raw).ok);
  EXPECT_FALSE(ReadStringBlock(Buffer(block.begin(), block.begin() + 100), raw).ok);
}

TEST(StringBlock, SplitKeepsAnUnterminatedTail) {
  const Buffer raw = {'a', 0, 0, 0, 'b', 0, 'c', 0};
  EXPECT_EQ(SplitNames(raw), (std::vector<std::u16string>{u"a", u"bc"}));
  Buffer empty;
  StringBlockWriter writer([&](std::span<const std::uint8_t> b) { empty.insert(empty.end(), b.begin(), b.end()); });
  writer.Finish();
  EXPECT_EQ(empty, (Buffer{0, 0, 0, 0}));
}

}  // namespace
}  // namespace kestrova::session
