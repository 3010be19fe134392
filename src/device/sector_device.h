// The one open device (drive, volume or image file), addressed in sectors, with
// the mounted volume's geometry and the read-error policy. Whoever opens a
// device owns its SectorDevice; opening another first closes the current one.
//
// Reads are positioned and may run from any number of threads at once; they
// share no seek state. The geometry is written only by the opener and the mount
// (GeometryForMount) while no worker runs, and read by everyone else through the
// const names below. Read errors are counted in atomics and reported to the
// read-error window after the transfer, with no device lock held.
#pragma once

#include "common/fs_type.h"
#include "device/volume_geometry.h"
#include "device/block_source.h"
#include "device/buffer_pool.h"
#include "device/read_error_window.h"
#include "device/scan_flags.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <vector>

namespace kestrova {

enum ReadResult : int { ReadFailed = 0, ReadOk = 1, ReadNotReady = 3 };

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

  // --- geometry, read-only here (see VolumeGeometry) ---
  const std::uint32_t& sectorSize = geometry_.sectorSize;
  const std::uint64_t& volumeStart = geometry_.volumeStart;
  const std::uint64_t& volumeSectorsHint = geometry_.volumeSectorsHint;
  const std::uint64_t& deviceSectors = geometry_.deviceSectors;
  const std::uint64_t& volumeLastSector = geometry_.volumeLastSector;
  const FsType& fsType = geometry_.fsType;
  const std::uint32_t& sectorsPerCluster = geometry_.sectorsPerCluster;
  const std::uint32_t& bytesPerCluster = geometry_.bytesPerCluster;
  const std::uint64_t& dataStart = geometry_.dataStart;
  const std::int64_t& clusterBase = geometry_.clusterBase;
  const std::uint32_t& lastCluster = geometry_.lastCluster;
  const std::uint32_t& rootCluster = geometry_.rootCluster;
  const std::uint64_t& clusterCount = geometry_.clusterCount;

  const VolumeGeometry& geometry() const { return geometry_; }
  // The only write access to the geometry: for the opener and the mount (and
  // tests that stand in for them), while no other thread reads the device.
  VolumeGeometry& GeometryForMount() { return geometry_; }

  // --- read-error state ---
  std::atomic<std::uint64_t> badSector{0};
  std::atomic<std::uint64_t> badCluster{0};
  std::atomic<std::uint64_t> errorCount{0};
  std::atomic<bool> skipReadErrors{false};
  // The window currently shown for read errors (explorer's or partition search's); may be null.
  // Notified after the transfer, outside every device lock.
  std::atomic<ReadErrorWindow*> readErrorWindow{nullptr};

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
  // ReadSectors that also hands back the absolute sectors that could not be read
  // (a failed run is already retried sector by sector: callers need not read again).
  ReadResult ReadSectors(std::uint64_t sector, std::span<std::uint8_t> buffer, std::uint32_t count,
                         std::vector<std::uint64_t>& unreadable);
  // ReadSectors with volumeStart replaced by start for this call only (the
  // mounted geometry is not touched, so concurrent readers never see it change).
  ReadResult ReadSectorsAt(std::uint64_t sector, std::span<std::uint8_t> buffer, std::uint32_t count,
                           std::uint64_t start);
  // Absolute device sectors, bounded by the device alone and not by the mounted
  // volume: identification and partition listing look outside the mounted volume.
  ReadResult ReadDeviceSectors(std::uint64_t sector, std::span<std::uint8_t> buffer, std::uint32_t count);
  // ReadDeviceSectors that also hands back the absolute sectors that could not be
  // read (their bytes in the buffer are undefined): imaging writes them as zeros and maps them.
  ReadResult ReadDeviceSectors(std::uint64_t sector, std::span<std::uint8_t> buffer, std::uint32_t count,
                               std::vector<std::uint64_t>& unreadable);
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
  struct BadSector {
    std::uint64_t absolute;
    int error;
  };
  void RecordBadSector(std::uint64_t absolute, int error);
  ReadResult ReadRange(std::uint64_t sector, std::span<std::uint8_t> buffer, std::uint32_t count,
                       std::uint64_t start, std::uint64_t lastSector,
                       std::vector<std::uint64_t>* unreadable = nullptr);
  ReadResult Transfer(std::uint64_t absolute, std::span<std::uint8_t> buffer, std::uint32_t count,
                      std::uint64_t sectorSize, std::vector<BadSector>& bad);

  const ScanFlags& scan_;
  VolumeGeometry geometry_;
  std::unique_ptr<BlockSource> source_;
  ReopenFn reopen_;
  // Guards the handle's lifetime: reads share it, open/close/write take it alone.
  std::shared_mutex sourceLock_;
  std::vector<std::unique_ptr<std::vector<std::uint8_t>>> volumeBuffers_;
};

}  // namespace kestrova
