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
  const IoResult r = ReadAt(offset_, buffer, length);
  offset_ += r.bytes;
  return r;
}

IoResult MemoryBlockSource::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) {
  std::scoped_lock guard(shared_->lock);
  ++shared_->reads;
  IoResult r;
  if (shared_->vanished) {
    r.error = ENODEV;
    return r;
  }
  // The offset part of a positioned read is refused as a seek would be.
  if (shared_->seekError != 0) {
    r.error = shared_->seekError;
    return r;
  }
  const std::uint64_t size = shared_->data.size();
  const std::uint64_t end = offset >= size ? offset : offset + std::min<std::uint64_t>(size - offset, length);
  const std::uint32_t bs = shared_->badSectorSize ? shared_->badSectorSize : 512;
  // A bad sector anywhere in the range fails the call, as a disk would.
  if (!shared_->badSectors.empty() && end > offset) {
    auto it = shared_->badSectors.lower_bound(offset / bs);
    if (it != shared_->badSectors.end() && *it * bs < end) {
      r.error = EIO;
      return r;
    }
  }
  if (end > offset) {
    std::memcpy(buffer, shared_->data.data() + offset, static_cast<std::size_t>(end - offset));
    r.bytes = static_cast<std::size_t>(end - offset);
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
