// The OS side of a device: one open drive, volume or image file. The sector
// device keeps all policy (bounds, error handling); a source only moves bytes
// and reports errno values. ReadAt may be called from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kestrova {

struct IoResult {
  int error = 0;           // 0, or an errno value
  std::size_t bytes = 0;   // bytes transferred before the error or the end of data
};

class BlockSource {
 public:
  virtual ~BlockSource() = default;
  // Positions the handle. Returns 0 or an errno value.
  virtual int Seek(std::uint64_t offset) = 0;
  // Reads at the current position and advances it by the bytes read. A read that
  // meets the end of the data returns error 0 with fewer bytes.
  virtual IoResult Read(void* buffer, std::size_t length) = 0;
  // Reads at offset without using or moving the position (pread): safe from
  // several threads at once. A read that meets the end of the data returns error
  // 0 with fewer bytes.
  virtual IoResult ReadAt(std::uint64_t offset, void* buffer, std::size_t length) = 0;
  virtual IoResult Write(const void* buffer, std::size_t length) = 0;
  virtual int Flush() = 0;
  // Total byte length; 0 when it cannot be told.
  virtual std::uint64_t ByteLength() = 0;
  // Logical sector size reported by the device; 0 when unknown (image files).
  virtual std::uint32_t LogicalSectorSize() = 0;
  virtual bool Writable() const = 0;
};

// errno values that mean the device itself is gone (unplugged, medium removed):
// reads then stop instead of retrying sector by sector.
bool IsDeviceGoneError(int error);

// The system's text for an errno value.
std::string ErrorText(int error);

}  // namespace kestrova
