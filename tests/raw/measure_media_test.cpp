// Crafted samples of the picture, camera-raw, audio and video measures:
// layouts no free tool writes, header fields at their limits, estimates.
#include "raw/measure_media.h"

#include "raw/raw_harness.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace kestrova {
namespace {

using namespace std::string_literals;
using test::Field;
using test::RawDisk;
using Blob = std::vector<std::uint8_t>;

void Le16(Blob& b, std::size_t at, std::uint32_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Le32(Blob& b, std::size_t at, std::uint32_t v) {
  Le16(b, at, v & 0xFFFF);
  Le16(b, at + 2, v >> 16);
}
void Be32(Blob& b, std::size_t at, std::uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
void Text(Blob& b, std::size_t at, std::string_view t) {
  if (b.size() < at + t.size()) b.resize(at + t.size());
  for (std::size_t i = 0; i < t.size(); ++i) b[at + i] = static_cast<std::uint8_t>(t[i]);
}
// Non-zero filler, so that no text or blank rule sees the data as empty.
Blob Filled(std::size_t n, std::uint8_t v = 0x11) { return Blob(n, v); }

struct Found {
  bool found = false;
  std::uint16_t item = 0;
  std::uint32_t size = 0;
  bool estimate = false;
  std::u16string name;
};

Found ScanOne(const Blob& file, std::size_t slack = 256 * 1024) {
  RawDisk disk(RawDisk::SectorsFor(file.size(), slack));
  disk.Put(8, file);
  disk.Scan(32);
  Found f;
  ScanEntry e{};
  if (!disk.FindAt(8, e)) return f;
  f.found = true;
  f.item = e.RawSignature();
  f.size = static_cast<std::uint32_t>(e.size);
  f.estimate = e.rating == rating::kRawClosed;
  f.name = disk.NameOf(e);
  return f;
}

// A little-endian TIFF: header, IFD0 at 8 with the given entries, then blobs at their offsets.
struct TiffEntry {
  std::uint16_t tag, type;
  std::uint32_t count, value;
};
Blob Tiff(const std::vector<TiffEntry>& entries, const std::map<std::size_t, std::string>& blobs = {},
          std::size_t size = 0, std::string_view magic = std::string_view("II*\0", 4)) {
  Blob b = Filled(std::max<std::size_t>(size, 512));
  Text(b, 0, magic);
  Le32(b, 4, 8);
  Le16(b, 8, static_cast<std::uint32_t>(entries.size()));
  std::size_t at = 10;
  for (const TiffEntry& e : entries) {
    Le16(b, at, e.tag);
    Le16(b, at + 2, e.type);
    Le32(b, at + 4, e.count);
    Le32(b, at + 8, e.value);
    at += 12;
  }
  Le32(b, at, 0);  // no next IFD
  for (const auto& [offset, text] : blobs) Text(b, offset, text);
  return b;
}

TEST(MeasureMediaCrafted, CameraRawLayoutsAreRetypedAndMeasured) {
  constexpr std::uint32_t kData = 4096;
  constexpr std::uint32_t kLength = 20000;
  auto raw = [&](std::string make, std::vector<TiffEntry> more = {}) {
    std::vector<TiffEntry> e = {{271, 2, static_cast<std::uint32_t>(make.size() + 1), 512},
                                {273, 4, 1, kData},
                                {279, 4, 1, kLength}};
    e.insert(e.end(), more.begin(), more.end());
    return Tiff(e, {{512, make + std::string(1, '\0')}}, kData + kLength);
  };
  struct Case {
    const char* what;
    Blob file;
    std::uint16_t item;
  };
  std::vector<Case> cases = {
      {"NIKON with a COOLPIX model in its first 64 bytes", raw("NIKON CORPORATION\0COOLPIX P7000"s), 147},
      {"NIKON", raw("NIKON CORPORATION"), 158},
      {"Sony F828", raw("SONY\0DSC-F828"s), 142},
      {"Sony R1", raw("SONY\0DSC-R1"s), 141},
      {"Kodak DC25", raw("Kodak\0DC25"s), 146},
      {"Kodak DSC", raw("EASTMAN Kodak\0DSC Pro"s), 144},
      {"Panasonic LX3", raw("Panasonic\0DMC-LX3"s), 139},
      {"Panasonic without -LX or DMC", raw("Panasonic\0FZ-8"s), 140},
      {"Leica", raw("Leica Camera AG"), 155},
      {"Canon", raw("Canon"), 156},
      {"DNG version tag", raw("Unknown maker", {{50706, 1, 4, 0x00000401}}), 155},
      {"no maker", raw("Unknown maker"), 59},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Found f = ScanOne(c.file);
    ASSERT_TRUE(f.found);
    EXPECT_EQ(f.item, c.item);
    EXPECT_EQ(f.size, kData + kLength);
    EXPECT_FALSE(f.estimate);
  }
}

TEST(MeasureMediaCrafted, TiffExtentsFromTilesSubIfdsCanonAndEpsonNotes) {
  // Tiles: the largest offset with its own length.
  {
    Blob t = Tiff({{322, 3, 1, 16}, {324, 4, 3, 200}, {325, 4, 3, 220}}, {}, 9000);
    Le32(t, 200, 1000);
    Le32(t, 204, 7000);
    Le32(t, 208, 3000);
    Le32(t, 220, 500);
    Le32(t, 224, 1500);
    Le32(t, 228, 600);
    const Found f = ScanOne(t);
    EXPECT_EQ(f.size, 8500u) << "7000 + 1500";
  }
  // A sub-IFD holding the raw data further on.
  {
    Blob t = Tiff({{330, 4, 1, 300}}, {}, 60000);
    Le16(t, 300, 2);
    Le16(t, 302, 273), Le16(t, 304, 4), Le32(t, 306, 1), Le32(t, 310, 10000);
    Le16(t, 314, 279), Le16(t, 316, 4), Le32(t, 318, 1), Le32(t, 322, 50000);
    Le32(t, 326, 0);
    const Found f = ScanOne(t);
    EXPECT_EQ(f.size, 60000u);
    EXPECT_EQ(f.item, 59);
  }
  // Canon: "CR" at 8 names the raw IFD.
  {
    Blob t = Filled(40000);
    Text(t, 0, std::string_view("II*\0", 4));
    Le32(t, 4, 16);
    Text(t, 8, "CR");
    Le32(t, 12, 100);
    Le16(t, 16, 1), Le16(t, 18, 256), Le16(t, 20, 3), Le32(t, 22, 1), Le32(t, 26, 10), Le32(t, 30, 0);
    Le16(t, 100, 2);
    Le16(t, 102, 273), Le16(t, 104, 4), Le32(t, 106, 1), Le32(t, 110, 5000);
    Le16(t, 114, 279), Le16(t, 116, 4), Le32(t, 118, 1), Le32(t, 122, 35000);
    Le32(t, 126, 0);
    const Found f = ScanOne(t);
    EXPECT_EQ(f.item, 156);
    EXPECT_EQ(f.size, 40000u);
  }
  // EPSON maker note in the EXIF IFD: its tag 640 holds the raw data.
  {
    Blob t = Tiff({{34665, 4, 1, 200}}, {}, 70000);
    Le16(t, 200, 1);
    Le16(t, 202, 37500), Le16(t, 204, 7), Le32(t, 206, 64), Le32(t, 210, 400);
    Le32(t, 214, 0);
    Text(t, 400, std::string_view("EPSON\0\1\0", 8));
    Le16(t, 408, 1);
    Le16(t, 410, 640), Le16(t, 412, 7), Le32(t, 414, 60000), Le32(t, 418, 10000);
    const Found f = ScanOne(t);
    EXPECT_EQ(f.item, 153);
    EXPECT_EQ(f.size, 70000u);
  }
  // A strip count beyond 4,096 stops that IFD: 128 KiB more than the extent found.
  {
    Blob t = Tiff({{273, 4, 5000, 200}, {279, 4, 5000, 300}}, {}, 600);
    const Found f = ScanOne(t);
    ASSERT_TRUE(f.found);
    EXPECT_EQ(f.size, 300u + 5000 * 4 + 131072) << "the lists themselves, and the allowance";
  }
  // The first IFD far behind the head and nothing there: the size is a guess.
  {
    Blob t = Filled(1024);
    Text(t, 0, std::string_view("II*\0", 4));
    Le32(t, 4, 100000);
    const Found f = ScanOne(t, 200000);
    ASSERT_TRUE(f.found);
    EXPECT_EQ(f.item, 155);
    EXPECT_EQ(f.size, 100000u + 16384);
    EXPECT_TRUE(f.estimate);
  }
  // Big-endian: the same walk with every field read the other way round.
  {
    Blob t = Filled(5000);
    Text(t, 0, "MM");
    t[2] = 0, t[3] = 0x2A;
    Be32(t, 4, 8);
    t[8] = 0, t[9] = 2;
    const std::uint8_t e1[] = {0x01, 0x11, 0, 4, 0, 0, 0, 1, 0, 0, 0x03, 0xE8};  // 273 = 1000
    const std::uint8_t e2[] = {0x01, 0x17, 0, 4, 0, 0, 0, 1, 0, 0, 0x0F, 0xA0};  // 279 = 4000
    std::copy(std::begin(e1), std::end(e1), t.begin() + 10);
    std::copy(std::begin(e2), std::end(e2), t.begin() + 22);
    Be32(t, 34, 0);
    const Found f = ScanOne(t);
    EXPECT_EQ(f.item, 56);
    EXPECT_EQ(f.size, 5000u);
  }
}

TEST(MeasureMediaCrafted, SimpleMeasuresFromTheirHeaders) {
  struct Case {
    const char* what;
    Blob file;
    bool found;
    std::uint16_t item;
    std::uint32_t size;
    bool estimate;
  };
  // A rejected case names the row that must not take it.
  std::vector<Case> cases;
  {
    Blob b = Filled(1024);
    Text(b, 0, "BM");
    Le32(b, 2, 30);
    Le32(b, 10, 54);
    cases.push_back({"BMP with a file size of 30", b, true, 83, 5 * 1048576, true});
    Le32(b, 2, 50 * 1048576 + 1);
    cases.push_back({"BMP above 50 MiB", b, false, 83, 0, false});
    Le32(b, 2, 800);
    Le32(b, 10, 5000);
    cases.push_back({"BMP pixel offset beyond 4 KiB", b, false, 83, 0, false});
  }
  {
    Blob b = Filled(6000);
    Text(b, 0, "FWS");
    b[3] = 10;
    Le32(b, 4, 5000);
    cases.push_back({"SWF", b, true, 52, 5000, false});
    Text(b, 0, "CWS");
    cases.push_back({"compressed SWF", b, true, 51, 5000, false});
    b[3] = 17;
    cases.push_back({"SWF version 17", b, false, 51, 0, false});
  }
  {
    Blob b = Filled(12048);
    Text(b, 0, "FUJIFILMCCD-RAW 0201FF383501");
    Be32(b, 100, 2048);
    Be32(b, 104, 10000);
    cases.push_back({"RAF", b, true, 138, 12048, false});
  }
  {
    Blob b = Filled(3000);
    Text(b, 0, "RIFF");
    Le32(b, 4, 2992);
    Text(b, 8, "CDXAfmt ");
    cases.push_back({"CDXA", b, true, 60, 3000, false});
    Text(b, 8, "WAVEdata");
    cases.push_back({"RIFF WAVE without fmt first", b, false, 62, 0, false});
  }
  {
    Blob b = Filled(100000);
    b[0] = 0, b[1] = 0, b[2] = 0x0A;
    Le16(b, 12, 100), Le16(b, 14, 100);
    b[16] = 24;
    cases.push_back({"run-length TGA: the uncompressed size as an estimate", b, true, 78, 30018, true});
    b[16] = 12;
    cases.push_back({"TGA of 12 bits", b, false, 78, 0, false});
    b[16] = 24;
    Le16(b, 12, 5000), Le16(b, 14, 20);
    cases.push_back({"TGA 250 times wider than high", b, false, 78, 0, false});
  }
  {
    Blob b = Filled(2048);
    Text(b, 0, "GIF89a");
    Le16(b, 6, 4), Le16(b, 8, 4);
    b[10] = 0;
    Text(b, 13, ",");
    Le16(b, 14, 0), Le16(b, 16, 0), Le16(b, 18, 4), Le16(b, 20, 4);
    b[22] = 0, b[23] = 2, b[24] = 3, b[25] = 1, b[26] = 2, b[27] = 3, b[28] = 0;
    b[29] = 0x55;  // no trailer: an estimate rounded up
    cases.push_back({"GIF without its trailer", b, true, 77, 512, true});
    b[29] = ';';
    cases.push_back({"GIF", b, true, 77, 30, false});
    b[4] = '8';
    cases.push_back({"GIF8 without 7a or 9a", b, false, 77, 0, false});
  }
  {
    Blob b = Filled(2048);
    const std::uint8_t sig[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::copy(std::begin(sig), std::end(sig), b.begin());
    Be32(b, 8, 13);
    Text(b, 12, "IHDR");
    Be32(b, 33, 100);
    Text(b, 37, "ID\x01T");  // a type byte below 33
    cases.push_back({"PNG with a bad chunk type", b, true, 76, 512, true});
    Text(b, 37, "IDAT");
    Be32(b, 145, 0);
    Text(b, 149, "IEND");
    cases.push_back({"PNG", b, true, 76, 157, false});
  }
  {
    Blob b = Filled(64 * 1024);
    b[0] = 0, b[1] = 0, b[2] = 1, b[3] = 0xBA;
    b[4] = 0x44;
    b[13] = 0xF8;
    b[14] = 0, b[15] = 0, b[16] = 1, b[17] = 0xB9;
    cases.push_back({"MPEG stream under 16 KiB", b, false, 48, 0, false});
  }
  {
    // MPEG-1: a pack header, then twelve 2 KiB packets with no pack header
    // between them (24 KiB), a second pack with twelve more; filler behind.
    Blob b;
    auto pack = [&b] {
      const std::size_t at = b.size();
      Be32(b, at, 0x000001BA);
      b.resize(at + 12, 0x01);
      b[at + 4] = 0x21;
    };
    auto packets = [&b](int n) {
      for (int i = 0; i < n; ++i) {
        const std::size_t at = b.size();
        Be32(b, at, i % 3 == 2 ? 0x000001BE : 0x000001E0);
        b.resize(at + 2048, 0xFF);
        b[at + 4] = (2048 - 6) >> 8, b[at + 5] = (2048 - 6) & 0xFF;
      }
    };
    pack();
    packets(12);
    pack();
    packets(12);
    const std::size_t length = b.size();
    b.resize(length + 3000, 0x11);
    cases.push_back({"MPEG-1 stream with packs 24 KiB apart, no end code", b, true, 48, static_cast<std::uint32_t>(length), false});
    Be32(b, length, 0x000001B9);
    cases.push_back({"the same with its end code", b, true, 48, static_cast<std::uint32_t>(length + 4), false});
    Be32(b, length, 0x000001B3);
    cases.push_back({"the same, a sequence header outside any packet behind it", b, true, 48, static_cast<std::uint32_t>(length), false});
    b[4] = 0x11;
    cases.push_back({"first pack header neither MPEG-1 nor MPEG-2", b, false, 48, 0, false});
  }
  {
    // DDS cube map, DXT1, 8 x 8, two levels, all six faces.
    Blob b = Filled(4096);
    Text(b, 0, "DDS |");
    Le32(b, 12, 8), Le32(b, 16, 8), Le32(b, 28, 2), Le32(b, 80, 4);
    Text(b, 84, "DXT1");
    Le32(b, 112, 0x200 | 0xFC00);
    cases.push_back({"cube-map DDS", b, true, 42, 6 * (4 * 8 + 1 * 8) + 128, false});
    Le32(b, 112, 0x200000);
    Le32(b, 24, 4);
    cases.push_back({"volume DDS", b, true, 42, 4 * 4 * 8 + 2 * 1 * 8 + 128, false});
    Le32(b, 12, 7);
    cases.push_back({"DDS of odd height", b, false, 42, 0, false});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Found f = ScanOne(c.file);
    if (!c.found) {
      EXPECT_TRUE(!f.found || f.item != c.item);
      continue;
    }
    ASSERT_TRUE(f.found);
    EXPECT_EQ(f.item, c.item);
    EXPECT_EQ(f.size, c.size);
    EXPECT_EQ(f.estimate, c.estimate);
  }
}

// MPEG-1 Layer III frames of 417 bytes (128 kbit/s, 44.1 kHz, no padding).
Blob Mp3Frames(int frames) {
  Blob b;
  for (int i = 0; i < frames; ++i) {
    Blob f(417, 0x55);
    f[0] = 0xFF, f[1] = 0xFB, f[2] = 0x90, f[3] = 0x44;
    b.insert(b.end(), f.begin(), f.end());
  }
  return b;
}

TEST(MeasureMediaCrafted, Mp3FramesTagsAndNames) {
  EXPECT_EQ(Mp3FrameLength(0xFB, 0x90), 417u);
  EXPECT_EQ(Mp3FrameLength(0xFB, 0x92), 418u) << "padding";
  EXPECT_EQ(Mp3FrameLength(0xF3, 0x90), 261u) << "MPEG-2, 80 kbit/s at 22,050 Hz: halved";
  EXPECT_EQ(Mp3FrameLength(0xFB, 0xF0), 0u) << "bitrate index 15";
  EXPECT_EQ(Mp3FrameLength(0xFB, 0x9C), 0u) << "reserved rate";

  {
    SCOPED_TRACE("ten frames only");
    EXPECT_FALSE(ScanOne(Mp3Frames(10)).found);
  }
  {
    SCOPED_TRACE("sixteen frames");
    const Found f = ScanOne(Mp3Frames(16));
    ASSERT_TRUE(f.found);
    EXPECT_EQ(f.item, 73);
    EXPECT_EQ(f.size, 16u * 417);
  }
  {
    SCOPED_TRACE("ID3v2.3 with UTF-16 artist and Latin-1 title, and an ID3v1 tag behind");
    Blob b = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 0};
    Blob artist = {'T', 'P', 'E', '1', 0, 0, 0, 13, 0, 0, 1, 0xFF, 0xFE, 'A', 0, 'l', 0, 'p', 0, 'h', 0, 'a', 0};
    Blob title = {'T', 'I', 'T', '2', 0, 0, 0, 5, 0, 0, 0, 'B', 'e', 't', 'a'};
    b.insert(b.end(), artist.begin(), artist.end());
    b.insert(b.end(), title.begin(), title.end());
    b.insert(b.end(), 30, 0);  // padding
    const std::size_t tag = b.size();
    const Blob frames = Mp3Frames(20);
    b.insert(b.end(), frames.begin(), frames.end());
    Blob v1(128, 0);
    Text(v1, 0, "TAGOther title");
    Text(v1, 33, "Other artist");
    b.insert(b.end(), v1.begin(), v1.end());
    const Found f = ScanOne(b);
    ASSERT_TRUE(f.found);
    EXPECT_EQ(f.size, tag + 20 * 417 + 128);
    EXPECT_EQ(f.name, u"Alpha - Beta.mp3");
  }
  {
    SCOPED_TRACE("ID3v2.2 frames, title already ending in mp3");
    Blob b = {'I', 'D', '3', 2, 0, 0, 0, 0, 0, 0};
    Blob title = {'T', 'T', '2', 0, 0, 9, 0, 'S', 'o', 'n', 'g', '.', 'M', 'P', '3'};
    b.insert(b.end(), title.begin(), title.end());
    const Blob frames = Mp3Frames(16);
    b.insert(b.end(), frames.begin(), frames.end());
    const Found f = ScanOne(b);
    ASSERT_TRUE(f.found);
    EXPECT_EQ(f.name, u"Song.MP3");
  }
  {
    SCOPED_TRACE("an ID3 tag with no audio behind: an estimate");
    Blob b = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 0};
    b.resize(20000, 0x20);
    const Found f = ScanOne(b);
    ASSERT_TRUE(f.found);
    EXPECT_TRUE(f.estimate);
    EXPECT_EQ(f.size, 512u);
  }
}

TEST(MeasureMediaCrafted, JpegHeaderSkipsAndFarEnds) {
  // A JPEG whose end marker lies 11 MiB into its data: the size reached at 10 MiB, as an estimate.
  Blob b = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
  const Blob tail = {0xFF, 0xDB, 0, 4, 1, 2, 0xFF, 0xDA, 0, 4, 1, 2};
  b.insert(b.end(), tail.begin(), tail.end());
  const std::size_t header = b.size();
  b.resize(header + 11 * 1048576, 0x42);
  b.push_back(0xFF), b.push_back(0xD9);
  const Found f = ScanOne(b, 4096);
  ASSERT_TRUE(f.found);
  EXPECT_EQ(f.item, 82);
  EXPECT_TRUE(f.estimate);
  EXPECT_GE(f.size, 10u * 1048576);
  EXPECT_LT(f.size, 11u * 1048576);
  // A motion-JPEG frame and the lossless variants are no finds.
  Blob avi = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'A', 'V', 'I', '1', 0, 0};
  avi.resize(600, 0x42);
  EXPECT_FALSE(ScanOne(avi).found);
  Blob c4 = {0xFF, 0xD8, 0xFF, 0xC4, 0, 16};
  c4.resize(600, 0x42);
  EXPECT_FALSE(ScanOne(c4).found);
}

}  // namespace
}  // namespace kestrova
