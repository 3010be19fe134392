// One device read from several threads at once, as the explorer does while a
// scan runs: a sequential scan, folder listings and a hex view's random reads.
#include "device/read_error_window.h"
#include "device/sector_device.h"
#include "fs/fat/fat_builder.h"
#include "support/crafted.h"
#include "support/recording_ui.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <set>
#include <thread>

namespace kestrova {
namespace {

using test::FatBuilder;

constexpr std::uint32_t kSectors = 8192;

// Counts bad sectors in [first, first + count).
std::uint64_t BadIn(const std::set<std::uint64_t>& bad, std::uint64_t first, std::uint64_t count) {
  return static_cast<std::uint64_t>(std::distance(bad.lower_bound(first), bad.lower_bound(first + count)));
}

// Every good sector holds the image's bytes; every bad one still holds the fill.
bool Matches(const std::vector<std::uint8_t>& image, const std::set<std::uint64_t>& bad, std::uint64_t first,
             const std::vector<std::uint8_t>& buf, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* got = buf.data() + std::size_t{i} * 512;
    if (bad.count(first + i)) {
      if (std::any_of(got, got + 512, [](std::uint8_t b) { return b != 0xEE; })) return false;
    } else if (!std::equal(got, got + 512, image.begin() + static_cast<std::ptrdiff_t>((first + i) * 512))) {
      return false;
    }
  }
  return true;
}

TEST(SectorDeviceThreads, ScanListingAndHexViewReadTheSameDeviceAtOnce) {
  FatBuilder b(FsType::Fat32, kSectors);
  constexpr int kFiles = 12;
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "FILE" + std::string(1, static_cast<char>('A' + i)) + "   BIN";
    b.Entry(2, static_cast<std::size_t>(i), name, 0x20, static_cast<std::uint32_t>(10 + i), 512);
    b.Chain({static_cast<std::uint32_t>(10 + i)});
  }
  // Distinct bytes in the data area beyond the files, so a read from the wrong offset shows.
  for (std::uint64_t s = 1000; s < kSectors; ++s)
    for (std::size_t i = 0; i < 512; ++i) b.Sector(s)[i] = static_cast<std::uint8_t>((s * 31 + i * 7) % 251);
  FatContext& ctx = b.Mount();
  ASSERT_TRUE(b.mounted());
  SectorDevice& dev = b.mem->device;
  ASSERT_EQ(dev.volumeStart, 0u);
  const std::set<std::uint64_t> bad{1500, 1501, 2222, 4095, 4096, 6000, 8000};
  b.mem->shared->badSectors = bad;
  const std::vector<std::uint8_t> image = b.mem->shared->data;

  test::RecordingUi ui;
  ReadErrorWindow window(ui, b.mem->scan, true);
  dev.readErrorWindow = &window;

  std::atomic<std::uint64_t> expectedErrors{0};
  std::atomic<int> wrongBytes{0}, wrongResults{0}, wrongListings{0};

  auto scan = [&] {
    std::vector<std::uint8_t> buf(64 * 512);
    for (int pass = 0; pass < 3; ++pass) {
      for (std::uint64_t s = 0; s < kSectors; s += 64) {
        std::fill(buf.begin(), buf.end(), 0xEE);
        const ReadResult r = dev.ReadSectors(s, buf, 64);
        const std::uint64_t n = BadIn(bad, s, 64);
        expectedErrors += n;
        if (r != (n ? ReadFailed : ReadOk)) ++wrongResults;
        if (!Matches(image, bad, s, buf, 64)) ++wrongBytes;
      }
    }
  };
  auto listing = [&] {
    for (int round = 0; round < 40; ++round) {
      const std::vector<FoundEntry> all = ListFolder(ctx, 2);
      if (all.size() != kFiles) ++wrongListings;
    }
  };
  auto hexView = [&] {
    std::vector<std::uint8_t> buf(4 * 512);
    std::uint64_t x = 12345;
    for (int i = 0; i < 3000; ++i) {
      x = x * 6364136223846793005ull + 1442695040888963407ull;
      const std::uint32_t count = static_cast<std::uint32_t>(1 + (x >> 60) % 4);
      const std::uint64_t s = (x >> 20) % (kSectors - count);
      std::fill(buf.begin(), buf.end(), 0xEE);
      const ReadResult r = dev.ReadSectors(s, buf, count);
      const std::uint64_t n = BadIn(bad, s, count);
      expectedErrors += n;
      if (r != (n ? ReadFailed : ReadOk)) ++wrongResults;
      if (!Matches(image, bad, s, buf, count)) ++wrongBytes;
    }
  };

  std::thread t1(scan), t2(listing), t3(hexView), t4(hexView);
  t1.join();
  t2.join();
  t3.join();
  t4.join();

  EXPECT_EQ(wrongBytes.load(), 0);
  EXPECT_EQ(wrongResults.load(), 0);
  EXPECT_EQ(wrongListings.load(), 0);
  ASSERT_GT(expectedErrors.load(), 0u);
  EXPECT_EQ(dev.errorCount.load(), expectedErrors.load());
  // One window update per error, each with its own count: none lost, none repeated.
  std::set<std::u16string> counts;
  for (const ReadErrorView& v : ui.readErrorViews) counts.insert(v.countLine);
  EXPECT_EQ(ui.readErrorViews.size(), expectedErrors.load());
  EXPECT_EQ(counts.size(), expectedErrors.load());
  EXPECT_TRUE(bad.count(dev.badSector.load()));
  dev.readErrorWindow = nullptr;
}

// A front end that answers a read-error report by reading the device and by
// waiting for another thread that needs the device alone (a repair's write).
class ReadingUi : public test::RecordingUi {
 public:
  SectorDevice* device = nullptr;
  std::atomic<int> nestedOk{0};
  std::atomic<bool> writeDone{false};

  void ReadErrorWindowChanged(const ReadErrorView& view) override {
    test::RecordingUi::ReadErrorWindowChanged(view);
    if (!view.visible || !device) return;
    std::vector<std::uint8_t> sector(512);
    if (device->ReadSectors(1, sector, 1) == ReadOk && sector[0] == 2) ++nestedOk;
    const std::vector<std::uint8_t> data(512, 0x77);
    std::thread writer([&] { writeDone = device->WriteSectors(90, data, 1); });
    writer.join();
  }
};

TEST(SectorDeviceThreads, TheReadErrorWindowIsToldWithNoDeviceLockHeld) {
  test::Image img(100 * 512);
  for (std::size_t s = 0; s < 100; ++s)
    std::fill_n(img.begin() + static_cast<std::ptrdiff_t>(s * 512), 512, static_cast<std::uint8_t>(s + 1));
  test::MemDevice mem(std::move(img));
  mem.shared->writable = true;
  mem.shared->badSectors = {5};
  ReadingUi ui;
  ui.device = &mem.device;
  ReadErrorWindow window(ui, mem.scan, true);
  mem.device.readErrorWindow = &window;

  auto read = std::async(std::launch::async, [&] {
    std::vector<std::uint8_t> buf(8 * 512);
    return mem.device.ReadSectors(0, buf, 8);
  });
  if (read.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "the report waited for a device lock";
    std::_Exit(1);  // the stuck thread cannot be joined
  }
  EXPECT_EQ(read.get(), ReadFailed);
  EXPECT_EQ(ui.nestedOk.load(), 1);
  EXPECT_TRUE(ui.writeDone.load());
  EXPECT_EQ(mem.shared->data[90 * 512], 0x77);
  EXPECT_EQ(mem.device.errorCount.load(), 1u);
}

}  // namespace
}  // namespace kestrova
