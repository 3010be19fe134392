// An in-memory device: crafted sectors for tests and fuzzing, with injectable
// unreadable sectors and an injectable "device vanished" state, so the read
// policy can be exercised without a failing disk.
#pragma once

#include "device/block_source.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace kestrova {

class MemoryBlockSource final : public BlockSource {
 public:
  struct Shared {
    std::vector<std::uint8_t> data;
    std::set<std::uint64_t> badSectors;  // sectors of badSectorSize bytes that fail with EIO
    std::uint32_t badSectorSize = 512;
    std::uint32_t logicalSectorSize = 0;  // what the "device" reports; 0 = an image file
    bool vanished = false;                // every call fails with ENODEV
    bool writable = false;
    int seekError = 0;                    // when non-zero, every seek and positioned read fails with it
    std::uint64_t seeks = 0;
    std::uint64_t reads = 0;
    std::uint64_t writes = 0;
    std::mutex lock;
  };

  explicit MemoryBlockSource(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

  int Seek(std::uint64_t offset) override;
  IoResult Read(void* buffer, std::size_t length) override;
  IoResult ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override;
  IoResult Write(const void* buffer, std::size_t length) override;
  int Flush() override { return shared_->vanished ? 19 /*ENODEV*/ : 0; }
  std::uint64_t ByteLength() override;
  std::uint32_t LogicalSectorSize() override { return shared_->logicalSectorSize; }
  bool Writable() const override { return shared_->writable; }

 private:
  std::shared_ptr<Shared> shared_;
  std::uint64_t offset_ = 0;
};

}  // namespace kestrova
