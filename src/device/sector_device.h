// The one open device (drive, volume or image file), addressed in sectors, with
// the mounted volume's geometry and the read-error policy. Whoever opens a
// device owns its SectorDevice; opening another first closes the current one.
#pragma once

#include "common/fs_type.h"
#include "device/block_source.h"
#include "device/buffer_pool.h"
#include "device/read_error_window.h"
#include "device/scan_flags.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace kestrova {

enum ReadResult : int { ReadFailed = 0, ReadOk = 1, ReadNotReady = 3 };

inline constexpr std::uint64_t kAllOnes = ~std::uint64_t{0};
inline constexpr std::int32_t kNoPhysicalDrive = 63;

// Reopens the same path with the given write access; used only when a repair writes.
using ReopenFn = std::function<std::unique_ptr<BlockSource>(bool writable, int& error)>;

class SectorDevice {
 public:
  explicit SectorDevice(const ScanFlags& scan);
  ~SectorDevice();
  SectorDevice(const SectorDevice&) = delete;
  SectorDevice& operator=(const SectorDevice&) = delete;

  // --- open state (set by the opener) ---
  std::string path;
  std::int32_t physicalDrive = kNoPhysicalDrive;
  char driveLetter = '$';
  std::uint32_t sectorSize = 512;
  std::uint64_t volumeStart = 0;
  std::uint64_t volumeSectorsHint = 0;
  std::uint64_t deviceSectors = kAllOnes;
  std::uint64_t volumeLastSector = kAllOnes;
  std::uint64_t position = kAllOnes;

  // --- mounted file system (set by the mount and the readers) ---
  FsType fsType = FsType::None;
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t bytesPerCluster = 0;
  std::uint64_t dataStart = 0;
  // Sector of cluster 0: dataStart - 2 clusters, negative when the data area
  // starts within the first two cluster sizes (exFAT with large clusters).
  std::int64_t clusterBase = 0;
  std::uint32_t lastCluster = 0;
  std::uint32_t rootCluster = 0;     // FAT32/exFAT root directory cluster
  std::uint64_t clusterCount = 0;    // exFAT: volume length / sectors per cluster

  // --- read-error state ---
  std::atomic<std::uint64_t> badSector{0};
  std::atomic<std::uint64_t> badCluster{0};
  std::atomic<std::uint64_t> errorCount{0};
  std::atomic<bool> skipReadErrors{false};
  // The window currently shown for read errors (explorer's or partition search's); may be null.
  ReadErrorWindow* readErrorWindow = nullptr;

  BufferPool buffers;

  bool IsOpen() const { return source_ != nullptr; }
  bool scanRunning() const { return scan_.scanRunning(); }
  bool scanPaused() const { return scan_.scanPaused(); }
  const ScanFlags& scanFlags() const { return scan_; }

  // Back to nothing-open with every field at its reset value (closes any handle).
  void Reset();
  // Attaches an opened source. Does not reset; the opener resets first.
  void Attach(std::unique_ptr<BlockSource> source, ReopenFn reopen);
  BlockSource* source() { return source_.get(); }

  // Volume-relative read of count sectors into buffer (which must hold them).
  ReadResult ReadSectors(std::uint64_t sector, std::span<std::uint8_t> buffer, std::uint32_t count);
  // ReadSectors with volumeStart temporarily replaced by start.
  ReadResult ReadSectorsAt(std::uint64_t sector, std::span<std::uint8_t> buffer, std::uint32_t count,
                           std::uint64_t start);
  // Absolute write for the partition repair only: no bounds, no volumeStart. The
  // device is opened writable for this call alone and the read handle stays read-only.
  bool WriteSectors(std::uint64_t sector, std::span<const std::uint8_t> buffer, std::uint32_t count);
  bool ReadClusterSector(std::uint64_t cluster, std::span<std::uint8_t> buffer);
  ReadResult ReadClusters(std::uint64_t firstCluster, std::span<std::uint8_t> buffer, std::uint32_t clusters);
  std::uint64_t ClusterOfSector(std::uint64_t sector) const;
  // Volume-relative first sector of a cluster (wraps to an unreadable sector when below 0).
  std::uint64_t ClusterSector(std::uint64_t cluster) const {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(cluster * sectorsPerCluster) + clusterBase);
  }

  // Buffers that live as long as the mounted volume (FAT copy, bitmaps, MFT
  // buffers); freed by Close.
  std::vector<std::uint8_t>& AllocateVolumeBuffer(std::size_t size);
  std::size_t VolumeBufferCount() const { return volumeBuffers_.size(); }

  void Close();

 private:
  void RecordBadSector(std::uint64_t absolute, int error);
  ReadResult ReadLocked(std::uint64_t sector, std::span<std::uint8_t> buffer, std::uint32_t count,
                        std::uint64_t start);

  const ScanFlags& scan_;
  std::unique_ptr<BlockSource> source_;
  ReopenFn reopen_;
  std::mutex deviceLock_;
  std::vector<std::unique_ptr<std::vector<std::uint8_t>>> volumeBuffers_;
};

}  // namespace kestrova
