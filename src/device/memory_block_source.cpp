#include "device/memory_block_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrova {

int MemoryBlockSource::Seek(std::uint64_t offset) {
  std::scoped_lock guard(shared_->lock);
  ++shared_->seeks;
  if (shared_->vanished) return ENODEV;
  if (shared_->seekError != 0) return shared_->seekError;
  offset_ = offset;
  return 0;
}

IoResult MemoryBlockSource::Read(void* buffer, std::size_t length) {
  std::scoped_lock guard(shared_->lock);
  ++shared_->reads;
  IoResult r;
  if (shared_->vanished) {
    r.error = ENODEV;
    return r;
  }
  const std::uint64_t size = shared_->data.size();
  const std::uint64_t end = offset_ >= size ? offset_ : std::min<std::uint64_t>(size, offset_ + length);
  const std::uint32_t bs = shared_->badSectorSize ? shared_->badSectorSize : 512;
  // A bad sector anywhere in the range fails the call, as a disk would.
  if (!shared_->badSectors.empty() && end > offset_) {
    auto it = shared_->badSectors.lower_bound(offset_ / bs);
    if (it != shared_->badSectors.end() && *it * bs < end) {
      r.error = EIO;
      return r;
    }
  }
  if (end > offset_) {
    std::memcpy(buffer, shared_->data.data() + offset_, static_cast<std::size_t>(end - offset_));
    r.bytes = static_cast<std::size_t>(end - offset_);
    offset_ = end;
  }
  return r;
}

IoResult MemoryBlockSource::Write(const void* buffer, std::size_t length) {
  std::scoped_lock guard(shared_->lock);
  ++shared_->writes;
  IoResult r;
  if (shared_->vanished) {
    r.error = ENODEV;
    return r;
  }
  if (!shared_->writable) {
    r.error = EBADF;
    return r;
  }
  if (offset_ + length > shared_->data.size()) shared_->data.resize(static_cast<std::size_t>(offset_ + length));
  std::memcpy(shared_->data.data() + offset_, buffer, length);
  offset_ += length;
  r.bytes = length;
  return r;
}

std::uint64_t MemoryBlockSource::ByteLength() {
  std::scoped_lock guard(shared_->lock);
  return shared_->data.size();
}

}  // namespace kestrova
