#include "device/buffer_pool.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>

namespace kestrova {
namespace {

std::size_t PageSize() {
  const long page = ::sysconf(_SC_PAGESIZE);
  return page > 0 ? static_cast<std::size_t>(page) : 4096;
}

std::uint8_t* AllocateAligned(std::size_t size) {
  void* p = nullptr;
  if (::posix_memalign(&p, PageSize(), size == 0 ? 1 : size) != 0) return nullptr;
  std::memset(p, 0, size);
  return static_cast<std::uint8_t*>(p);
}

}  // namespace

AlignedBuffer::AlignedBuffer(std::size_t size) : data_(AllocateAligned(size)), size_(data_ ? size : 0) {
  if (!data_) throw std::bad_alloc();
}

AlignedBuffer::~AlignedBuffer() { std::free(data_); }

AlignedBuffer::AlignedBuffer(AlignedBuffer&& other) noexcept : data_(other.data_), size_(other.size_) {
  other.data_ = nullptr;
  other.size_ = 0;
}

AlignedBuffer& AlignedBuffer::operator=(AlignedBuffer&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = other.data_;
    size_ = other.size_;
    other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

bool AlignedBuffer::Resize(std::size_t size) {
  if (size == size_ && data_) return true;
  std::uint8_t* fresh = AllocateAligned(size);
  if (!fresh) return false;
  std::free(data_);
  data_ = fresh;
  size_ = size;
  return true;
}

BufferPool::BufferPool()
    : bulk_{AlignedBuffer(kBulkSize), AlignedBuffer(kBulkSize), AlignedBuffer(kBulkSize), AlignedBuffer(kBulkSize)},
      cluster_(kClusterBufferSize),
      medium_{AlignedBuffer(640 * 1024), AlignedBuffer(640 * 1024)},
      small64_(64 * 1024),
      small32_(32 * 1024) {
  sectors_.reserve(kSectorBufferCount);
  for (std::size_t i = 0; i < kSectorBufferCount; ++i) sectors_.emplace_back(kSectorBufferSize);
}

bool BufferPool::ResizeForCluster(std::size_t bytesPerCluster) {
  if (bytesPerCluster == 0 || bytesPerCluster > kMaxClusterBytes) return false;
  // Compared with the cluster buffer's built-in size, not its current one, so the
  // unit depends on this volume only and not on what was mounted before.
  const std::size_t unit = bytesPerCluster > kClusterBufferSize ? bytesPerCluster : kMountedTransferUnit;
  // Allocate all three first so a failure leaves a consistent pool.
  AlignedBuffer c, b0, b1;
  try {
    c = AlignedBuffer(unit);
    b0 = AlignedBuffer(unit);
    b1 = AlignedBuffer(unit);
  } catch (const std::bad_alloc&) {
    return false;
  }
  cluster_ = std::move(c);
  bulk_[0] = std::move(b0);
  bulk_[1] = std::move(b1);
  transferUnit_ = unit;
  return true;
}

}  // namespace kestrova
