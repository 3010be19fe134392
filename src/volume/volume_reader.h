// Byte-addressed reads inside a volume that starts at an absolute device sector,
// independent of the mounted geometry and its bounds: identification and the
// partition listing read through it while a volume may be mounted.
#pragma once

#include "device/sector_device.h"

#include <cstdint>
#include <span>
#include <vector>

namespace kestrova {

class VolumeReader {
 public:
  static constexpr std::size_t kMaxRead = 1u << 20;  // bounds every read a boot sector can ask for

  VolumeReader(SectorDevice& device, std::uint64_t start) : device_(device), start_(start) {}

  std::uint64_t start() const { return start_; }
  void set_start(std::uint64_t start) { start_ = start; }
  // Reads out.size() bytes at byteOffset from the volume start. False when any
  // covering sector is unreadable, out of range, or the request is too large.
  bool Read(std::uint64_t byteOffset, std::span<std::uint8_t> out);
  // One device sector at an absolute sector number.
  bool ReadSector(std::uint64_t absoluteSector, std::vector<std::uint8_t>& out);

 private:
  SectorDevice& device_;
  std::uint64_t start_;
};

}  // namespace kestrova
