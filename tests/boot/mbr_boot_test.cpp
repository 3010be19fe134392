// Boots our MBR boot code in QEMU (SeaBIOS) on disk images built here: the
// active partition's boot sector (tools/boot/test_vbr.asm) reports on COM1
// the drive and the entry it was handed, and the failure cases are read off
// the text screen through QEMU's monitor. Skips without qemu-system-x86 or nasm.
#include "tools/mbr_boot_code.h"

#include "boot/nasm.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kestrova {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t kSector = 512;
constexpr auto kBootTimeout = 20s;
constexpr char kMarker[] = "KESTROVA-VBR";

// The geometry the CHS case gives the disk, so that the entry's CHS address is
// the one the BIOS uses.
constexpr std::uint32_t kHeads = 16;
constexpr std::uint32_t kSectorsPerTrack = 63;

struct PartitionSpec {
  std::uint8_t flag = 0;
  std::uint32_t lba = 0;
  std::uint32_t count = 0;
  bool withBootSector = true;  // our test boot sector at its first sector
  bool signature = true;       // ... ending in 55 AA
};

std::array<std::uint8_t, 3> ChsOf(std::uint64_t lba) {
  const std::uint64_t cylinder = lba / (kHeads * kSectorsPerTrack);
  if (cylinder > 1023) return {0xFE, 0xFF, 0xFF};  // past CHS: what partitioning tools store
  const auto head = static_cast<std::uint8_t>((lba / kSectorsPerTrack) % kHeads);
  const auto sector = static_cast<std::uint8_t>(lba % kSectorsPerTrack + 1);
  return {head, static_cast<std::uint8_t>(sector | ((cylinder >> 2) & 0xC0)), static_cast<std::uint8_t>(cylinder & 0xFF)};
}

std::array<std::uint8_t, 16> EntryBytes(const PartitionSpec& p) {
  std::array<std::uint8_t, 16> e{};
  if (p.count == 0) return e;
  e[0] = p.flag;
  const auto first = ChsOf(p.lba);
  const auto last = ChsOf(std::uint64_t{p.lba} + p.count - 1);
  std::copy(first.begin(), first.end(), e.begin() + 1);
  e[4] = 0x0C;  // FAT32 LBA; the boot code does not look at the type
  std::copy(last.begin(), last.end(), e.begin() + 5);
  for (int i = 0; i < 4; ++i) {
    e[8 + i] = static_cast<std::uint8_t>(p.lba >> (8 * i));
    e[12 + i] = static_cast<std::uint8_t>(p.count >> (8 * i));
  }
  return e;
}

std::string Hex(const std::array<std::uint8_t, 16>& bytes) {
  std::string s;
  char buf[3];
  for (auto b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    s += buf;
  }
  return s;
}

std::string ReadText(const std::filesystem::path& path) {
  const auto bytes = test::ReadWholeFile(path);
  return {bytes.begin(), bytes.end()};
}

// The 80x25 text screen at B8000 (character, attribute pairs) as lines.
std::string ScreenText(const std::vector<std::uint8_t>& vram) {
  std::string text;
  for (std::size_t i = 0; i + 1 < vram.size() && i < 80 * 25 * 2; i += 2) {
    const char c = static_cast<char>(vram[i]);
    text += (c >= 0x20 && c < 0x7F) ? c : ' ';
    if ((i / 2) % 80 == 79) text += '\n';
  }
  return text;
}

struct BootRun {
  bool exited = false;   // QEMU ended by itself (the test boot sector's exit port)
  int exitCode = -1;
  std::string serial;    // what COM1 received
  std::string screen;    // the last text screen read, when one was asked for
  std::string log;       // QEMU's own messages
};

class MbrBoot : public test::TempDirTest {
 protected:
  MbrBoot() : TempDirTest("kestrova-mbr-boot") {}

  void SetUp() override {
    TempDirTest::SetUp();
    qemu_ = test::FindProgram("qemu-system-i386");
    if (qemu_.empty()) qemu_ = test::FindProgram("qemu-system-x86_64");
    nasm_ = test::FindProgram("nasm");
    if (qemu_.empty() || nasm_.empty())
      GTEST_SKIP() << "the boot test needs qemu-system-i386 (package qemu-system-x86) and nasm; "
                   << "scripts/setup.sh installs both";
    std::string log;
    auto vbr = test::Assemble(nasm_, KESTROVA_BOOT_SOURCE_DIR "/test_vbr.asm", dir / "test_vbr.bin", {}, &log);
    ASSERT_TRUE(vbr && vbr->size() == kSector) << log;
    bootSector_ = *vbr;
  }

  // A disk of `sectors` (sparse) with `code` at 0, the four entries and 55 AA.
  std::filesystem::path MakeDisk(std::span<const std::uint8_t> code, const std::array<PartitionSpec, 4>& parts,
                                 std::uint64_t sectors) {
    const auto path = dir / "disk.img";
    std::vector<std::uint8_t> mbr(kSector, 0);
    std::copy(code.begin(), code.end(), mbr.begin());
    for (std::size_t i = 0; i < 4; ++i) {
      const auto e = EntryBytes(parts[i]);
      std::copy(e.begin(), e.end(), mbr.begin() + 446 + 16 * i);
    }
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(mbr.data()), static_cast<std::streamsize>(mbr.size()));
    }
    std::filesystem::resize_file(path, sectors * kSector);
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    for (const auto& p : parts) {
      if (p.count == 0 || !p.withBootSector || p.lba >= sectors) continue;
      auto sector = bootSector_;
      if (!p.signature) sector[510] = sector[511] = 0;
      out.seekp(static_cast<std::streamoff>(p.lba * kSector));
      out.write(reinterpret_cast<const char*>(sector.data()), static_cast<std::streamsize>(sector.size()));
    }
    EXPECT_TRUE(out.good());
    return path;
  }

  // Boots the disk until the test boot sector's line is complete, one of
  // `screenTexts` shows on the screen, QEMU ends, or the time is up.
  BootRun Boot(const std::filesystem::path& disk, const std::vector<std::string>& screenTexts,
               const std::string& geometry = {}) {
    const auto serialPath = dir / "serial.txt";
    const auto socketPath = dir / "monitor.sock";
    const auto logPath = dir / "qemu.log";
    std::filesystem::remove(serialPath);
    std::filesystem::remove(socketPath);
    std::vector<std::string> args{qemu_,
                                  "-nodefaults",
                                  "-display", "none",
                                  "-vga", "std",
                                  "-m", "16",
                                  "-no-reboot",
                                  "-serial", "file:" + serialPath.string(),
                                  "-monitor", "unix:" + socketPath.string() + ",server=on,wait=off",
                                  "-device", "isa-debug-exit,iobase=0xf4,iosize=0x01",
                                  "-drive", "file=" + disk.string() + ",format=raw,if=none,id=d0",
                                  "-device", "ide-hd,drive=d0" + geometry};
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int devnull = ::open("/dev/null", O_RDONLY);
      const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(devnull, 0);
      ::dup2(log, 1);
      ::dup2(log, 2);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    BootRun run;
    if (pid < 0) return run;

    int monitor = -1;
    const auto screenPath = dir / "screen.bin";
    const auto deadline = std::chrono::steady_clock::now() + kBootTimeout;
    std::optional<std::chrono::steady_clock::time_point> lineSeen;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        run.exited = true;
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        break;
      }
      run.serial = ReadText(serialPath);
      if (const auto at = run.serial.find(kMarker); at != std::string::npos && run.serial.find('\n', at) != std::string::npos) {
        // The line is out; the exit port write follows it. Give QEMU a moment to end by itself.
        if (!lineSeen) lineSeen = std::chrono::steady_clock::now();
        if (std::chrono::steady_clock::now() - *lineSeen > 3s) break;
        std::this_thread::sleep_for(20ms);
        continue;
      }
      if (!screenTexts.empty()) {
        if (monitor < 0) monitor = ConnectMonitor(socketPath);
        if (monitor >= 0) {
          const std::string cmd = "pmemsave 0xb8000 4000 \"" + screenPath.string() + "\"\n";
          (void)!::write(monitor, cmd.data(), cmd.size());
          DrainMonitor(monitor);
          run.screen = ScreenText(test::ReadWholeFile(screenPath));
          if (std::any_of(screenTexts.begin(), screenTexts.end(),
                          [&](const std::string& t) { return run.screen.find(t) != std::string::npos; }))
            break;
        }
      }
      std::this_thread::sleep_for(100ms);
    }
    if (!run.exited) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    if (monitor >= 0) ::close(monitor);
    run.serial = ReadText(serialPath);
    run.log = ReadText(logPath);
    return run;
  }

  static int ConnectMonitor(const std::filesystem::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }

  // Reads what the monitor echoed until its next prompt (the command is done)
  // or a short wait passes.
  static void DrainMonitor(int fd) {
    std::string got;
    const auto until = std::chrono::steady_clock::now() + 1s;
    while (std::chrono::steady_clock::now() < until) {
      char buf[4096];
      const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        got.append(buf, static_cast<std::size_t>(n));
        if (got.find("\n(qemu)") != std::string::npos) return;
      } else {
        std::this_thread::sleep_for(20ms);
      }
    }
  }

  std::string Describe(const BootRun& run) const {
    return "serial: [" + run.serial + "]\nscreen:\n" + run.screen + "\nqemu: " + run.log;
  }

  std::string qemu_;
  std::string nasm_;
  std::vector<std::uint8_t> bootSector_;
};

// The line the test boot sector prints when our code hands it entry `index`.
std::string ExpectedLine(std::size_t index, const PartitionSpec& p) {
  char si[5];
  std::snprintf(si, sizeof si, "%04X", static_cast<unsigned>(0x07BE + 16 * index));
  return std::string(kMarker) + " dl=80 ds=0000 si=" + si + " entry=" + Hex(EntryBytes(p)) + "\r\n";
}

// What our code prints when it stops; a boot case that shows one ends at once.
std::vector<std::string> FailureMessages() {
  return {"Invalid partition table", "No active partition", "Error loading operating system",
          "Missing operating system"};
}

struct BootCase {
  const char* name;
  std::array<PartitionSpec, 4> parts;
  std::uint64_t diskSectors;
  std::size_t active;  // the entry that must boot
};

TEST_F(MbrBoot, BootsTheActivePartitionWithDriveAndEntryInDsSi) {
  // Every entry that is not active also holds a boot sector, so booting the
  // wrong one shows as a wrong si/entry.
  const BootCase cases[] = {
      {"second of two active",
       {{{0x00, 2048, 2048}, {0x80, 4096, 2048}, {}, {}}}, 8192, 1},
      {"first entry active",
       {{{0x80, 63, 1000}, {0x00, 2048, 2048}, {}, {}}}, 8192, 0},
      // 8.5 GB in: past what CHS can address, only the extensions reach it.
      {"fourth entry past the CHS limit",
       {{{0x00, 2048, 2048}, {}, {}, {0x80, 17'000'000, 2048}}}, 17'004'096, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto disk = MakeDisk(StandardMbrBootCode(), c.parts, c.diskSectors);
    const auto run = Boot(disk, FailureMessages());
    EXPECT_EQ(run.serial, ExpectedLine(c.active, c.parts[c.active])) << Describe(run);
    EXPECT_TRUE(run.exited && run.exitCode == ((0x10 << 1) | 1)) << "the test boot sector did not run to its end\n"
                                                                  << Describe(run);
  }
}

TEST_F(MbrBoot, WithoutExtensionsReadsTheEntrysChsAddress) {
  // The CHS-only build of the same source, on a disk whose geometry matches
  // the entry's CHS fields; cylinder 300 needs the two high bits in CL.
  std::string log;
  const auto chsCode =
      test::Assemble(nasm_, KESTROVA_BOOT_SOURCE_DIR "/mbr.asm", dir / "mbr_chs.bin", {"KESTROVA_FORCE_CHS"}, &log);
  ASSERT_TRUE(chsCode && chsCode->size() == kMbrBootCodeSize) << log;
  constexpr std::uint32_t kCylinders = 302;
  const std::uint32_t lba = 300 * kHeads * kSectorsPerTrack + 5 * kSectorsPerTrack + 6;  // C 300, H 5, S 7
  const std::array<PartitionSpec, 4> parts{{{0x00, 2048, 2048}, {0x80, lba, 1000}, {}, {}}};
  const auto disk = MakeDisk(*chsCode, parts, std::uint64_t{kCylinders} * kHeads * kSectorsPerTrack);
  const auto run = Boot(disk, FailureMessages(), ",cyls=302,heads=16,secs=63,bios-chs-trans=none");
  EXPECT_EQ(run.serial, ExpectedLine(1, parts[1])) << Describe(run);
}

TEST_F(MbrBoot, RefusesToBootAndSaysWhy) {
  struct FailCase {
    const char* name;
    std::array<PartitionSpec, 4> parts;
    const char* message;
  };
  const FailCase cases[] = {
      {"no active entry", {{{0x00, 2048, 2048}, {0x00, 4096, 2048}, {}, {}}}, "No active partition"},
      {"two active entries", {{{0x80, 2048, 2048}, {0x80, 4096, 2048}, {}, {}}}, "Invalid partition table"},
      {"a flag that is neither 00 nor 80", {{{0x01, 2048, 2048}, {0x80, 4096, 2048}, {}, {}}},
       "Invalid partition table"},
      {"active boot sector without 55 AA",
       {{{0x00, 2048, 2048}, {0x80, 4096, 2048, true, false}, {}, {}}}, "Missing operating system"},
      {"active partition past the end of the disk",
       {{{0x00, 2048, 2048}, {0x80, 900'000, 2048}, {}, {}}}, "Error loading operating system"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto disk = MakeDisk(StandardMbrBootCode(), c.parts, 8192);
    const auto run = Boot(disk, {c.message});
    EXPECT_NE(run.screen.find(c.message), std::string::npos) << Describe(run);
    EXPECT_EQ(run.serial.find(kMarker), std::string::npos) << "a boot sector ran\n" << Describe(run);
  }
}

}  // namespace
}  // namespace kestrova
