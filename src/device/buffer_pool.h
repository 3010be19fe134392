// Page-aligned work buffers, allocated once and kept for the run so that reads
// of any sector size from a raw device never need bounce buffers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrova {

class AlignedBuffer {
 public:
  AlignedBuffer() = default;
  explicit AlignedBuffer(std::size_t size);
  ~AlignedBuffer();
  AlignedBuffer(AlignedBuffer&& other) noexcept;
  AlignedBuffer& operator=(AlignedBuffer&& other) noexcept;
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::span<std::uint8_t> span() { return {data_, size_}; }
  // Reallocates to size (contents are not kept). Returns false when memory ran out.
  bool Resize(std::size_t size);

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

class BufferPool {
 public:
  static constexpr std::size_t kInitialTransferUnit = 0x200000;  // 2 MiB before any mount
  static constexpr std::size_t kMountedTransferUnit = 0x100000;  // 1 MiB for clusters up to 1 MiB
  static constexpr std::size_t kBulkSize = 0x200000 + 0x40000;   // 2 MiB + 256 KiB
  static constexpr std::size_t kClusterBufferSize = 0x100000;
  static constexpr std::size_t kMaxClusterBytes = 32u << 20;     // largest cluster any reader accepts
  static constexpr std::size_t kSectorBufferSize = 16 * 1024;
  static constexpr std::size_t kSectorBufferCount = 8;

  BufferPool();

  // Sizes the transfer unit for a mounted cluster size: the cluster itself when it
  // is larger than the cluster buffer, else 1 MiB. The cluster buffer and two of
  // the bulk buffers follow the unit. Returns false (and keeps the old buffers)
  // for a cluster size beyond kMaxClusterBytes or when memory ran out.
  bool ResizeForCluster(std::size_t bytesPerCluster);

  std::size_t transferUnit() const { return transferUnit_; }
  AlignedBuffer& bulk(std::size_t i) { return bulk_.at(i); }
  AlignedBuffer& bootSector() { return bulk_[3]; }
  AlignedBuffer& cluster() { return cluster_; }
  AlignedBuffer& medium(std::size_t i) { return medium_.at(i); }  // the two 640 KiB buffers
  AlignedBuffer& small64() { return small64_; }
  AlignedBuffer& small32() { return small32_; }
  AlignedBuffer& sector(std::size_t i) { return sectors_.at(i); }

 private:
  std::size_t transferUnit_ = kInitialTransferUnit;
  std::array<AlignedBuffer, 4> bulk_;
  AlignedBuffer cluster_;
  std::array<AlignedBuffer, 2> medium_;
  AlignedBuffer small64_;
  AlignedBuffer small32_;
  std::vector<AlignedBuffer> sectors_;
};

}  // namespace kestrova
