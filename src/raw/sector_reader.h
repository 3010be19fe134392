// Where the RAW scan's read-ahead gets the sectors behind a window: the sector
// device in a scan, memory in tests and fuzzing.
#pragma once

#include <cstdint>
#include <span>

namespace kestrova {

class SectorDevice;

class RawSectorReader {
 public:
  virtual ~RawSectorReader() = default;
  // Fills out (count sectors) from the volume-relative sector. Sectors that
  // cannot be read come back as zeros: measure routines treat the result as
  // data either way, and zeros end every walk.
  virtual void Read(std::uint64_t sector, std::uint32_t count, std::span<std::uint8_t> out) = 0;
};

// Sectors held in memory, the first at firstSector; everything else reads as zeros.
class MemorySectorReader : public RawSectorReader {
 public:
  MemorySectorReader(std::span<const std::uint8_t> bytes, std::uint32_t sectorSize, std::uint64_t firstSector = 0)
      : bytes_(bytes), sectorSize_(sectorSize), firstSector_(firstSector) {}
  void Read(std::uint64_t sector, std::uint32_t count, std::span<std::uint8_t> out) override;

 private:
  std::span<const std::uint8_t> bytes_;
  std::uint32_t sectorSize_;
  std::uint64_t firstSector_;
};

// The open device through its read-error policy.
class DeviceSectorReader : public RawSectorReader {
 public:
  explicit DeviceSectorReader(SectorDevice& device) : device_(device) {}
  void Read(std::uint64_t sector, std::uint32_t count, std::span<std::uint8_t> out) override;

 private:
  SectorDevice& device_;
};

}  // namespace kestrova
