// Real pictures, camera-raw layouts, audio and video made by Debian's tools,
// each placed on a disk in memory and found by the RAW scan with its exact
// size, type and name; truncated and damaged copies are rejected or capped.
#include "raw/raw_harness.h"

#include "recovery/output_names.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <unistd.h>

namespace kestrova {
namespace {

using test::Field;
using test::RawDisk;

namespace fs = std::filesystem;

class MediaSamples : public ::testing::Test {
 protected:
  // The samples are made once per script version and kept (every test runs
  // in its own process); what a test writes goes to a folder of its own.
  static void SetUpTestSuite() {
    const fs::path script = fs::path(KESTROVA_TEST_DATA_DIR) / ".." / "raw" / "make_media_samples.sh";
    std::error_code ec;
    const auto stamp = fs::last_write_time(script, ec).time_since_epoch().count();
    dir_ = fs::temp_directory_path() / ("kestrova-media-samples-" + std::to_string(stamp));
    work_ = fs::temp_directory_path() / ("kestrova-media-" + std::to_string(::getpid()));
    fs::create_directories(work_);
    const std::string log = (work_ / "make.log").string();
    const std::string d = dir_.string();
    const std::string cmd = "flock '" + d + ".lock' sh -c \"test -f '" + d + "/.done' || ('" + script.string() +
                            "' '" + d + "' && touch '" + d + "/.done')\" >'" + log + "' 2>&1";
    if (std::system(cmd.c_str()) != 0) {
      std::ifstream in(log);
      missing_ = std::string(std::istreambuf_iterator<char>(in), {});
      if (missing_.empty()) missing_ = "the sample script failed";
    }
  }
  static void TearDownTestSuite() { fs::remove_all(work_); }
  void SetUp() override {
    if (!missing_.empty()) GTEST_SKIP() << "samples not made (install them with scripts/setup.sh): " << missing_;
  }
  static std::string Read(const std::string& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  static fs::path dir_;
  static fs::path work_;
  static std::string missing_;
};
fs::path MediaSamples::dir_;
fs::path MediaSamples::work_;
std::string MediaSamples::missing_;

struct Sample {
  const char* file;
  std::uint16_t item;     // the row the find is filed under
  const char16_t* name;   // its own name; null: the auto-name of its row
};

const Sample kSamples[] = {
    {"sample.bmp", 83, nullptr},
    {"sample.tga", 80, nullptr},
    {"sample.gif", 77, nullptr},
    {"sample2.gif", 77, nullptr},  // animated: extension blocks and two images
    {"sample.png", 76, nullptr},
    {"sample.pcx", 72, nullptr},
    {"sample.tif", 59, nullptr},
    {"sample_lzw.tif", 59, nullptr},
    {"small.tif", 59, nullptr},
    {"sample.jpg", 82, nullptr},  // with an EXIF thumbnail
    {"thumb.jpg", 82, nullptr},
    {"sample.j2k", 63, nullptr},
    {"sample.dds", 42, nullptr},
    {"sample_dxt1.dds", 42, nullptr},
    {"maker_nef.tif", 158, nullptr},
    {"maker_orf.tif", 157, nullptr},
    {"maker_pef.tif", 150, nullptr},
    {"maker_srw.tif", 149, nullptr},
    {"maker_mef.tif", 151, nullptr},
    {"maker_3fr.tif", 152, nullptr},
    {"maker_arw.tif", 154, nullptr},
    {"maker_erf.tif", 153, nullptr},
    {"sample.wav", 62, nullptr},
    {"sample.avi", 61, nullptr},
    {"sample.mpg", 48, nullptr},
    {"id3v2.mp3", 75, u"Alpha - Beta.mp3"},
    {"id3v1.mp3", 73, u"Delta - Gamma.mp3"},
    {"bare.mp3", 73, nullptr},
    {"mpeg2.mp3", 75, u"Omega - Song.mp3"},
    {"mpeg1.mpg", 48, nullptr},  // pack headers up to 22 KiB apart: one find
};

TEST_F(MediaSamples, EachIsFoundWithItsExactSizeTypeAndName) {
  for (const Sample& s : kSamples) {
    SCOPED_TRACE(s.file);
    const std::string data = Read(s.file);
    ASSERT_GT(data.size(), 512u);
    for (std::uint32_t window : {16u, 128u}) {
      SCOPED_TRACE(testing::Message() << "window " << window);
      RawDisk disk(RawDisk::SectorsFor(data.size()));
      disk.Put(8, data);
      disk.Scan(window);
      ScanEntry e{};
      ASSERT_TRUE(disk.FindAt(8, e));
      EXPECT_EQ(Field(e.size), data.size());
      EXPECT_EQ(e.rating, rating::kIntact);
      const ScanItem& row = disk.scanner.table()[s.item];
      const std::u16string name = disk.NameOf(e);
      if (s.name) {
        EXPECT_EQ(name, s.name);
      } else {
        EXPECT_EQ(e.RawSignature(), s.item);
        EXPECT_EQ(name, u"000000001" + std::u16string(row.extension.begin(), row.extension.end()));
      }
      // Nothing else is found inside a picture (a JPEG's thumbnail, a frame of a stream).
      for (const ScanEntry& other : disk.Entries()) {
        if (other.RawFirstSector() == 8) continue;
        const std::uint64_t first = other.RawFirstSector();
        EXPECT_FALSE(first > 8 && first < 8 + data.size() / RawDisk::kSs && other.RawSignature() == 82)
            << "a JPEG inside at sector " << first;
      }
    }
  }
}

// Two files back to back: each ends exactly where the next begins.
TEST_F(MediaSamples, AdjacentFilesAreSeparated) {
  const std::string a = Read("sample.png");
  const std::string b = Read("id3v2.mp3");
  const std::string c = Read("sample.jpg");
  const std::uint64_t sa = 8;
  const std::uint64_t sb = sa + (a.size() + 511) / 512;
  const std::uint64_t sc = sb + (b.size() + 511) / 512;
  RawDisk disk(RawDisk::SectorsFor(a.size() + b.size() + c.size() + 2048));
  disk.Put(sa, a);
  disk.Put(sb, b);
  disk.Put(sc, c);
  disk.Scan(64);
  for (auto [sector, size] : {std::pair{sa, a.size()}, std::pair{sb, b.size()}, std::pair{sc, c.size()}}) {
    ScanEntry e{};
    ASSERT_TRUE(disk.FindAt(sector, e)) << sector;
    EXPECT_EQ(Field(e.size), size) << sector;
  }
}

// Cut or damaged copies: never a crash; a find is an estimate or no longer
// than what its header claims, and a cut file is never reported intact beyond its data.
TEST_F(MediaSamples, TruncatedAndCorruptedCopiesAreRejectedOrCapped) {
  std::mt19937 rng(1234);
  for (const Sample& s : kSamples) {
    SCOPED_TRACE(s.file);
    const std::string data = Read(s.file);
    struct Copy {
      const char* what;
      std::string bytes;
    };
    std::vector<Copy> copies;
    copies.push_back({"first half", data.substr(0, data.size() / 2)});
    copies.push_back({"first sector", data.substr(0, 512)});
    std::string flipped = data;
    for (int i = 0; i < 64; ++i) flipped[4 + rng() % std::min<std::size_t>(flipped.size() - 4, 4096)] ^= static_cast<char>(0x5A);
    copies.push_back({"header bytes flipped", flipped});
    std::string ones = data;
    std::fill(ones.begin() + 4, ones.begin() + std::min<std::size_t>(ones.size(), 600), '\xFF');
    copies.push_back({"header filled with FF", ones});
    for (const Copy& copy : copies) {
      SCOPED_TRACE(copy.what);
      RawDisk disk(RawDisk::SectorsFor(data.size()));
      disk.Put(8, copy.bytes);
      disk.Scan(32);
      ScanEntry e{};
      if (!disk.FindAt(8, e) || e.rating != rating::kIntact) continue;
      if (std::string_view(copy.what) == "first half" && e.RawSignature() != 83 && e.RawSignature() != 80 &&
          e.RawSignature() != 62 && e.RawSignature() != 61 && e.RawSignature() != 42) {
        // Formats whose size comes from the header alone keep it; walked formats stop at the cut.
        EXPECT_LE(Field(e.size), data.size()) << "item " << e.RawSignature();
      }
    }
  }
}

// The samples and texts of every kind copied to a FAT32 image and deleted: a
// scan of the image finds each at its first sector with its exact size, so
// that copying the entry's bytes gives the file back byte for byte.
TEST_F(MediaSamples, DeletedFromAFat32ImageEachIsFoundByteExact) {
  for (const char* tool : {"mkfs.vfat", "mcopy", "mdel"})
    if (std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) != 0)
      GTEST_SKIP() << "missing tool " << tool << " (dosfstools, mtools)";
  auto repeat = [](const std::string& line, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += line + std::to_string(i) + "\r\n";
    return out;
  };
  std::vector<std::pair<std::string, std::string>> files;  // name, bytes
  for (const char* f : {"sample.bmp", "sample.tga", "sample.gif", "sample.png", "sample.pcx", "sample.tif",
                        "sample.jpg", "sample.j2k", "sample.dds", "maker_nef.tif", "sample.wav", "sample.avi",
                        "sample.mpg", "id3v2.mp3", "id3v1.mp3"})
    files.emplace_back(f, Read(f));
  files.emplace_back("source.c", "#include <stdio.h>\n" + repeat("int value(void) { return ", 40));
  files.emplace_back("page.html", "<!DOCTYPE html>\n<html><body>\n" + repeat("<p>Paragraph ", 40) + "</body></html>\n");
  files.emplace_back("data.xml", "<?xml version=\"1.0\"?>\n<items>\n" + repeat("  <item>value ", 40) + "</items>\n");
  files.emplace_back("mail.eml", "From: a@example.org\r\nTo: b@example.org\r\n\r\n" + repeat("Body line ", 40));
  files.emplace_back("export.reg", "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Demo]\r\n" + repeat("\"V\"=\"x\" ; ", 40));
  std::string utf16 = "\xFF\xFE";
  for (char ch : repeat("A UTF-16 line ", 40)) utf16 += std::string{ch, '\0'};
  files.emplace_back("unicode.txt", utf16);

  const std::string img = (work_ / "fat32.img").string();
  std::string cmd = "rm -f '" + img + "' && truncate -s 96M '" + img + "' && mkfs.vfat -F 32 -S 512 -s 1 '" + img +
                    "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  for (const auto& [name, bytes] : files) {
    const std::string path = (work_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    cmd = "MTOOLS_SKIP_CHECK=1 mcopy -i '" + img + "' '" + path + "' ::" + name + " && MTOOLS_SKIP_CHECK=1 mdel -i '" +
          img + "' ::" + name;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << name;
  }
  std::ifstream in(img, std::ios::binary);
  const std::string image((std::istreambuf_iterator<char>(in)), {});
  RawDisk disk(image.size() / RawDisk::kSs);
  disk.Put(0, image);
  disk.Scan(256);
  const std::vector<ScanEntry> finds = disk.Entries();
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    bool exact = false;
    for (const ScanEntry& e : finds) {
      const std::uint64_t at = e.RawFirstSector() * RawDisk::kSs;
      if (e.size == bytes.size() && at + e.size <= image.size() &&
          image.compare(static_cast<std::size_t>(at), bytes.size(), bytes) == 0) {
        exact = true;
        EXPECT_EQ(e.rating, rating::kIntact);
      }
    }
    EXPECT_TRUE(exact) << "no byte-exact find";
  }
}

// Names read from tags are hostile: the writer's name rule keeps them inside the destination.
TEST_F(MediaSamples, HostileTagNamesAreMadeSafeByTheWriter) {
  const std::string tone = (dir_ / "tone.wav").string();
  const std::string out = (work_ / "hostile.mp3").string();
  const std::string cmd = "lame --quiet --id3v2-only --tt '../../etc' --ta '/x\\y' '" + tone + "' '" + out + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream hostile(out, std::ios::binary);
  const std::string data((std::istreambuf_iterator<char>(hostile)), {});
  RawDisk disk(RawDisk::SectorsFor(data.size()));
  disk.Put(8, data);
  disk.Scan(64);
  ScanEntry e{};
  ASSERT_TRUE(disk.FindAt(8, e));
  const std::u16string name = disk.NameOf(e);
  EXPECT_EQ(name, u"/x\\y - ../../etc.mp3");
  const std::u16string safe = SafeOutputName(name);
  EXPECT_EQ(safe.find(u'/'), std::u16string::npos);
  EXPECT_EQ(safe.find(u'\\'), std::u16string::npos);
}

}  // namespace
}  // namespace kestrova
