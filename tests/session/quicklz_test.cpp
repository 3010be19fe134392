#include "session/quicklz.h"
#include "session/qlz_reference.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>

namespace kestrova::qlz {
namespace {

namespace fs = std::filesystem;
using Buffer = std::vector<std::uint8_t>;

const fs::path kVectors = fs::path(KESTROVA_TEST_DATA_DIR) / "quicklz";

Buffer ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Buffer((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Vector {
  std::string name;
  std::size_t rawSize;
  std::size_t packetSize;
};

std::vector<Vector> Manifest() {
  std::vector<Vector> cases;
  std::ifstream in(kVectors / "MANIFEST.txt");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Vector v;
    if (fields >> v.name >> v.rawSize >> v.packetSize) cases.push_back(v);
  }
  return cases;
}

Buffer Decode(const Buffer& packet, std::size_t capacity, DecodeStatus* status = nullptr) {
  Buffer out(capacity);
  const auto result = Decompress(packet, out);
  if (status) *status = result.status;
  if (!result.ok()) return {};
  out.resize(result.dataSize);
  return out;
}

// Mixed data: text, records with small numbers, runs and noise.
Buffer MixedData(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  Buffer data;
  data.reserve(size);
  static const char kWords[] = "recovered file folder sector cluster deleted name ";
  while (data.size() < size) {
    switch (rng() % 4) {
      case 0:
        for (int k = 0; k < 40; ++k) data.push_back(static_cast<std::uint8_t>(kWords[(rng() % 7) * 7 + k % 7]));
        break;
      case 1:
        for (int k = 0; k < 68; ++k) data.push_back(k % 4 == 0 ? static_cast<std::uint8_t>(rng() % 8) : 0);
        break;
      case 2: data.insert(data.end(), rng() % 300, static_cast<std::uint8_t>(rng())); break;
      default:
        for (int k = 0; k < 50; ++k) data.push_back(static_cast<std::uint8_t>(rng()));
    }
  }
  data.resize(size);
  return data;
}

TEST(QuickLz, EveryReferenceVectorMatchesBothWays) {
  const auto cases = Manifest();
  ASSERT_GE(cases.size(), 40u) << "vector manifest missing in " << kVectors;
  for (const auto& v : cases) {
    SCOPED_TRACE(v.name);
    const Buffer raw = ReadFile(kVectors / (v.name + ".raw"));
    const Buffer packet = ReadFile(kVectors / (v.name + ".qlz"));
    ASSERT_EQ(raw.size(), v.rawSize);
    ASSERT_EQ(packet.size(), v.packetSize);
    EXPECT_TRUE(Compress(raw) == packet) << "encoder output differs";
    EXPECT_TRUE(Decode(packet, raw.size()) == raw) << "decoder output differs";
    const auto sizes = PeekSizes(packet);
    ASSERT_TRUE(sizes);
    EXPECT_EQ(sizes->packetSize, packet.size());
    EXPECT_EQ(sizes->dataSize, raw.size());
    EXPECT_EQ(sizes->headerLength, raw.size() <= 215 ? 3u : 9u);
  }
}

TEST(QuickLz, WorkedExampleAndSmallSizes) {
  const std::string text = "abcabcabcXabcabc";
  const Buffer packet = Compress(Buffer(text.begin(), text.end()));
  const Buffer expected = {0x45, 0x14, 0x10, 0x10, 0x00, 0x00, 0x80, 0x61, 0x62, 0x63, 0x61,
                           0x43, 0x57, 0x58, 0x61, 0x62, 0x63, 0x61, 0x62, 0x63};
  EXPECT_EQ(packet, expected);
  EXPECT_TRUE(Compress(Buffer{}).empty()) << "an empty input has no packet";

  // Sizes of incompressible inputs follow the give-up rule, not "whichever is smaller".
  std::mt19937 rng(7);
  auto packetSizeFor = [&](std::size_t n) {
    Buffer data(n);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    return Compress(data).size();
  };
  EXPECT_EQ(packetSizeFor(1), 12u);
  EXPECT_EQ(packetSizeFor(5), 12u);
  EXPECT_EQ(packetSizeFor(6), 13u);
  EXPECT_EQ(packetSizeFor(40), 51u);
  EXPECT_EQ(packetSizeFor(62), 73u);
  EXPECT_EQ(packetSizeFor(100), 103u);
  EXPECT_EQ(packetSizeFor(216), 225u);
}

TEST(QuickLz, RoundTripsAcrossSizesAndContent) {
  std::mt19937 rng(99);
  std::vector<std::size_t> sizes;
  for (std::size_t n = 1; n <= 300; ++n) sizes.push_back(n);
  for (int k = 0; k < 12; ++k) sizes.push_back(1 + rng() % (3 << 20));
  for (std::size_t n : sizes) {
    const Buffer data = MixedData(n, static_cast<unsigned>(n));
    const Buffer packet = Compress(data);
    ASSERT_LE(packet.size(), n + kCompressOverhead);
    ASSERT_TRUE(Decode(packet, n) == data) << "size " << n;
  }
}

TEST(QuickLz, DecoderRefusesBadHeaders) {
  const Buffer data = MixedData(5000, 3);
  const Buffer packet = Compress(data);
  DecodeStatus status;

  EXPECT_TRUE(Decode(Buffer{0x45, 12}, 100, &status).empty());
  EXPECT_EQ(status, DecodeStatus::kTruncatedHeader);
  EXPECT_TRUE(Decode(Buffer(packet.begin(), packet.begin() + 5), 100, &status).empty());
  EXPECT_EQ(status, DecodeStatus::kTruncatedHeader);

  for (int flags : {0x00, 0x43, 0x48, 0x4D, 0x55, 0xC5}) {
    Buffer bad = packet;
    bad[0] = static_cast<std::uint8_t>(flags);
    Decode(bad, data.size(), &status);
    EXPECT_EQ(status, DecodeStatus::kBadHeaderByte) << int(flags);
  }

  Decode(packet, data.size() - 1, &status);
  EXPECT_EQ(status, DecodeStatus::kBadDataSize) << "destination smaller than n";

  Buffer zeroN = packet;
  zeroN[5] = zeroN[6] = zeroN[7] = zeroN[8] = 0;
  Decode(zeroN, data.size(), &status);
  EXPECT_EQ(status, DecodeStatus::kBadDataSize);

  Buffer tooShort = packet;
  tooShort[1] = 8;  // packet size below the header
  tooShort[2] = tooShort[3] = tooShort[4] = 0;
  Decode(tooShort, data.size(), &status);
  EXPECT_EQ(status, DecodeStatus::kBadPacketSize);

  // Stored packet whose size disagrees with n.
  Buffer stored = {0x44, 3 + 4, 5, 'a', 'b', 'c', 'd'};
  Decode(stored, 10, &status);
  EXPECT_EQ(status, DecodeStatus::kStoredSizeMismatch);
  stored = {0x44, 3 + 5, 5, 'a', 'b', 'c', 'd', 'e'};
  EXPECT_EQ(Decode(stored, 10), (Buffer{'a', 'b', 'c', 'd', 'e'}));
}

TEST(QuickLz, EveryTruncationFailsWithoutReadingPastIt) {
  const Buffer data = MixedData(3000, 11);
  const Buffer packet = Compress(data);
  ASSERT_EQ(packet[0] & 1, 1);
  for (std::size_t cut = 0; cut < packet.size(); ++cut) {
    // An exact-size copy so ASan sees any read past the bytes available.
    const Buffer part(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(cut));
    DecodeStatus status;
    EXPECT_TRUE(Decode(part, data.size(), &status).empty()) << cut;
  }
  // The packet size field claiming fewer bytes than the body needs.
  for (std::uint32_t size = 9; size < packet.size(); size += 97) {
    Buffer lying = packet;
    lying[1] = static_cast<std::uint8_t>(size);
    lying[2] = static_cast<std::uint8_t>(size >> 8);
    lying[3] = lying[4] = 0;
    DecodeStatus status;
    EXPECT_TRUE(Decode(lying, data.size(), &status).empty()) << size;
  }
}

TEST(QuickLz, CorruptMatchesAreRefused) {
  DecodeStatus status;
  // First token a match: its slot cannot have been filled yet.
  Buffer emptySlot = {0x45, 20, 17, 0x01, 0, 0, 0x80, 0x13, 0x00};
  emptySlot.resize(20, 'x');
  Decode(emptySlot, 17, &status);
  EXPECT_EQ(status, DecodeStatus::kBadMatch);

  // Literals "abc" then a match from slot(abc) at distance 3, declared length 0..2.
  const std::uint32_t key = 'a' | 'b' << 8 | 'c' << 16;
  const std::uint16_t slot = static_cast<std::uint16_t>((key ^ (key >> 12)) & 0xFFF);
  for (int length : {0, 1, 2}) {
    Buffer badLength = {0x45, 0, 24, 0x08, 0, 0, 0x80, 'a', 'b', 'c',
                        static_cast<std::uint8_t>(slot << 4), static_cast<std::uint8_t>(slot >> 4), static_cast<std::uint8_t>(length)};
    badLength.resize(28, 'z');
    badLength[1] = static_cast<std::uint8_t>(badLength.size());
    Decode(badLength, 24, &status);
    EXPECT_EQ(status, DecodeStatus::kBadMatch) << int(length);
  }
  // The same match at a sane length decodes; one reaching into the last 4 bytes does not.
  auto withLength = [&](std::uint8_t n, std::uint8_t matchLength) {
    Buffer p = {0x45, 0, n, 0x08, 0, 0, 0x80, 'a', 'b', 'c',
                static_cast<std::uint8_t>((slot << 4) | (matchLength - 2)), static_cast<std::uint8_t>(slot >> 4)};
    p.resize(p.size() + n - 3u - matchLength, 'z');
    p[1] = static_cast<std::uint8_t>(p.size());
    return p;
  };
  EXPECT_EQ(Decode(withLength(14, 3), 14), (Buffer{'a', 'b', 'c', 'a', 'b', 'c', 'z', 'z', 'z', 'z', 'z', 'z', 'z', 'z'}));
  Buffer intoTail = withLength(14, 3);
  intoTail[2] = 9;  // n = 9: the match would end within the last 4 bytes
  Decode(intoTail, 14, &status);
  EXPECT_EQ(status, DecodeStatus::kBadMatch);
}

TEST(QuickLz, RandomCorruptionNeverEscapesTheBuffers) {
  std::mt19937 rng(2024);
  const Buffer data = MixedData(20000, 5);
  const Buffer packet = Compress(data);
  for (int round = 0; round < 3000; ++round) {
    Buffer bad = packet;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < flips; ++k) bad[9 + rng() % (bad.size() - 9)] = static_cast<std::uint8_t>(rng());
    Buffer out(data.size());
    const auto result = Decompress(bad, out);
    if (result.ok()) {
      EXPECT_EQ(result.dataSize, data.size());
    }
  }
}

// The encoder is tuned for speed but must produce the very packets of the
// straightforward encoder it replaced: files written by either load in the
// other, and the published vectors hold. Inputs of every kind and size,
// including the edges of the match-length cap and of the give-up test.
TEST(QuickLz, FastEncoderMatchesTheReferenceByteForByte) {
  std::mt19937 rng(99);
  std::size_t checked = 0;
  auto check = [&](const Buffer& data, const char* what) {
    const Buffer ours = Compress(data);
    const Buffer theirs = reference::Compress(data);
    ASSERT_EQ(ours, theirs) << what << ", " << data.size() << " bytes";
    ++checked;
  };
  for (int round = 0; round < 400; ++round) {
    const std::size_t size = 1 + rng() % (round < 200 ? 600 : 70000);
    Buffer data(size);
    switch (round % 6) {
      case 0:
        for (auto& b : data) b = static_cast<std::uint8_t>(rng());
        break;
      case 1:  // a small alphabet: many short matches
        for (auto& b : data) b = static_cast<std::uint8_t>('a' + rng() % 3);
        break;
      case 2:  // long runs and repeats, up to and past 255 bytes
        for (std::size_t k = 0; k < size; ++k) data[k] = static_cast<std::uint8_t>((k / (1 + rng() % 400)) & 0xFF);
        break;
      case 3:
        data = MixedData(size, static_cast<unsigned>(round));
        break;
      case 4: {  // a repeated block of random length, then random tail: matches near the end
        const std::size_t period = 1 + rng() % 300;
        for (std::size_t k = 0; k < size; ++k) data[k] = static_cast<std::uint8_t>(k % period * 37);
        for (std::size_t k = size - std::min<std::size_t>(size, rng() % 16); k < size; ++k)
          data[k] = static_cast<std::uint8_t>(rng());
        break;
      }
      default:  // all one byte (the distance-1 case)
        std::fill(data.begin(), data.end(), static_cast<std::uint8_t>(rng()));
        break;
    }
    check(data, "generated");
  }
  check(MixedData(5u << 20, 3), "5 MiB mixed");
  Buffer half(3u << 20);
  for (std::size_t k = 0; k < half.size(); ++k) half[k] = k < half.size() / 2 ? static_cast<std::uint8_t>(k % 7) : static_cast<std::uint8_t>(rng());
  check(half, "compressible, then random (give-up test)");
  EXPECT_EQ(checked, 402u);
}

}  // namespace
}  // namespace kestrova::qlz
