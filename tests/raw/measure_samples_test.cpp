// Real files made at test time by the tools that write them: each is carved
// out of a disk in memory and must come back with its exact size and the type
// its content names. Truncated and damaged copies must be rejected or capped.
#include "carve_harness.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

namespace kestrova {
namespace {

using test::Carved;

struct Sample {
  const char* label;
  const char* tool;     // the program that must be there
  const char* recipe;   // shell commands run in the test folder; they write `file`
  const char* file;
  int item;             // the row the find must have (-1: named by itself)
  const char16_t* name; // the own name, when it has one
  bool estimate;        // the row marks its size as an estimate (rating -1)
};

// Inputs shared by the recipes: a folder of a random and a text file.
constexpr const char* kTree =
    "mkdir -p tree/sub && head -c 30000 /dev/urandom > tree/a.bin && echo hello > tree/sub/b.txt && ";
constexpr const char* kVideo = "ffmpeg -loglevel error -f lavfi -i testsrc=duration=1:size=64x64:rate=5 -c:v mpeg4 ";

const Sample kSamples[] = {
    {"ZipWithFolderEntries", "zip", "zip -q -r out.zip tree", "out.zip", 70, nullptr, false},
    {"SevenZip", "7z", "7z a -bd -bso0 out.7z tree", "out.7z", 44, nullptr, false},
    {"Cab", "gcab", "gcab -c out.cab tree/a.bin tree/sub/b.txt", "out.cab", 68, nullptr, false},
    {"Iso", "genisoimage", "genisoimage -quiet -V MYDISC -o out.iso tree", "out.iso", -1, u"MYDISC.iso", false},
    {"Mp4", "ffmpeg", "-f mp4 out.mp4", "out.mp4", 32, nullptr, true},
    {"Mov", "ffmpeg", "-f mov out.mov", "out.mov", 31, nullptr, true},
    {"ThreeGp", "ffmpeg", "-f 3gp out.3gp", "out.3gp", 30, nullptr, true},
    {"Mkv", "ffmpeg", "-f matroska out.mkv", "out.mkv", 45, nullptr, false},
    {"Exe", "x86_64-w64-mingw32-gcc",
     "printf 'int main(void){return 0;}\\n' > m.c && x86_64-w64-mingw32-gcc -s -O2 -o out.exe m.c", "out.exe", 66,
     nullptr, false},
    {"Dll", "x86_64-w64-mingw32-gcc",
     "printf 'int f(void){return 1;}\\n' > d.c && x86_64-w64-mingw32-gcc -s -shared -o out.dll d.c", "out.dll", 65,
     nullptr, false},
    {"Msi", "msibuild",
     "msibuild out.msi -q 'CREATE TABLE `Foo` (`A` CHAR(72) NOT NULL PRIMARY KEY `A`)' && "
     "msibuild out.msi -a Blob tree/a.bin",
     "out.msi", 101, nullptr, false},
    {"Pfx", "openssl",
     "openssl req -x509 -newkey rsa:1024 -nodes -keyout k.pem -out c.pem -subj /CN=x -days 1 2>/dev/null && "
     "openssl pkcs12 -export -inkey k.pem -in c.pem -out out.pfx -passout pass:x",
     "out.pfx", 36, nullptr, false},
};

// Python's zipfile writes the package layouts: sizes in the local headers,
// the first record as each format wants it.
constexpr const char* kPackages = R"PY(
import zipfile, os
blob = os.urandom(20000)
def pack(name, first, rest):
    with zipfile.ZipFile(name, 'w') as z:
        z.writestr(zipfile.ZipInfo(first[0]), first[1], compress_type=zipfile.ZIP_STORED)
        for n, d in rest:
            z.writestr(n, d, compress_type=zipfile.ZIP_DEFLATED)
ct = '<?xml version="1.0"?><Types><Override PartName="/%s"/></Types>'
pack('out.jar', ('META-INF/MANIFEST.MF', 'Manifest-Version: 1.0\n'), [('a/B.class', blob)])
pack('out.docx', ('[Content_Types].xml', ct % 'word/document.xml'), [('word/document.xml', blob)])
pack('out.xlsx', ('[Content_Types].xml', ct % 'xl/workbook.xml'), [('xl/workbook.xml', blob)])
pack('out.pptx', ('[Content_Types].xml', ct % 'ppt/slideLayouts/slideLayout1.xml'), [('ppt/slides/s1.xml', blob)])
pack('out.odt', ('mimetype', 'application/vnd.oasis.opendocument.text'), [('content.xml', blob)])
pack('out.ods', ('mimetype', 'application/vnd.oasis.opendocument.spreadsheet'), [('content.xml', blob)])
pack('out.xps', ('FixedDocumentSequence.fdseq', '<FixedDocumentSequence/>'), [('Documents/1/Pages/1.fpage', blob)])
pack('out.epub', ('mimetype', 'application/epub+zip'), [('OEBPS/content.opf', blob)])
)PY";

const struct {
  const char* file;
  int item;
} kPackageTypes[] = {
    {"out.jar", 111}, {"out.docx", 110}, {"out.xlsx", 108}, {"out.pptx", 109},
    {"out.odt", 93},  {"out.ods", 94},   {"out.xps", 112},  {"out.epub", 70},
};

bool HaveTool(const std::string& tool) {
  return std::system(("command -v '" + tool + "' >/dev/null 2>&1").c_str()) == 0;
}

std::vector<std::uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class MeasureSamples : public test::TempDirTest {
 protected:
  MeasureSamples() : TempDirTest("kestrova-measure-samples") {}
  bool Run(const std::string& commands) {
    return std::system(("cd '" + dir.string() + "' && (" + commands + ") >/dev/null").c_str()) == 0;
  }

  // The sample carved out of a disk must come back whole, as its type.
  void ExpectExact(const std::string& label, const std::vector<std::uint8_t>& file, int item, const char16_t* name,
                   bool estimate) {
    SCOPED_TRACE(label);
    ASSERT_FALSE(file.empty());
    const auto finds = test::CarveDisk(test::DiskWith(file));
    const Carved* c = test::FindAt(finds, 4);
    ASSERT_NE(c, nullptr) << "not found";
    EXPECT_EQ(c->size, file.size());
    if (name) {
      EXPECT_EQ(c->name, name);
    } else {
      EXPECT_EQ(c->item, item);
    }
    EXPECT_EQ(c->rating, estimate ? rating::kRawClosed : rating::kIntact);
  }

  // Cut short, the sample is rejected or measured no longer than it was
  // (unless the row says it estimates); damaged, it never crashes or hangs.
  void ExpectDamagedCopiesBounded(const std::string& label, const std::vector<std::uint8_t>& file) {
    SCOPED_TRACE(label);
    std::mt19937 rng(static_cast<unsigned>(file.size()));
    for (int round = 0; round < 12; ++round) {
      std::vector<std::uint8_t> copy = file;
      if (round < 4) {
        copy.resize(file.size() * (round + 1) / 5);  // the rest of the disk is blank
      } else {
        // Overwrite bytes of the first 4 KiB, where every measure reads its fields.
        for (int k = 0; k < 24; ++k)
          copy[rng() % std::min<std::size_t>(copy.size(), 4096)] = static_cast<std::uint8_t>(rng());
      }
      const auto finds = test::CarveDisk(test::DiskWith(copy));
      const Carved* c = test::FindAt(finds, 4);
      if (c && round < 4 && c->rating == rating::kIntact) {
        EXPECT_LE(c->size, file.size()) << "cut to " << copy.size();
      }
    }
  }
};

TEST_F(MeasureSamples, EveryToolMadeSampleIsCarvedWithItsExactSizeAndType) {
  ASSERT_TRUE(Run(std::string(kTree) + "true"));
  std::string missing;
  for (const Sample& s : kSamples) {
    if (!HaveTool(s.tool)) {
      missing += std::string(" ") + s.tool + " (" + s.label + ")";
      continue;
    }
    std::string recipe = s.recipe;
    if (std::string(s.tool) == "ffmpeg") recipe = std::string(kVideo) + recipe;
    ASSERT_TRUE(Run(recipe)) << s.label << ": " << recipe;
    const auto file = ReadAll(P(s.file));
    ExpectExact(s.label, file, s.item, s.name, s.estimate);
    ExpectDamagedCopiesBounded(s.label, file);
  }
  if (!missing.empty()) GTEST_SKIP() << "samples not made, tools missing (scripts/setup.sh installs them):" << missing;
}

TEST_F(MeasureSamples, PackagesAreTypedByTheirFirstRecords) {
  if (!HaveTool("python3")) GTEST_SKIP() << "python3 is missing";
  WriteFile("make.py", kPackages);
  ASSERT_TRUE(Run("python3 make.py"));
  for (const auto& p : kPackageTypes) {
    const auto file = ReadAll(P(p.file));
    ExpectExact(p.file, file, p.item, nullptr, false);
    ExpectDamagedCopiesBounded(p.file, file);
  }
}

TEST_F(MeasureSamples, AZipWrittenToAPipeKeepsItsSizesBehindTheDataAndIsNotReportedAsZip) {
  if (!HaveTool("python3")) GTEST_SKIP() << "python3 is missing";
  // Not seekable: the sizes go into data descriptors behind each entry.
  ASSERT_TRUE(Run("python3 -c \"import zipfile, sys; z = zipfile.ZipFile(sys.stdout.buffer, 'w'); "
                  "z.writestr('a.txt', 'abc' * 1000, zipfile.ZIP_DEFLATED); z.close()\" | cat > out.zip"));
  const auto finds = test::CarveDisk(test::DiskWith(ReadAll(P("out.zip"))));
  const Carved* c = test::FindAt(finds, 4);
  EXPECT_TRUE(c == nullptr || c->item != 70);
}

TEST_F(MeasureSamples, TwoAdjacentZipsAreBothFoundExactly) {
  if (!HaveTool("zip")) GTEST_SKIP() << "zip is missing";
  ASSERT_TRUE(Run(std::string(kTree) + "zip -q -r one.zip tree && zip -q -r two.zip tree/sub"));
  auto one = ReadAll(P("one.zip"));
  const auto two = ReadAll(P("two.zip"));
  one.resize((one.size() + 511) / 512 * 512, 0);
  const std::uint64_t second = 4 + one.size() / 512;
  auto after = two;
  after.resize(after.size() + 65536, 0);
  const auto finds = test::CarveDisk(test::DiskWith(one, 4, after));
  ASSERT_NE(test::FindAt(finds, 4), nullptr);
  const Carved* c = test::FindAt(finds, second);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->size, two.size());
  EXPECT_EQ(c->item, 70);
}

// The scan's view of a FAT32 volume whose samples were all deleted: every
// sector of the image goes through the header test (free clusters among them),
// and each sample comes back from its first sector and measured size.
TEST_F(MeasureSamples, DeletedSamplesOnAFat32ImageAreCarvedByteExact) {
  for (const char* tool : {"mkfs.vfat", "mcopy", "mdel", "python3"})
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " is missing (scripts/setup.sh installs it)";
  ASSERT_TRUE(Run(std::string(kTree) + "true"));
  WriteFile("make.py", kPackages);
  ASSERT_TRUE(Run("python3 make.py"));
  std::vector<std::pair<std::string, int>> files;  // file, row (-1: the ISO, named by its volume)
  for (const auto& p : kPackageTypes) files.emplace_back(p.file, p.item);
  for (const Sample& s : kSamples) {
    if (!HaveTool(s.tool)) continue;
    std::string recipe = s.recipe;
    if (std::string(s.tool) == "ffmpeg") recipe = std::string(kVideo) + recipe;
    ASSERT_TRUE(Run(recipe)) << recipe;
    files.emplace_back(s.file, s.item);
  }
  ASSERT_TRUE(Run("mkfs.vfat -F 32 -s 1 -C img 65536"));
  std::string copy, del;
  for (const auto& f : files) {
    copy += " && mcopy -i img " + f.first + " ::/" + f.first;
    del += " && mdel -i img ::/" + f.first;
  }
  ASSERT_TRUE(Run("true" + copy + del));
  const auto image = ReadAll(P("img"));
  const auto finds = test::CarveDisk(image);
  for (const auto& [name, item] : files) {
    SCOPED_TRACE(name);
    const auto want = ReadAll(P(name));
    bool exact = false;
    for (const Carved& c : finds) {
      if (c.item != item && !(item < 0 && c.name == u"MYDISC.iso")) continue;
      const std::uint64_t at = c.firstSector * 512;
      if (c.size == want.size() && at + c.size <= image.size() &&
          std::equal(want.begin(), want.end(), image.begin() + static_cast<std::ptrdiff_t>(at)))
        exact = true;
    }
    EXPECT_TRUE(exact) << "no byte-exact find of its type";
  }
}

}  // namespace
}  // namespace kestrova
