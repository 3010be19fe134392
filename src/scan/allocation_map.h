// What is known about every cluster of the mounted volume, four bits each:
// 1 allocated in the file system's table or bitmap, 3 the first cluster of a
// found entry (deleted, verified folder, file found by its header), 4 the
// first cluster of a file found as text. Marks are ORed in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrova {

namespace cluster_mark {
inline constexpr std::uint8_t kAllocated = 1;
inline constexpr std::uint8_t kFoundStart = 3;
inline constexpr std::uint8_t kTextStart = 4;
}  // namespace cluster_mark

class AllocationMap {
 public:
  // A map for clusters 0..lastCluster (its byte length is fixed from here on).
  // False when the memory cannot be had; the map is then absent.
  bool Create(std::uint64_t lastCluster);
  void Release() { std::vector<std::uint8_t>().swap(bytes_); }
  bool present() const { return !bytes_.empty(); }

  // ORs value into the cluster's nibble; clusters beyond the map are ignored.
  void Mark(std::uint64_t cluster, std::uint8_t value);
  // The cluster's nibble, or 0 without a map or beyond it.
  std::uint8_t Get(std::uint64_t cluster) const;

  std::span<const std::uint8_t> bytes() const { return bytes_; }
  // Restores a stored map. A stored map of another length is refused (false),
  // so a session of a different volume can never write past this one.
  bool Load(std::span<const std::uint8_t> stored);

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace kestrova
