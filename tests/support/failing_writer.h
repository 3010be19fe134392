// A block source that fails its n-th write call (counted over every reopen, so
// a repair that reopens the device for each write is still caught at the n-th).
#pragma once

#include "device/block_source.h"

#include <memory>

namespace kestrova::test {

class FailingWriter : public BlockSource {
 public:
  FailingWriter(std::unique_ptr<BlockSource> inner, std::shared_ptr<int> calls, int failAt)
      : inner_(std::move(inner)), calls_(std::move(calls)), failAt_(failAt) {}
  int Seek(std::uint64_t offset) override { return inner_->Seek(offset); }
  IoResult Read(void* b, std::size_t n) override { return inner_->Read(b, n); }
  IoResult ReadAt(std::uint64_t o, void* b, std::size_t n) override { return inner_->ReadAt(o, b, n); }
  IoResult Write(const void* b, std::size_t n) override {
    if (++*calls_ == failAt_) return IoResult{5 /*EIO*/, 0};
    return inner_->Write(b, n);
  }
  int Flush() override { return inner_->Flush(); }
  std::uint64_t ByteLength() override { return inner_->ByteLength(); }
  std::uint32_t LogicalSectorSize() override { return inner_->LogicalSectorSize(); }
  bool Writable() const override { return inner_->Writable(); }

 private:
  std::unique_ptr<BlockSource> inner_;
  std::shared_ptr<int> calls_;
  int failAt_;
};

}  // namespace kestrova::test
