#include "device/read_error_window.h"
#include "device/sector_device.h"
#include "support/crafted.h"
#include "support/recording_ui.h"

#include <gtest/gtest.h>

#include <numeric>

namespace kestrova {
namespace {

using test::MemDevice;
using test::RecordingUi;

// 100 sectors, each filled with its own number.
test::Image Numbered(std::size_t sectors) {
  test::Image img(sectors * 512);
  for (std::size_t s = 0; s < sectors; ++s) std::fill_n(img.begin() + static_cast<std::ptrdiff_t>(s * 512), 512, static_cast<std::uint8_t>(s + 1));
  return img;
}

class SectorDeviceTest : public ::testing::Test {
 protected:
  MemDevice mem{Numbered(100)};
  SectorDevice& dev = mem.device;
  RecordingUi ui;
  ReadErrorWindow window{ui, mem.scan, true};
  std::vector<std::uint8_t> buf = std::vector<std::uint8_t>(16 * 512, 0xEE);

  void SetUp() override { dev.readErrorWindow = &window; }
};

TEST_F(SectorDeviceTest, ClipsAtTheVolumeEndAndLeavesTheRestUntouched) {
  dev.GeometryForMount().volumeStart = 10;
  dev.GeometryForMount().volumeLastSector = 49;  // volume of 50 sectors
  ASSERT_EQ(dev.ReadSectors(47, buf, 8), ReadOk);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(buf[i * 512], 10 + 47 + i + 1);
  for (int i = 3; i < 8; ++i) EXPECT_EQ(buf[i * 512], 0xEE) << "sector " << i << " must stay untouched";
}

TEST_F(SectorDeviceTest, ReadPastTheVolumeFailsWithoutTouchingTheDevice) {
  dev.GeometryForMount().volumeLastSector = 49;
  const auto reads = mem.shared->reads, seeks = mem.shared->seeks;
  EXPECT_EQ(dev.ReadSectors(50, buf, 1), ReadFailed);
  EXPECT_EQ(mem.shared->reads, reads);
  EXPECT_EQ(mem.shared->seeks, seeks);
  EXPECT_TRUE(ui.readErrorViews.empty());
}

TEST_F(SectorDeviceTest, ReadPastTheDeviceFailsWholeWhileTheVolumeEndClips) {
  dev.GeometryForMount().volumeStart = 90;
  // Same request: 8 sectors from 5 runs past the device end (sector 100) -> no clipping.
  EXPECT_EQ(dev.ReadSectors(5, buf, 8), ReadFailed);
  EXPECT_EQ(buf[0], 0xEE);
  // With the volume ending at the device end, the same read is clipped instead.
  dev.GeometryForMount().volumeLastSector = 9;
  EXPECT_EQ(dev.ReadSectors(5, buf, 8), ReadOk);
  EXPECT_EQ(buf[0], 96);
  EXPECT_EQ(buf[4 * 512], 100);
  EXPECT_EQ(buf[5 * 512], 0xEE);
}

TEST_F(SectorDeviceTest, ExtremeSectorNumbersFailWithoutOverflow) {
  EXPECT_EQ(dev.ReadSectors(~0ull, buf, 2), ReadFailed);
  dev.GeometryForMount().volumeStart = ~0ull - 1;
  EXPECT_EQ(dev.ReadSectors(5, buf, 1), ReadFailed);
  dev.GeometryForMount().volumeStart = 0;
  dev.GeometryForMount().deviceSectors = kAllOnes;  // an unbounded device still cannot overflow the byte offset
  EXPECT_EQ(dev.ReadSectors(~0ull / 512, buf, 4), ReadFailed);
}

TEST_F(SectorDeviceTest, RefusesABufferTooSmallForTheRequest) {
  std::vector<std::uint8_t> small(512);
  EXPECT_EQ(dev.ReadSectors(0, small, 2), ReadFailed);
}

TEST_F(SectorDeviceTest, EveryTransferIsOnePositionedReadWithoutSeeking) {
  const auto seeks = mem.shared->seeks, reads = mem.shared->reads;
  ASSERT_EQ(dev.ReadSectors(0, buf, 4), ReadOk);
  ASSERT_EQ(dev.ReadSectors(4, buf, 4), ReadOk);
  ASSERT_EQ(dev.ReadSectors(2, buf, 1), ReadOk);
  EXPECT_EQ(buf[0], 3);
  EXPECT_EQ(mem.shared->reads, reads + 3);
  EXPECT_EQ(mem.shared->seeks, seeks);
}

TEST_F(SectorDeviceTest, OneBadSectorFailsTheRunButKeepsEveryOtherSector) {
  mem.shared->badSectors = {13};
  ASSERT_EQ(dev.ReadSectors(10, buf, 8), ReadFailed);
  for (int i = 0; i < 8; ++i) {
    if (i == 3) EXPECT_EQ(buf[i * 512], 0xEE);
    else EXPECT_EQ(buf[i * 512], 10 + i + 1) << i;
  }
  EXPECT_EQ(dev.errorCount.load(), 1u);
  EXPECT_EQ(dev.badSector.load(), 13u);
  ASSERT_FALSE(ui.readErrorViews.empty());
  const ReadErrorView& v = ui.readErrorViews.back();
  EXPECT_TRUE(v.visible);
  EXPECT_EQ(v.sectorLine, u"13");  // sector alone while no cluster geometry is set
  EXPECT_EQ(v.countLine, u"1");
  EXPECT_FALSE(v.errorText.empty());
  EXPECT_FALSE(v.stopScanEnabled);  // no scan running
}

TEST_F(SectorDeviceTest, ShowsSectorAndClusterOnceAVolumeIsMounted) {
  dev.GeometryForMount().sectorsPerCluster = 4;
  dev.GeometryForMount().clusterBase = 2;
  mem.scan.token.SetRunning(true);
  mem.shared->badSectors = {22};
  EXPECT_EQ(dev.ReadSectors(20, buf, 4), ReadFailed);
  EXPECT_EQ(dev.badCluster.load(), 5u);
  EXPECT_EQ(ui.readErrorViews.back().sectorLine, u"22/5");
  EXPECT_TRUE(ui.readErrorViews.back().stopScanEnabled);
}

TEST_F(SectorDeviceTest, SkipReadErrorsStillFailsButCountsAndShowsNothing) {
  mem.shared->badSectors = {3};
  window.Continue(true, dev.skipReadErrors);
  ui.readErrorViews.clear();
  EXPECT_EQ(dev.ReadSectors(0, buf, 8), ReadFailed);
  EXPECT_EQ(dev.errorCount.load(), 0u);
  EXPECT_TRUE(ui.readErrorViews.empty());
  EXPECT_EQ(dev.badSector.load(), 3u);
}

TEST_F(SectorDeviceTest, PausedScanSuppressesTheWindow) {
  mem.scan.token.Pause();
  mem.shared->badSectors = {3};
  EXPECT_EQ(dev.ReadSectors(0, buf, 8), ReadFailed);
  EXPECT_EQ(dev.errorCount.load(), 0u);
  EXPECT_TRUE(ui.readErrorViews.empty());
}

TEST_F(SectorDeviceTest, AfterAFailedReadTheNextReadStillLandsOnItsOwnSector) {
  mem.shared->badSectors = {5};
  EXPECT_EQ(dev.ReadSectors(0, buf, 8), ReadFailed);
  mem.shared->badSectors.clear();
  const auto reads = mem.shared->reads;
  EXPECT_EQ(dev.ReadSectors(8, buf, 1), ReadOk);
  EXPECT_EQ(buf[0], 9);  // sector 8, not wherever the per-sector pass stopped
  EXPECT_EQ(mem.shared->reads, reads + 1);
}

TEST_F(SectorDeviceTest, AVanishedDeviceIsNotReadyAndShowsNoWindow) {
  ASSERT_EQ(dev.ReadSectors(0, buf, 1), ReadOk);
  mem.shared->vanished = true;
  EXPECT_EQ(dev.ReadSectors(1, buf, 4), ReadNotReady);
  EXPECT_EQ(dev.errorCount.load(), 0u);
  EXPECT_TRUE(ui.readErrorViews.empty());
}

TEST_F(SectorDeviceTest, AFailedSeekFailsTheRead) {
  ASSERT_EQ(dev.ReadSectors(0, buf, 1), ReadOk);
  mem.shared->seekError = 22;
  EXPECT_EQ(dev.ReadSectors(50, buf, 1), ReadFailed);
  EXPECT_TRUE(ui.readErrorViews.empty());
}

TEST_F(SectorDeviceTest, AShortReadAtTheEndOfAnImageCountsAsSuccess) {
  mem.shared->data.resize(100 * 512 - 100);  // last sector incomplete
  dev.GeometryForMount().deviceSectors = kAllOnes;
  EXPECT_EQ(dev.ReadSectors(99, buf, 2), ReadOk);
  EXPECT_EQ(buf[0], 100);
  EXPECT_EQ(buf[511], 0xEE);
}

TEST_F(SectorDeviceTest, ReadSectorsAtUsesTheGivenStartAndLeavesTheVolumeAlone) {
  dev.GeometryForMount().volumeStart = 40;
  ASSERT_EQ(dev.ReadSectorsAt(2, buf, 1, 10), ReadOk);
  EXPECT_EQ(buf[0], 13);
  EXPECT_EQ(dev.volumeStart, 40u);
  ASSERT_EQ(dev.ReadSectors(2, buf, 1), ReadOk);
  EXPECT_EQ(buf[0], 43);
}

TEST_F(SectorDeviceTest, ClusterAddressing) {
  dev.GeometryForMount().sectorsPerCluster = 8;
  dev.GeometryForMount().clusterBase = 16;  // data start 32
  EXPECT_EQ(dev.ClusterOfSector(32), 2u);
  EXPECT_EQ(dev.ClusterOfSector(39), 2u);
  EXPECT_EQ(dev.ClusterOfSector(40), 3u);
  EXPECT_EQ(dev.ClusterOfSector(16), 0u);
  EXPECT_EQ(dev.ClusterOfSector(3), 0u);
  ASSERT_TRUE(dev.ReadClusterSector(3, buf));
  EXPECT_EQ(buf[0], 41);
  ASSERT_EQ(dev.ReadClusters(2, buf, 2), ReadOk);
  EXPECT_EQ(buf[0], 33);
  EXPECT_EQ(buf[15 * 512], 48);
  dev.GeometryForMount().sectorsPerCluster = 0;
  EXPECT_EQ(dev.ClusterOfSector(100), 0u);
  EXPECT_FALSE(dev.ReadClusterSector(3, buf));
}

TEST_F(SectorDeviceTest, WritesOpenAWritableHandleOnlyForTheWrite) {
  bool reopenedWritable = false;
  auto written = std::make_shared<MemoryBlockSource::Shared>();
  written->writable = true;
  written->data.resize(100 * 512);
  dev.Attach(std::make_unique<MemoryBlockSource>(mem.shared), [&](bool writable, int&) {
    reopenedWritable = writable;
    return std::make_unique<MemoryBlockSource>(written);
  });
  std::vector<std::uint8_t> data(512, 0x5A);
  ASSERT_TRUE(dev.WriteSectors(7, data, 1));
  EXPECT_TRUE(reopenedWritable);
  EXPECT_EQ(mem.shared->writes, 0u) << "the read handle must never write";
  EXPECT_EQ(written->data[7 * 512], 0x5A);
}

TEST_F(SectorDeviceTest, WritesStopAtTheDeviceEnd) {
  auto written = std::make_shared<MemoryBlockSource::Shared>();
  written->writable = true;
  written->data.resize(100 * 512);
  dev.Attach(std::make_unique<MemoryBlockSource>(written), nullptr);
  dev.GeometryForMount().deviceSectors = 100;
  std::vector<std::uint8_t> data(2 * 512, 0x5A);
  struct Case { std::uint64_t sector; std::uint32_t count; bool ok; };
  for (const Case c : {Case{98, 2, true}, Case{99, 2, false}, Case{100, 1, false}, Case{kAllOnes - 1, 2, false},
                       Case{5, 0, false}}) {
    EXPECT_EQ(dev.WriteSectors(c.sector, data, c.count), c.ok) << c.sector << "+" << c.count;
  }
  EXPECT_EQ(written->data.size(), 100u * 512) << "an image never grows through a repair write";
}

TEST_F(SectorDeviceTest, CloseReturnsToNothingOpen) {
  dev.GeometryForMount().volumeStart = 5;
  dev.GeometryForMount().sectorsPerCluster = 8;
  dev.AllocateVolumeBuffer(4096);
  dev.Close();
  EXPECT_FALSE(dev.IsOpen());
  EXPECT_EQ(dev.VolumeBufferCount(), 0u);
  EXPECT_EQ(dev.volumeStart, 0u);
  EXPECT_EQ(dev.sectorsPerCluster, 0u);
  EXPECT_EQ(dev.physicalDrive, kNoPhysicalDrive);
  EXPECT_EQ(dev.deviceSectors, kAllOnes);
  EXPECT_EQ(dev.ReadSectors(0, buf, 1), ReadFailed);
}

TEST(ReadErrorWindow, StopScanPausesOnlyARunningScan) {
  RecordingUi ui;
  ScanFlags scan;
  ReadErrorWindow window(ui, scan, true);
  std::atomic<bool> skip{false};
  scan.token.SetRunning(true);
  window.Report(u"Input/output error", 7, 7, 1);
  window.StopScan(true, skip);
  ASSERT_EQ(ui.commands.size(), 1u);
  EXPECT_EQ(ui.commands[0], kCommandPauseResumeScan);
  EXPECT_TRUE(skip.load());
  EXPECT_FALSE(window.View().visible);

  scan.token.Pause();  // already paused: the toggle must not resume it
  window.Report(u"x", 8, 8, 2);
  window.StopScan(false, skip);
  EXPECT_EQ(ui.commands.size(), 1u);
  EXPECT_FALSE(skip.load());
}

TEST(ReadErrorWindow, PartitionSearchWindowHasNoStopButton) {
  RecordingUi ui;
  ScanFlags scan;
  scan.token.SetRunning(true);
  ReadErrorWindow window(ui, scan, false);
  std::atomic<bool> skip{false};
  window.Report(u"x", 1, 1, 1);
  EXPECT_FALSE(window.View().stopScanEnabled);
  window.StopScan(false, skip);
  EXPECT_TRUE(ui.commands.empty());
}

}  // namespace
}  // namespace kestrova
