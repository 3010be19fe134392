#include "volume/volume_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace kestrova {

bool VolumeReader::Read(std::uint64_t byteOffset, std::span<std::uint8_t> out) {
  const std::uint64_t ss = device_.sectorSize ? device_.sectorSize : 512;
  if (out.empty()) return true;
  if (out.size() > kMaxRead) return false;
  if (byteOffset > std::numeric_limits<std::uint64_t>::max() - out.size()) return false;
  const std::uint64_t first = byteOffset / ss;
  const std::uint64_t last = (byteOffset + out.size() - 1) / ss;
  if (start_ > std::numeric_limits<std::uint64_t>::max() - last) return false;
  const std::uint64_t count = last - first + 1;
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(count * ss));
  if (device_.ReadDeviceSectors(start_ + first, buf, static_cast<std::uint32_t>(count)) != ReadOk) return false;
  std::memcpy(out.data(), buf.data() + (byteOffset - first * ss), out.size());
  return true;
}

bool VolumeReader::ReadSector(std::uint64_t absoluteSector, std::vector<std::uint8_t>& out) {
  const std::size_t ss = std::max<std::size_t>(device_.sectorSize, 512);
  out.assign(ss, 0);
  return device_.ReadDeviceSectors(absoluteSector, out, 1) == ReadOk;
}

}  // namespace kestrova
