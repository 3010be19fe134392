#include "device/sector_device.h"
#include "common/activity.h"

#include "common/text.h"

#include <cerrno>
#include <limits>

namespace kestrova {

SectorDevice::SectorDevice(const ScanFlags& scan) : scan_(scan) {}

SectorDevice::~SectorDevice() = default;

void SectorDevice::Reset() {
  std::unique_lock guard(sourceLock_);
  source_.reset();
  reopen_ = nullptr;
  volumeBuffers_.clear();
  path.clear();
  physicalDrive = kNoPhysicalDrive;
  driveLetter = '$';
  geometry_ = VolumeGeometry{};
  errorCount = 0;
}

void SectorDevice::Attach(std::unique_ptr<BlockSource> source, ReopenFn reopen) {
  std::unique_lock guard(sourceLock_);
  source_ = std::move(source);
  reopen_ = std::move(reopen);
}

void SectorDevice::Close() { Reset(); }

ReadResult SectorDevice::ReadSectors(std::uint64_t sector, std::span<std::uint8_t> buffer, std::uint32_t count) {
  ActivityMark activity(Fn::ReadSectors);
  return ReadRange(sector, buffer, count, geometry_.volumeStart, geometry_.volumeLastSector);
}

ReadResult SectorDevice::ReadSectors(std::uint64_t sector, std::span<std::uint8_t> buffer, std::uint32_t count,
                                     std::vector<std::uint64_t>& unreadable) {
  ActivityMark activity(Fn::ReadSectors);
  return ReadRange(sector, buffer, count, geometry_.volumeStart, geometry_.volumeLastSector, &unreadable);
}

ReadResult SectorDevice::ReadSectorsAt(std::uint64_t sector, std::span<std::uint8_t> buffer, std::uint32_t count,
                                       std::uint64_t start) {
  ActivityMark activity(Fn::ReadSectorsAt);
  // The start is passed down instead of swapping volumeStart, so a concurrent
  // reader of the mounted volume never sees the temporary value.
  return ReadRange(sector, buffer, count, start, geometry_.volumeLastSector);
}

ReadResult SectorDevice::ReadDeviceSectors(std::uint64_t sector, std::span<std::uint8_t> buffer,
                                           std::uint32_t count) {
  ActivityMark activity(Fn::ReadSectorsAt);
  return ReadRange(sector, buffer, count, 0, kAllOnes);
}

ReadResult SectorDevice::ReadDeviceSectors(std::uint64_t sector, std::span<std::uint8_t> buffer, std::uint32_t count,
                                           std::vector<std::uint64_t>& unreadable) {
  ActivityMark activity(Fn::ReadSectorsAt);
  return ReadRange(sector, buffer, count, 0, kAllOnes, &unreadable);
}

ReadResult SectorDevice::ReadRange(std::uint64_t sector, std::span<std::uint8_t> buffer, std::uint32_t count,
                                   std::uint64_t start, std::uint64_t lastSector,
                                   std::vector<std::uint64_t>* unreadable) {
  if (sector > lastSector) return ReadFailed;
  const std::uint64_t ss = geometry_.sectorSize;
  if (ss == 0 || static_cast<std::uint64_t>(count) * ss > buffer.size()) return ReadFailed;
  // Clip at the end of the volume: the part inside is returned.
  if (count > 0 && lastSector - sector < count - 1u) count = static_cast<std::uint32_t>(lastSector - sector + 1);
  if (count == 0) return ReadOk;
  const std::uint64_t absolute = sector + start;
  if (absolute < sector) return ReadFailed;
  // No clipping at the device end: such a read fails whole.
  const std::uint64_t bound = geometry_.deviceSectors;
  if (absolute > bound || bound - absolute < count) return ReadFailed;
  if (absolute > std::numeric_limits<std::uint64_t>::max() / ss - count) return ReadFailed;

  std::vector<BadSector> bad;
  ReadResult result;
  {
    std::shared_lock guard(sourceLock_);
    result = Transfer(absolute, buffer, count, ss, bad);
  }
  // Reported with no lock held: the window's front end may read the device itself.
  for (const BadSector& b : bad) RecordBadSector(b.absolute, b.error);
  if (unreadable)
    for (const BadSector& b : bad) unreadable->push_back(b.absolute);
  return result;
}

ReadResult SectorDevice::Transfer(std::uint64_t absolute, std::span<std::uint8_t> buffer, std::uint32_t count,
                                  std::uint64_t ss, std::vector<BadSector>& bad) {
  if (!source_) return ReadFailed;
  // One positioned read for the whole run; nothing about the handle's position is shared.
  const IoResult r = source_->ReadAt(absolute * ss, buffer.data(), static_cast<std::size_t>(count * ss));
  if (r.error == 0) return ReadOk;  // a short read at the end of an image still counts
  if (IsDeviceGoneError(r.error)) return ReadNotReady;
  // The offset itself was refused (the failed seek of a seek-and-read): no sector
  // was read, a pass sector by sector would be refused the same, nothing to report.
  if (r.error == EINVAL) return ReadFailed;

  // A single sector that failed is not read again: on a failing drive every try costs seconds.
  if (count == 1) {
    bad.push_back({absolute, r.error});
    return ReadFailed;
  }
  // One pass sector by sector: keep every sector that reads, report the others.
  for (std::uint32_t i = 0; i < count; ++i) {
    const IoResult one = source_->ReadAt((absolute + i) * ss, buffer.data() + i * ss, static_cast<std::size_t>(ss));
    if (one.error == 0) continue;
    if (IsDeviceGoneError(one.error)) return ReadNotReady;
    bad.push_back({absolute + i, one.error});
  }
  return ReadFailed;
}

void SectorDevice::RecordBadSector(std::uint64_t absolute, int error) {
  // The cluster is counted inside the mounted volume, so partitions that do not
  // start at sector 0 show their own cluster numbers.
  const std::uint64_t start = geometry_.volumeStart;
  const std::uint64_t relative = absolute >= start ? absolute - start : 0;
  const std::uint64_t cluster = geometry_.sectorsPerCluster == 0 ? absolute : ClusterOfSector(relative);
  badSector.store(absolute);
  badCluster.store(cluster);
  if (skipReadErrors.load() || scan_.scanPaused()) return;
  const std::uint64_t count = errorCount.fetch_add(1) + 1;
  // This thread's own sector and count, not the shared fields another reader may just have replaced.
  if (ReadErrorWindow* window = readErrorWindow.load()) window->Report(ToUtf16(ErrorText(error)), absolute, cluster, count);
}

bool SectorDevice::WriteSectors(std::uint64_t sector, std::span<const std::uint8_t> buffer, std::uint32_t count) {
  ActivityMark activity(Fn::WriteSectors);
  const std::uint64_t ss = sectorSize;
  const std::uint64_t bytes = static_cast<std::uint64_t>(count) * ss;
  if (count == 0 || bytes > buffer.size() || sector > std::numeric_limits<std::uint64_t>::max() / (ss ? ss : 1))
    return false;
  // A repair never writes past the device's last sector (an image would grow).
  if (deviceSectors != kAllOnes && (sector >= deviceSectors || count > deviceSectors - sector)) return false;
  // Exclusive: a repair runs with no reader, and the handle must not close under the write.
  std::unique_lock guard(sourceLock_);
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
