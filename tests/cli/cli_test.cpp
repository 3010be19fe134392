// The command line as scripts use it: exit codes, JSON keys, refused inputs.
#include "support/cli_run.h"
#include "support/listing_match.h"
#include "fs/fat/fat_builder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>

namespace {
namespace fs = std::filesystem;

using kestrova::test::Cli;
using kestrova::test::CliRun;

class CliTest : public ::testing::Test {
 protected:
  fs::path dir = fs::temp_directory_path() / ("kestrova-cli-" + std::to_string(::getpid()));
  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override { fs::remove_all(dir); }
  std::string File(const std::string& name, std::size_t size) {
    const fs::path p = dir / name;
    std::ofstream(p, std::ios::binary) << std::string(size, '\0');
    return p.string();
  }
};

TEST_F(CliTest, BadArgumentsAndSourcesGiveDistinctExitCodes) {
  EXPECT_EQ(Cli("").code, 2);
  EXPECT_EQ(Cli("identify").code, 2);
  EXPECT_EQ(Cli("identify x --sector notanumber").code, 2);
  EXPECT_EQ(Cli("identify " + (dir / "missing.img").string()).code, 3);
  EXPECT_EQ(Cli("identify " + dir.string()).code, 3);
  EXPECT_EQ(Cli("identify " + File("vm.vmdk", 4096)).code, 3);
  EXPECT_EQ(Cli("identify " + File("empty.img", 0)).code, 3);
  EXPECT_EQ(Cli("identify " + File("short.img", 100)).code, 3);
  const std::string zeros = File("zeros.img", 64 * 512);
  EXPECT_EQ(Cli("identify " + zeros).code, 1);
  const CliRun unknown = Cli("identify " + zeros + " --count 64 --json");
  EXPECT_EQ(unknown.code, 0);
  EXPECT_NE(unknown.out.find("\"fs\":\"UNKNOWN\""), std::string::npos);
}

TEST_F(CliTest, IdentifyPrintsTheEntryKeys) {
  const std::string images = KESTROVA_TEST_IMAGES_DIR;
  if (!fs::exists(images + "/fat32.img")) GTEST_SKIP() << "no test images: run scripts/make-test-images.sh";
  const CliRun r = Cli("identify " + images + "/fat32.img --json");
  ASSERT_EQ(r.code, 0);
  for (const char* key : {"\"fs\":\"FAT32\"", "\"start\":0", "\"sectors\":", "\"sectorSize\":512", "\"label\":\"KVFAT32\"",
                          "\"serial\":849457859", "\"bootDamaged\":false", "\"kind\":11"})
    EXPECT_NE(r.out.find(key), std::string::npos) << key << " in " << r.out;
  const CliRun list = Cli("devices --no-system --json --image " + images + "/fat32.img");
  ASSERT_EQ(list.code, 0);
  EXPECT_NE(list.out.find("\"title\":\"Physical drives\""), std::string::npos);
  EXPECT_NE(list.out.find("\"wholeDrive\":true"), std::string::npos);
}

}  // namespace

TEST_F(CliTest, QlzRoundTripsAndRefusesCorruptPackets) {
  const fs::path vectors = fs::path(KESTROVA_TEST_DATA_DIR) / "quicklz";
  const std::string packet = (dir / "out.qlz").string();
  const std::string raw = (dir / "out.raw").string();
  auto bytes = [](const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  ASSERT_EQ(Cli("qlz compress " + (vectors / "text_64k.raw").string() + " " + packet).code, 0);
  EXPECT_EQ(bytes(packet), bytes(vectors / "text_64k.qlz"));
  ASSERT_EQ(Cli("qlz decompress " + packet + " " + raw).code, 0);
  EXPECT_EQ(bytes(raw), bytes(vectors / "text_64k.raw"));

  EXPECT_EQ(Cli("qlz compress " + File("empty", 0) + " " + packet).code, 4);
  EXPECT_EQ(Cli("qlz decompress " + File("garbage", 100) + " " + raw).code, 4);
  std::string cut = bytes(vectors / "text_64k.qlz");
  cut.resize(cut.size() / 2);
  std::ofstream(dir / "cut.qlz", std::ios::binary) << cut;
  EXPECT_EQ(Cli("qlz decompress " + (dir / "cut.qlz").string() + " " + raw).code, 4);
  EXPECT_EQ(Cli("qlz decompress " + (dir / "missing").string() + " " + raw).code, 3);
  EXPECT_EQ(Cli("qlz").code, 2);
}

TEST_F(CliTest, PartitionsAndMountOfAPartitionedDisk) {
  const std::string disk = std::string(KESTROVA_TEST_IMAGES_DIR) + "/mbr-disk.img";
  if (!fs::exists(disk)) GTEST_SKIP() << "no partitioned test disk: run scripts/make-test-images.sh";
  const CliRun list = Cli("partitions " + disk + " --json");
  ASSERT_EQ(list.code, 0);
  for (const char* key : {"\"fs\":\"NTFS\"", "\"start\":43008", "\"index\":4", "\"type\":6", "\"chs\":\"ok\"",
                          "\"lost\":false", "\"bootDamaged\":false", "\"serial\":"})
    EXPECT_NE(list.out.find(key), std::string::npos) << key;
  const CliRun mount = Cli("mount " + disk + " --partition 2 --json");
  ASSERT_EQ(mount.code, 0);
  for (const char* key : {"\"fsType\":\"NTFS\"", "\"start\":43008", "\"volumeLastSector\":20479", "\"mftUsable\":true"})
    EXPECT_NE(mount.out.find(key), std::string::npos) << key;
  EXPECT_EQ(Cli("mount " + disk + " --partition 9").code, 2);
  EXPECT_EQ(Cli("partitions " + File("blank.img", 64 * 512)).code, 1);
}

TEST_F(CliTest, RawMountOfAWholeDeviceBeyondTwoTebibytesKeepsItsEnd) {
  // A sparse 3 TiB image: the RAW mount (what a scan of an unrecognised disk
  // uses) reaches its last sector, not the 2^32nd.
  const fs::path big = dir / "3tib.img";
  { std::ofstream(big, std::ios::binary).put('\0'); }
  std::error_code ec;
  fs::resize_file(big, 3ull << 40, ec);
  if (ec) GTEST_SKIP() << "this file system cannot hold a sparse 3 TiB file: " << ec.message();
  const CliRun json = Cli("mount " + big.string() + " --raw --json");
  ASSERT_EQ(json.code, 0);
  const kestrova::test::Json m = kestrova::test::Json::Parse(json.out);
  EXPECT_EQ(m["fsType"].s, "NTFS");
  EXPECT_TRUE(m["damaged"].b);
  EXPECT_EQ(static_cast<std::uint64_t>(m["volumeLastSector"].n), (3ull << 40) / 512 - 1);
  const CliRun text = Cli("mount " + big.string() + " --raw");
  ASSERT_EQ(text.code, 0);
  EXPECT_NE(text.out.find("volumeLastSector:  6442450943"), std::string::npos) << text.out;
  // --raw stands for the whole source: with a partition number it is refused.
  EXPECT_EQ(Cli("mount " + big.string() + " --raw --partition 1").code, 2);
}

TEST_F(CliTest, DiagSnapshotWritesAReport) {
  const CliRun r = Cli("diag snapshot --dir " + dir.string());
  ASSERT_EQ(r.code, 0);
  EXPECT_EQ(r.out.rfind((dir / "VEH_REPORT_").string(), 0), 0u) << r.out;
  EXPECT_NE(r.out.find("SER_INDEX:"), std::string::npos);
}

TEST_F(CliTest, LsWalksFoldersOnceEvenWhenEntriesLoop) {
  kestrova::test::FatBuilder b(kestrova::FsType::Fat32, 8192);
  b.Entry(2, 0, "A          ", 0x10, 3, 0);
  b.Entry(2, 1, "B          ", 0x10, 4, 0);
  b.Entry(2, 2, "PIC     JPG", 0x20, 9, 4000)[0] = 0xE5;
  std::memcpy(b.Cluster(9), "\xFF\xD8\xFF", 3);
  b.Chain({3});
  b.Chain({4});
  b.DotEntries(3, 0);
  b.DotEntries(4, 0);
  b.Entry(3, 2, "TOB        ", 0x10, 4, 0);   // A -> B
  b.Entry(4, 2, "TOA        ", 0x10, 3, 0);   // B -> A: a cycle
  b.Entry(3, 3, "ROOT       ", 0x10, 2, 0);   // back to the root
  b.Entry(3, 4, "NOTE    TXT", 0x20, 5, 10);
  b.Chain({5});
  const std::string image = (dir / "loop.img").string();
  std::ofstream(image, std::ios::binary)
      .write(reinterpret_cast<const char*>(b.mem->shared->data.data()), static_cast<std::streamsize>(b.mem->shared->data.size()));
  const CliRun r = Cli("ls " + image + " -r --json");
  ASSERT_EQ(r.code, 0);
  const kestrova::test::Json rows = kestrova::test::Json::Parse(r.out);
  EXPECT_LT(rows.a.size(), 40u) << "the walk ended";
  EXPECT_NE(kestrova::test::FindListed(rows, "/A/NOTE.TXT"), nullptr);
  EXPECT_NE(kestrova::test::FindListed(rows, "/B/TOA/NOTE.TXT"), nullptr);
  const kestrova::test::Json* pic = kestrova::test::FindListed(rows, "/PIC.JPG");
  ASSERT_NE(pic, nullptr);
  EXPECT_TRUE((*pic)["deleted"].b);
  EXPECT_EQ((*pic)["status"].s, "deleted");
  for (const char* key : {"path", "name", "size", "folder", "deleted", "status", "rating", "firstCluster"})
    EXPECT_TRUE((*pic).Has(key)) << key;
  bool virtualRoot = false;
  for (const kestrova::test::Json& row : rows.a) virtualRoot |= row["path"].s == "/Lost files";
  EXPECT_TRUE(virtualRoot);

  const CliRun masked = Cli("ls " + image + " --mask '*.jpg' --json");
  EXPECT_EQ(masked.out.find("NOTE"), std::string::npos);
  EXPECT_NE(masked.out.find("?IC.JPG"), std::string::npos);
  const CliRun deletedOnly = Cli("ls " + image + " -r --deleted-only");
  EXPECT_EQ(deletedOnly.out.find("NOTE"), std::string::npos);
  EXPECT_NE(deletedOnly.out.find("?IC.JPG"), std::string::npos);
  EXPECT_EQ(Cli("ls " + image + " Nowhere").code, 1);
}

TEST_F(CliTest, RecoverSkipsAFileWhenTheDestinationIsFullAndGoesOn) {
  const std::string image = std::string(KESTROVA_TEST_IMAGES_DIR) + "/fat32.img";
  if (!fs::exists(image)) GTEST_SKIP() << "no test images: run scripts/make-test-images.sh";
  // A file-size limit of 100 KiB: the 200,000-byte photo cannot be written.
  const std::string out = (dir / "full").string();
  const std::string cmd = "bash -c \"trap '' XFSZ; ulimit -f 100; exec " + std::string(KESTROVA_CLI) + " recover " +
                          image + " --to " + out + " -r --json\" 2>/dev/null";
  FILE* p = ::popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string text;
  std::array<char, 4096> buf{};
  while (std::fgets(buf.data(), buf.size(), p)) text += buf.data();
  ASSERT_EQ(::pclose(p), 0);
  const kestrova::test::Json report = kestrova::test::Json::Parse(text);
  EXPECT_EQ(report["skipped"].n, 1);
  EXPECT_EQ(report["written"].n, 5);
  EXPECT_FALSE(fs::exists(out + "/Docs/photo.jpg")) << "no partial file is left";
  EXPECT_TRUE(fs::exists(out + "/Docs/keep.txt"));
  EXPECT_TRUE(fs::exists(out + "/Old/Deep/_nner.bin")) << "the files after it are written";
}

TEST_F(CliTest, RecoveredNamesFromTheDiskStayInsideTheDestination) {
  kestrova::test::FatBuilder b(kestrova::FsType::Fat32, 8192);
  b.LongName(2, 2, u"../../evil.txt");
  b.Entry(2, 2, "EVIL    TXT", 0x20, 5, 4);
  std::memcpy(b.Cluster(5), "evil", 4);
  b.Chain({5});
  b.LongName(2, 4, u"..");
  b.Entry(2, 4, "DOTDOT     ", 0x10, 6, 0);
  b.Chain({6});
  b.DotEntries(6, 0);
  b.Entry(6, 2, "IN      TXT", 0x20, 7, 2);
  std::memcpy(b.Cluster(7), "in", 2);
  b.Chain({7});
  const std::string image = (dir / "hostile.img").string();
  std::ofstream(image, std::ios::binary)
      .write(reinterpret_cast<const char*>(b.mem->shared->data.data()), static_cast<std::streamsize>(b.mem->shared->data.size()));
  const std::string out = (dir / "out").string();
  const CliRun r = Cli("recover " + image + " --to " + out + " -r --json");
  ASSERT_EQ(r.code, 0);
  std::size_t inside = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file() || e.path().extension() == ".img") continue;
    const std::string p = e.path().string();
    EXPECT_EQ(p.rfind(out + "/", 0), 0u) << p << " is outside the destination";
    ++inside;
  }
  EXPECT_EQ(inside, 2u) << r.out;
  EXPECT_TRUE(fs::exists(out + "/.._.._evil.txt"));
  EXPECT_TRUE(fs::exists(out + "/_../IN.TXT"));
}

TEST_F(CliTest, RecoverRefusesADestinationThatIsTheSourceImage) {
  const std::string image = File("disk.img", 64 * 512);
  EXPECT_EQ(Cli("recover " + image + " --to " + image).code, 2);
}
