// Imaging on real files and file systems: a boot-zeroed NTFS volume whose image
// mounts, a full and a read-only destination (small tmpfs mounts, as root), and
// the command line: JSON, the refusal of the source, Ctrl+C with a usable map.
#include "explore/image_copy.h"
#include "imaging/image_job.h"

#include "support/cli_run.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kestrova {
namespace {

ImageChoice Choice(std::optional<std::size_t> row, const std::string& output, const std::string& map = {}) {
  ImageChoice c;
  c.row = row;
  c.outputPath = output;
  c.mapPath = map;
  return c;
}

using test::Cli;
using test::Quoted;

bool Have(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::vector<std::uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteRandom(const std::string& path, std::size_t bytes, unsigned seed) {
  std::vector<std::uint8_t> data(bytes);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : data) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

class ImagingIntegration : public test::TempDirTest {
 protected:
  ImagingIntegration() : TempDirTest("kestrova-imaging-int") {}
  void TearDown() override {
    for (const std::string& m : mounts_) ::umount2(m.c_str(), MNT_DETACH);
    TempDirTest::TearDown();
  }
  // A tmpfs of `bytes` at a new folder; empty when it cannot be mounted (not root).
  std::string Tmpfs(const std::string& name, std::size_t bytes, bool readOnly) {
    const std::string at = P(name);
    std::filesystem::create_directories(at);
    const std::string options = "size=" + std::to_string(bytes);
    if (::mount("tmpfs", at.c_str(), "tmpfs", readOnly ? MS_RDONLY : 0, options.c_str()) != 0) return {};
    mounts_.push_back(at);
    return at;
  }
  std::vector<std::string> mounts_;
};

TEST_F(ImagingIntegration, BootZeroedNtfsVolumeImagesWithItsBackupAndMounts) {
  if (!Have("mkntfs") || !Have("sfdisk")) GTEST_SKIP() << "needs mkntfs (ntfs-3g) and sfdisk";
  const std::string disk = P("disk.img"), part = P("part.img");
  const std::string script = "truncate -s 24M " + Quoted(disk) + " && printf 'label: dos\\nstart=2048, size=30000, type=7\\n' | sfdisk -q " +
                             Quoted(disk) + " && truncate -s " + std::to_string(30000 * 512) + " " + Quoted(part) +
                             " && mkntfs -q -F -f -L KVZERO " + Quoted(part) + " >/dev/null 2>&1 && dd if=" +
                             Quoted(part) + " of=" + Quoted(disk) + " bs=512 seek=2048 conv=notrunc status=none && dd if=/dev/zero of=" +
                             Quoted(disk) + " bs=512 seek=2048 count=1 conv=notrunc status=none";
  ASSERT_EQ(std::system(script.c_str()), 0);

  test::RecordingUi ui;
  VolumeSession session(ui);
  ASSERT_EQ(session.OpenSource(disk), SessionStatus::Ok);
  ASSERT_EQ(session.rows().size(), 1u);
  ImageCopy copy(session);
  ImageRequest request;
  ASSERT_EQ(copy.Prepare(Choice(0, P("volume.img")), request), SessionStatus::Ok);
  EXPECT_EQ(request.start, 2048u);
  EXPECT_EQ(request.bootReplacement, std::optional<std::uint64_t>(29999));
  ASSERT_TRUE(copy.Start(request));
  const ImageResult& r = copy.Wait();
  ASSERT_EQ(r.status, ImageStatus::Done);
  EXPECT_TRUE(r.bootReplaced);

  const auto image = ReadAll(P("volume.img"));
  const auto volume = ReadAll(part);
  ASSERT_EQ(image.size(), volume.size());
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 512, volume.end() - 512)) << "sector 0 is the last sector";
  EXPECT_TRUE(std::equal(image.begin() + 512, image.end(), volume.begin() + 512));

  VolumeSession mounted(ui);
  ASSERT_EQ(mounted.OpenSource(P("volume.img")), SessionStatus::Ok);
  ASSERT_EQ(mounted.MountOnly(), SessionStatus::Ok);
  EXPECT_EQ(mounted.fsType(), FsType::Ntfs);
  EXPECT_EQ(mounted.mountedVolume().bootSectorAt, 0u) << "the image's own first sector mounts";
}

TEST_F(ImagingIntegration, FullOrReadOnlyDestinationIsReported) {
  const std::string full = Tmpfs("full", 1 << 20, false);
  const std::string readOnly = Tmpfs("ro", 1 << 20, true);
  if (full.empty() || readOnly.empty()) GTEST_SKIP() << "needs root to mount a small tmpfs";
  WriteRandom(P("source.img"), 4 << 20, 1);

  test::RecordingUi ui;
  VolumeSession session(ui);
  ASSERT_EQ(session.OpenSource(P("source.img")), SessionStatus::Ok);
  ImageCopy copy(session);
  ImageRequest request;
  ASSERT_EQ(copy.Prepare(Choice(std::nullopt, full + "/out.img", P("out.map")), request), SessionStatus::Ok);
  ASSERT_TRUE(copy.Start(request));
  const ImageResult r = copy.Wait();
  EXPECT_EQ(r.status, ImageStatus::DiskFull);
  EXPECT_EQ(r.error, ENOSPC);
  EXPECT_GT(r.sectorsWritten, 0u);
  EXPECT_LE(r.sectorsWritten * 512, 1u << 20) << "the result says how much reached the disk";
  EXPECT_EQ(r.sectorsCopied + r.sectorsLeft, 8192u);
  // The map written beside it records exactly that much as copied.
  std::string text;
  ASSERT_EQ(ReadMapFile(P("out.map"), text), 0);
  ImageMap map;
  std::size_t line = 0;
  ASSERT_EQ(ParseImageMap(text, 512, 8192, map, line), MapParse::Ok);
  EXPECT_EQ(map.Count(MapStatus::Good), r.sectorsCopied);

  ImageCopy second(session);
  ASSERT_EQ(second.Prepare(Choice(std::nullopt, readOnly + "/out.img"), request), SessionStatus::Ok);
  ASSERT_TRUE(second.Start(request));
  const ImageResult ro = second.Wait();
  EXPECT_EQ(ro.status, ImageStatus::CantCreate);
  EXPECT_EQ(ro.error, EROFS);

  // The command line says so and fails.
  const test::CliRun cli = Cli("image " + Quoted(P("source.img")) + " --to " + Quoted(full + "/cli.img") + " --json");
  EXPECT_EQ(cli.code, 5);
  EXPECT_NE(cli.out.find("\"status\":\"disk-full\""), std::string::npos) << cli.out;
}

TEST_F(ImagingIntegration, CommandLineCopiesAVolumeAndRefusesTheSource) {
  WriteRandom(P("source.img"), 1 << 20, 2);
  const auto before = ReadAll(P("source.img"));
  const test::CliRun ok = Cli("image " + Quoted(P("source.img")) + " --to " + Quoted(P("copy.img")) + " --json");
  EXPECT_EQ(ok.code, 0) << ok.out;
  EXPECT_NE(ok.out.find("\"status\":\"done\""), std::string::npos) << ok.out;
  EXPECT_TRUE(ReadAll(P("copy.img")) == before);

  const test::CliRun refused = Cli("image " + Quoted(P("source.img")) + " --to " + Quoted(P("source.img")));
  EXPECT_EQ(refused.code, 2);
  const test::CliRun mapRefused =
      Cli("image " + Quoted(P("source.img")) + " --to " + Quoted(P("x.img")) + " --map " + Quoted(P("source.img")));
  EXPECT_EQ(mapRefused.code, 2);
  EXPECT_TRUE(ReadAll(P("source.img")) == before) << "the source is never written";
  EXPECT_EQ(Cli("image " + Quoted(P("source.img")) + " --to " + Quoted(P("x.img")) + " --retry-bad").code, 2)
      << "--retry-bad needs --map";
}

TEST_F(ImagingIntegration, CtrlCStopsCleanlyLeavingAUsableMap) {
  // A large sparse source read into /dev/null: long enough to interrupt, no disk space used.
  const std::string source = P("sparse.img");
  ASSERT_EQ(::truncate(WriteFile("sparse.img", "").c_str(), 64ll << 30), 0);
  const std::string map = P("run.map");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1), ::dup2(null, 2);
    ::execl(KESTROVA_CLI, KESTROVA_CLI, "image", source.c_str(), "--to", "/dev/null", "--map", map.c_str(), nullptr);
    ::_exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  ::kill(child, SIGINT);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "ends by itself, not by the signal";
  EXPECT_EQ(WEXITSTATUS(status), 5);
  std::string text;
  ASSERT_EQ(ReadMapFile(map, text), 0);
  ImageMap parsed;
  std::size_t line = 0;
  ASSERT_EQ(ParseImageMap(text, 512, (64ull << 30) / 512, parsed, line), MapParse::Ok);
  const auto runs = parsed.Runs();
  ASSERT_EQ(runs.size(), 2u) << text;
  EXPECT_EQ(runs[0].status, MapStatus::Good);
  EXPECT_EQ(runs[1].status, MapStatus::Untried);
}

}  // namespace
}  // namespace kestrova
