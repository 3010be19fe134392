#include "device/sector_device.h"
#include "common/activity.h"

#include "common/text.h"

#include <cerrno>
#include <limits>

namespace kestrova {

SectorDevice::SectorDevice(const ScanFlags& scan) : scan_(scan) {}

SectorDevice::~SectorDevice() = default;

void SectorDevice::Reset() {
  std::scoped_lock guard(deviceLock_);
  source_.reset();
  reopen_ = nullptr;
  volumeBuffers_.clear();
  path.clear();
  physicalDrive = kNoPhysicalDrive;
  driveLetter = '$';
  sectorSize = 512;
  volumeStart = 0;
  volumeSectorsHint = 0;
  deviceSectors = kAllOnes;
  volumeLastSector = kAllOnes;
  position = kAllOnes;
  fsType = FsType::None;
  sectorsPerCluster = bytesPerCluster = lastCluster = rootCluster = 0;
  dataStart = 0;
  clusterBase = 0;
  clusterCount = 0;
  errorCount = 0;
}

void SectorDevice::Attach(std::unique_ptr<BlockSource> source, ReopenFn reopen) {
  std::scoped_lock guard(deviceLock_);
  source_ = std::move(source);
  reopen_ = std::move(reopen);
  position = kAllOnes;
}

void SectorDevice::Close() { Reset(); }

ReadResult SectorDevice::ReadSectors(std::uint64_t sector, std::span<std::uint8_t> buffer, std::uint32_t count) {
  ActivityMark activity(Fn::ReadSectors);
  return ReadLocked(sector, buffer, count, volumeStart);
}

ReadResult SectorDevice::ReadSectorsAt(std::uint64_t sector, std::span<std::uint8_t> buffer, std::uint32_t count,
                                       std::uint64_t start) {
  ActivityMark activity(Fn::ReadSectorsAt);
  // The start is passed down instead of swapping volumeStart, so a concurrent
  // reader of the mounted volume never sees the temporary value.
  return ReadLocked(sector, buffer, count, start);
}

ReadResult SectorDevice::ReadLocked(std::uint64_t sector, std::span<std::uint8_t> buffer, std::uint32_t count,
                                    std::uint64_t start) {
  if (sector > volumeLastSector) return ReadFailed;
  const std::uint64_t ss = sectorSize;
  if (ss == 0 || static_cast<std::uint64_t>(count) * ss > buffer.size()) return ReadFailed;
  // Clip at the end of the volume: the part inside is returned.
  if (count > 0 && volumeLastSector - sector < count - 1u)
    count = static_cast<std::uint32_t>(volumeLastSector - sector + 1);
  if (count == 0) return ReadOk;
  const std::uint64_t absolute = sector + start;
  if (absolute < sector) return ReadFailed;
  // No clipping at the device end: such a read fails whole.
  if (absolute > deviceSectors || deviceSectors - absolute < count) return ReadFailed;
  if (absolute > std::numeric_limits<std::uint64_t>::max() / ss - count) return ReadFailed;

  std::scoped_lock guard(deviceLock_);
  if (!source_) return ReadFailed;
  const std::uint64_t offset = absolute * ss;
  if (position != offset) {
    if (source_->Seek(offset) != 0) {
      position = kAllOnes;
      return ReadFailed;
    }
  }
  position = offset;
  const std::size_t bytes = static_cast<std::size_t>(count * ss);
  const IoResult r = source_->Read(buffer.data(), bytes);
  if (r.error == 0) {
    position += r.bytes;
    return ReadOk;
  }
  position = kAllOnes;
  if (IsDeviceGoneError(r.error)) return ReadNotReady;

  // One pass sector by sector: keep every sector that reads, report the others.
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t at = (absolute + i) * ss;
    int error = source_->Seek(at);
    if (error == 0) {
      const IoResult one = source_->Read(buffer.data() + i * ss, static_cast<std::size_t>(ss));
      error = one.error;
    }
    if (error == 0) continue;
    if (IsDeviceGoneError(error)) {
      position = kAllOnes;
      return ReadNotReady;
    }
    RecordBadSector(absolute + i, error);
  }
  position = kAllOnes;
  return ReadFailed;
}

void SectorDevice::RecordBadSector(std::uint64_t absolute, int error) {
  badSector = absolute;
  // The cluster is counted inside the mounted volume, so partitions that do not
  // start at sector 0 show their own cluster numbers.
  const std::uint64_t relative = absolute >= volumeStart ? absolute - volumeStart : 0;
  badCluster = sectorsPerCluster == 0 ? absolute : ClusterOfSector(relative);
  if (skipReadErrors.load() || scan_.scanPaused()) return;
  const std::uint64_t count = ++errorCount;
  if (readErrorWindow) readErrorWindow->Report(ToUtf16(ErrorText(error)), badSector.load(), badCluster.load(), count);
}

bool SectorDevice::WriteSectors(std::uint64_t sector, std::span<const std::uint8_t> buffer, std::uint32_t count) {
  ActivityMark activity(Fn::WriteSectors);
  const std::uint64_t ss = sectorSize;
  const std::uint64_t bytes = static_cast<std::uint64_t>(count) * ss;
  if (count == 0 || bytes > buffer.size() || sector > std::numeric_limits<std::uint64_t>::max() / (ss ? ss : 1))
    return false;
  // A repair never writes past the device's last sector (an image would grow).
  if (deviceSectors != kAllOnes && (sector >= deviceSectors || count > deviceSectors - sector)) return false;
  std::scoped_lock guard(deviceLock_);
  if (!source_) return false;
  // Reads never hold a writable handle; a repair opens one for this write alone.
  std::unique_ptr<BlockSource> writer;
  BlockSource* target = source_.get();
  if (!target->Writable()) {
    int error = 0;
    if (!reopen_) return false;
    writer = reopen_(true, error);
    if (!writer) return false;
    target = writer.get();
  }
  position = kAllOnes;
  if (target->Seek(sector * ss) != 0) return false;
  const IoResult r = target->Write(buffer.data(), static_cast<std::size_t>(bytes));
  if (r.error != 0 || r.bytes != bytes) return false;
  return target->Flush() == 0;
}

bool SectorDevice::ReadClusterSector(std::uint64_t cluster, std::span<std::uint8_t> buffer) {
  if (sectorsPerCluster == 0) return false;
  return ReadSectors(ClusterSector(cluster), buffer, 1) == ReadOk;
}

ReadResult SectorDevice::ReadClusters(std::uint64_t firstCluster, std::span<std::uint8_t> buffer,
                                      std::uint32_t clusters) {
  if (sectorsPerCluster == 0) return ReadFailed;
  const std::uint64_t sectors = static_cast<std::uint64_t>(clusters) * sectorsPerCluster;
  if (sectors > std::numeric_limits<std::uint32_t>::max()) return ReadFailed;
  return ReadSectors(ClusterSector(firstCluster), buffer, static_cast<std::uint32_t>(sectors));
}

std::uint64_t SectorDevice::ClusterOfSector(std::uint64_t sector) const {
  if (sectorsPerCluster == 0 || static_cast<std::int64_t>(sector) <= clusterBase) return 0;
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(sector) - clusterBase) / sectorsPerCluster;
}

std::vector<std::uint8_t>& SectorDevice::AllocateVolumeBuffer(std::size_t size) {
  volumeBuffers_.push_back(std::make_unique<std::vector<std::uint8_t>>(size));
  return *volumeBuffers_.back();
}

}  // namespace kestrova
