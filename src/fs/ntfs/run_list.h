// NTFS run lists (mapping pairs): decoding, lengths and the virtual-to-disk
// cluster mapping. Run lists come from disk: decoding is bounded by the bytes
// given and by a run count, and stops at the first malformed header.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrova {

struct DataRun {
  std::uint64_t vcn = 0;     // first virtual cluster of the run
  std::uint64_t length = 0;  // clusters
  std::int64_t lcn = 0;      // first cluster on disk (meaningless when sparse)
  bool sparse = false;
};

inline constexpr std::size_t kMaxRuns = 1 << 16;
// Above any real volume (2^48 clusters); keeps cluster arithmetic from overflowing.
inline constexpr std::int64_t kMaxCluster = std::int64_t{1} << 48;

// Walks a run list run by run, decoding as it goes. A copy is a saved state:
// look ahead on a copy and carry on from the original.
class RunCursor {
 public:
  static constexpr std::uint64_t kUnitClusters = 16;  // compression unit
  explicit RunCursor(std::span<const std::uint8_t> runList) : list(runList) {}
  // Advances to the next run; false at the end (or at a malformed run).
  bool NextRun();

  // The current run.
  std::uint64_t vcn = 0;
  std::uint64_t length = 0;
  std::int64_t lcn = 0;  // meaningless when sparse
  bool sparse = false;
  // When a sparse run follows this data run: its length, and whether this
  // run ends inside a compression unit (the unit is compressed).
  std::uint64_t followingSparse = 0;
  bool compressedUnit = false;

 private:
  bool Step(DataRun& out, std::size_t& at, std::int64_t& base, std::uint64_t& nextVcn) const;
  std::span<const std::uint8_t> list;
  std::size_t pos = 0;
  std::int64_t lcnBase = 0;
  std::uint64_t endVcn = 0;
  std::size_t runs = 0;
};

// Decodes runs until the terminating 0 (or the end of the bytes). Runs whose
// cluster would be negative end the list.
std::vector<DataRun> DecodeRuns(std::span<const std::uint8_t> runList);

// Byte length of the run list up to and including its terminating 0, and the
// sum of all offsets (the last run's cluster).
struct RunListSize {
  std::size_t bytes = 0;
  std::int64_t lastCluster = 0;
};
RunListSize RunListLength(std::span<const std::uint8_t> runList);
std::uint64_t RunsTotalClusters(std::span<const std::uint8_t> runList);
// The first run's offset bytes as an unsigned number (its absolute first cluster).
std::uint64_t FirstRunCluster(std::span<const std::uint8_t> runList);
// Clusters needed for `bytes`, bounded by the runs.
std::uint64_t ClustersForBytes(std::span<const std::uint8_t> runList, std::uint64_t bytes, std::uint32_t bytesPerCluster);

// The cluster holding a virtual cluster and the clusters left in its run;
// nothing beyond the list. A sparse run gives lcn -1.
struct RunPosition {
  std::int64_t lcn = -1;
  std::uint64_t left = 0;
};
std::optional<RunPosition> RunLookup(const std::vector<DataRun>& runs, std::uint64_t vcn);

}  // namespace kestrova
