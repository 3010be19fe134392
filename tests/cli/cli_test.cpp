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
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

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
  for (const kestrova::test::Json& row : rows.a) {
    if (row["path"].s != "/Lost files") continue;
    virtualRoot = true;
    EXPECT_EQ(row["firstCluster"].n, 0) << "a virtual folder has no cluster; its marker is not one";
  }
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
  const int status = ::pclose(p);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 5) << "a file left out is not success";
  const kestrova::test::Json report = kestrova::test::Json::Parse(text);
  EXPECT_EQ(report["skipped"].n, 1);
  EXPECT_EQ(report["written"].n, 5);
  EXPECT_FALSE(fs::exists(out + "/Docs/photo.jpg")) << "no partial file is left";
  EXPECT_TRUE(fs::exists(out + "/Docs/keep.txt"));
  EXPECT_TRUE(fs::exists(out + "/Old/Deep/_nner.bin")) << "the files after it are written";
}

// A real deleted file that mtools wrote around another file's cluster: the
// plain copy takes the other file's cluster, --defrag steps over it.
TEST_F(CliTest, RecoverDefragStepsOverAnotherFilesClusterOfARealImage) {
  if (std::system("command -v mcopy >/dev/null 2>&1") != 0 ||
      std::system("command -v mkfs.vfat >/dev/null 2>&1 || test -x /sbin/mkfs.vfat") != 0)
    GTEST_SKIP() << "needs mkfs.vfat and mtools";
  const std::string d = dir.string(), img = d + "/gaps.img";
  std::string big;
  for (int i = 0; i < 5000; ++i) big.push_back(static_cast<char>('A' + i % 23));
  std::ofstream(dir / "BIG.BIN", std::ios::binary) << big;
  // A, B, C of one cluster each; B deleted; BIG takes B's cluster, then the ones after C.
  const std::string script =
      "export PATH=$PATH:/sbin:/usr/sbin MTOOLS_SKIP_CHECK=1; cd '" + d + "' && truncate -s 32M gaps.img && "
      "mkfs.vfat -F 16 -s 2 gaps.img >/dev/null && head -c 1024 /dev/zero > A && cp A B && "
      "head -c 1024 /dev/zero | tr '\\0' 'k' > C && mcopy -i gaps.img A B C ::/ && mdel -i gaps.img ::/B && "
      "mcopy -i gaps.img BIG.BIN ::/BIG.BIN && mdel -i gaps.img ::/BIG.BIN";
  ASSERT_EQ(std::system(("bash -c \"" + script + "\"").c_str()), 0);
  auto recovered = [&](const std::string& to, const std::string& flags) {
    const CliRun run = Cli("recover " + img + " --to " + to + " '/?IG.BIN' --json" + flags);
    EXPECT_EQ(run.code, 0) << run.out;
    std::ifstream in(to + "/_IG.BIN", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  const std::string plain = recovered(d + "/plain", "");
  ASSERT_EQ(plain.size(), big.size());
  EXPECT_NE(plain, big) << "mtools placed it around C: a contiguous copy takes C's cluster";
  EXPECT_EQ(plain.substr(1024, 1024), std::string(1024, 'k'));
  EXPECT_EQ(recovered(d + "/defrag", " --defrag"), big);
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

namespace {

std::string SaveImage(kestrova::test::FatBuilder& b, const fs::path& path, std::size_t keepBytes = 0) {
  const auto& data = b.mem->shared->data;
  const std::size_t n = keepBytes ? keepBytes : data.size();
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(n));
  return path.string();
}

struct Outcome {
  int code;
  std::string out, err;
};
Outcome CliWithErrors(const std::string& args, const fs::path& errFile) {
  const kestrova::test::CliRun r = Cli(args + " 2>" + errFile.string() + " #");
  std::ifstream in(errFile);
  return {r.code, r.out, std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>())};
}

}  // namespace

TEST_F(CliTest, RecoverRefusesAnEmptyDestination) {
  kestrova::test::FatBuilder b(kestrova::FsType::Fat32, 8192);
  b.Entry(2, 0, "ROOTFILETXT", 0x20, 5, 4);
  b.Chain({5});
  const std::string image = SaveImage(b, dir / "small.img");
  const Outcome r = CliWithErrors("recover " + image + " --to ''", dir / "err.txt");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("Can't create or open this directory, please choose another!"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists("/ROOTFILE.TXT")) << "nothing is written into the root folder";
  // A relative destination is taken from the working folder.
  const std::string inDir = "cd '" + dir.string() + "' && " + KESTROVA_CLI + " recover " + image + " --to rel-out >/dev/null 2>&1";
  EXPECT_EQ(std::system(inDir.c_str()), 0);
  EXPECT_TRUE(fs::exists(dir / "rel-out" / "ROOTFILE.TXT"));
}

TEST_F(CliTest, RecoverOfATruncatedImageReportsTheFileIncomplete) {
  kestrova::test::FatBuilder b(kestrova::FsType::Fat32, 8192);
  b.Entry(2, 0, "WHOLE   TXT", 0x20, 5, 100);
  std::memset(b.Cluster(5), 'w', 100);
  b.Chain({5});
  b.Entry(2, 1, "TAIL    BIN", 0x20, 7000, 3000);  // its clusters lie past the end of the cut image
  std::memset(b.Cluster(7000), 't', 512);
  b.Chain({7000, 7001, 7002, 7003, 7004, 7005});
  const std::size_t keep = static_cast<std::size_t>(b.Cluster(7001) - b.mem->at(0));
  const std::string image = SaveImage(b, dir / "cut.img", keep);
  const Outcome r = CliWithErrors("recover " + image + " --to " + (dir / "out").string(), dir / "err.txt");
  EXPECT_EQ(r.code, 5) << r.out << r.err;
  EXPECT_NE(r.out.find("partial"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("1 written, 0 skipped, 1 incomplete"), std::string::npos) << r.out;
  std::ifstream in(dir / "out" / "TAIL.BIN", std::ios::binary);
  const std::string tail((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The volume ends with the image: the copy holds what exists, never repeated
  // data, and is reported incomplete.
  ASSERT_EQ(tail.size(), 512u);
  EXPECT_EQ(tail, std::string(512, 't'));
}

TEST_F(CliTest, NamesWithControlCharactersArePrintedEscaped) {
  kestrova::test::FatBuilder b(kestrova::FsType::Fat32, 8192);
  b.LongName(2, 2, u"bad\x1b]0;owned\x07\r.txt");
  b.Entry(2, 2, "BAD     TXT", 0x20, 5, 4);
  b.Chain({5});
  const std::string image = SaveImage(b, dir / "ctl.img");
  const kestrova::test::CliRun ls = Cli("ls " + image);
  ASSERT_EQ(ls.code, 0);
  const kestrova::test::CliRun rec = Cli("recover " + image + " --to " + (dir / "out").string());
  ASSERT_EQ(rec.code, 0);
  for (const std::string& text : {ls.out, rec.out}) {
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
    EXPECT_EQ(text.find('\x07'), std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_NE(text.find("bad\\x1b]0;owned\\x07\\x0d.txt"), std::string::npos) << text;
  }
  const kestrova::test::CliRun json = Cli("ls " + image + " --json");
  EXPECT_NE(json.out.find("\\u001b"), std::string::npos) << "JSON keeps its own escapes";
}

TEST_F(CliTest, ReadOnlyDestinationsFailWithTheSystemsReason) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount read-only folders";
  kestrova::test::FatBuilder b(kestrova::FsType::Fat32, 8192);
  b.Entry(2, 0, "ONE     TXT", 0x20, 5, 3);
  b.Chain({5});
  b.Entry(2, 1, "DIR        ", 0x10, 6, 0);
  b.Chain({6});
  b.DotEntries(6, 2);
  b.Entry(6, 2, "IN      TXT", 0x20, 7, 2);
  b.Chain({7});
  const std::string image = SaveImage(b, dir / "ro.img");
  const fs::path ro = dir / "ro";
  fs::create_directories(ro);
  if (::mount("tmpfs", ro.c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  const Outcome whole = CliWithErrors("recover " + image + " --to " + ro.string(), dir / "err.txt");
  EXPECT_EQ(whole.code, 2) << "refused before starting";
  EXPECT_NE(whole.err.find("Read-only file system"), std::string::npos) << whole.err;
  ::umount2(ro.c_str(), MNT_DETACH);

  // A writable destination whose sub-folder is read-only: the files there fail, each with its reason.
  const fs::path out = dir / "out";
  fs::create_directories(out / "DIR");
  if (::mount("tmpfs", (out / "DIR").c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  const Outcome part = CliWithErrors("recover " + image + " -r --to " + out.string(), dir / "err.txt");
  ::umount2((out / "DIR").c_str(), MNT_DETACH);
  EXPECT_EQ(part.code, 5) << part.out << part.err;
  EXPECT_NE(part.out.find("skipped"), std::string::npos) << part.out;
  EXPECT_NE(part.out.find("(Read-only file system)"), std::string::npos) << part.out;
  EXPECT_TRUE(fs::exists(out / "ONE.TXT"));
}

TEST_F(CliTest, RecoverRefusesAFuseMountOfTheSourceImage) {
  const std::string images = KESTROVA_TEST_IMAGES_DIR;
  if (!fs::exists(images + "/ntfs-files.img")) GTEST_SKIP() << "no test images: run scripts/make-test-images.sh";
  if (::geteuid() != 0 || !fs::exists("/dev/fuse") || std::system("command -v ntfs-3g >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "needs root, /dev/fuse and ntfs-3g to mount the image through FUSE";
  const fs::path image = dir / "ntfs copy.img";
  fs::copy_file(images + "/ntfs-files.img", image);
  const fs::path mnt = dir / "mnt";
  fs::create_directories(mnt);
  if (std::system(("ntfs-3g '" + image.string() + "' '" + mnt.string() + "' >/dev/null 2>&1").c_str()) != 0)
    GTEST_SKIP() << "ntfs-3g could not mount the image here";
  auto bytes = [&] {
    std::ifstream in(image, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  const std::string before = bytes();
  const Outcome r = CliWithErrors("recover '" + image.string() + "' -r --to '" + (mnt / "out").string() + "'", dir / "err.txt");
  // Through a link to the image as well.
  fs::create_symlink(image, dir / "link.img");
  const Outcome viaLink = CliWithErrors("recover '" + (dir / "link.img").string() + "' -r --to '" + mnt.string() + "'", dir / "err2.txt");
  const bool madeOut = fs::exists(mnt / "out");
  std::system(("umount '" + mnt.string() + "' >/dev/null 2>&1 || fusermount -u '" + mnt.string() + "'").c_str());
  EXPECT_EQ(r.code, 2) << r.out << r.err;
  EXPECT_NE(r.err.find("This is the drive with data to recovery!"), std::string::npos) << r.err;
  EXPECT_EQ(viaLink.code, 2) << viaLink.err;
  EXPECT_FALSE(madeOut) << "nothing was created on the mounted image";
  EXPECT_TRUE(bytes() == before) << "the image is unchanged";
}

#include "explore/scan_session.h"
#include "support/recording_ui.h"

namespace {

// A session saved from a volume lists and recovers as the volume itself does,
// without the source named or the MFT collected again.
TEST_F(CliTest, SessionInfoLsAndRecoverFromASavedSession) {
  const std::string image = std::string(KESTROVA_TEST_IMAGES_DIR) + "/ntfs-files.img";
  if (!fs::exists(image)) GTEST_SKIP() << "no ntfs-files.img: run scripts/make-test-images.sh";
  const std::string file = (dir / "ntfs.kvs").string();
  {
    kestrova::test::RecordingUi ui;
    kestrova::VolumeSession session(ui);
    ASSERT_EQ(session.OpenSource(image), kestrova::SessionStatus::Ok);
    ASSERT_EQ(session.MountRow(0), kestrova::SessionStatus::Ok);
    kestrova::WorkerToken token;
    ASSERT_GT(session.CollectMft(token), 0u);
    ASSERT_TRUE(kestrova::SaveScanSession(session, file).ok());
  }
  const CliRun info = Cli("session info " + file + " --json");
  ASSERT_EQ(info.code, 0);
  for (const char* key : {"\"image\":\"", "\"scanComplete\":false", "\"lostEntries\":", "\"name\":\"LOST_FIL\"",
                          "\"name\":\"HISTORY_MAIN\",\"offset\":"})
    EXPECT_NE(info.out.find(key), std::string::npos) << key << " in " << info.out;
  EXPECT_EQ(Cli("session info " + file).code, 0);

  const CliRun direct = Cli("ls " + image + " -r --json");
  const CliRun saved = Cli("ls --session " + file + " -r --json");
  ASSERT_EQ(direct.code, 0);
  ASSERT_EQ(saved.code, 0);
  EXPECT_EQ(saved.out, direct.out);
  const CliRun sub = Cli("ls --session " + file + " --json /");
  EXPECT_EQ(sub.code, 0);

  const fs::path a = dir / "a", b = dir / "b";
  const CliRun r1 = Cli("recover " + image + " --to " + a.string() + " -r");
  const CliRun r2 = Cli("recover --session " + file + " --to " + b.string() + " -r");
  EXPECT_EQ(r1.code, r2.code);
  std::size_t files = 0;
  for (const auto& e : fs::recursive_directory_iterator(a)) {
    if (!e.is_regular_file()) continue;
    ++files;
    const fs::path other = b / fs::relative(e.path(), a);
    ASSERT_TRUE(fs::exists(other)) << other;
    EXPECT_EQ(fs::file_size(other), e.file_size()) << other;
  }
  EXPECT_GT(files, 0u);

  // Damaged and foreign files: exit 4 with the message; no session given: usage.
  std::ofstream(dir / "junk.kvs") << "not a session";
  EXPECT_EQ(Cli("session info " + (dir / "junk.kvs").string()).code, 4);
  const std::string err = (dir / "err.txt").string();
  std::system((std::string(KESTROVA_CLI) + " session info " + (dir / "junk.kvs").string() + " 2>" + err).c_str());
  std::ifstream errIn(err);
  const std::string text((std::istreambuf_iterator<char>(errIn)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("This session file is invalid or not compatible, choose another!"), std::string::npos) << text;
  EXPECT_EQ(Cli("ls --session " + (dir / "junk.kvs").string()).code, 4);
  EXPECT_EQ(Cli("ls").code, 2);
}

}  // namespace
