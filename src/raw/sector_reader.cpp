#include "raw/sector_reader.h"

#include "device/sector_device.h"

#include <algorithm>
#include <cstring>

namespace kestrova {

void MemorySectorReader::Read(std::uint64_t sector, std::uint32_t count, std::span<std::uint8_t> out) {
  const std::size_t want = std::min<std::size_t>(out.size(), static_cast<std::size_t>(count) * sectorSize_);
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(want), std::uint8_t{0});
  if (sector < firstSector_ || sectorSize_ == 0) return;
  const std::uint64_t rel = sector - firstSector_;
  if (rel > bytes_.size() / sectorSize_) return;
  const std::size_t offset = static_cast<std::size_t>(rel) * sectorSize_;
  const std::size_t n = std::min(want, bytes_.size() - offset);
  if (n) std::memcpy(out.data(), bytes_.data() + offset, n);
}

void DeviceSectorReader::Read(std::uint64_t sector, std::uint32_t count, std::span<std::uint8_t> out) {
  const std::size_t want = std::min<std::size_t>(out.size(), static_cast<std::size_t>(count) * device_.sectorSize);
  if (device_.sectorSize == 0 || want == 0) return;
  const auto whole = static_cast<std::uint32_t>(want / device_.sectorSize);
  // A read clipped at the volume end leaves the rest of the buffer as it was:
  // zeros, not an earlier read-ahead's bytes, must follow the volume.
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(want), std::uint8_t{0});
  if (device_.ReadSectors(sector, out.first(whole * static_cast<std::size_t>(device_.sectorSize)), whole) != ReadOk)
    std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(want), std::uint8_t{0});
}

}  // namespace kestrova
