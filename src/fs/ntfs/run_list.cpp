#include "fs/ntfs/run_list.h"

namespace kestrova {
namespace {

struct RawRun {
  std::size_t next = 0;  // offset after the run
  std::uint64_t length = 0;
  std::int64_t offset = 0;
  unsigned offsetBytes = 0;
  bool ok = false;
};

// One run at `at`; not ok at the terminator, a truncated run or a run of more than 8-byte fields.
RawRun ReadRun(std::span<const std::uint8_t> r, std::size_t at) {
  RawRun run;
  if (at >= r.size() || r[at] == 0) return run;
  const unsigned lengthBytes = r[at] & 0x0F, offsetBytes = r[at] >> 4;
  if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8 || at + 1 + lengthBytes + offsetBytes > r.size()) return run;
  std::size_t p = at + 1;
  for (unsigned i = 0; i < lengthBytes; ++i) run.length |= std::uint64_t{r[p + i]} << (8 * i);
  p += lengthBytes;
  std::uint64_t raw = 0;
  for (unsigned i = 0; i < offsetBytes; ++i) raw |= std::uint64_t{r[p + i]} << (8 * i);
  if (offsetBytes > 0 && offsetBytes < 8 && (r[p + offsetBytes - 1] & 0x80)) raw |= ~0ull << (8 * offsetBytes);
  run.offset = static_cast<std::int64_t>(raw);
  run.offsetBytes = offsetBytes;
  run.next = p + offsetBytes;
  run.ok = true;
  return run;
}

}  // namespace

bool RunCursor::Step(DataRun& out, std::size_t& at, std::int64_t& base, std::uint64_t& nextVcn) const {
  const RawRun raw = ReadRun(list, at);
  if (!raw.ok || raw.length == 0) return false;
  // Hostile lengths: no run may reach past the largest cluster number.
  if (raw.length > static_cast<std::uint64_t>(kMaxCluster) ||
      nextVcn + raw.length > static_cast<std::uint64_t>(kMaxCluster))
    return false;
  out = DataRun{};
  out.vcn = nextVcn;
  out.length = raw.length;
  out.sparse = raw.offsetBytes == 0;
  if (!out.sparse) {
    std::int64_t first = 0;
    if (__builtin_add_overflow(base, raw.offset, &first) || first < 0 || first > kMaxCluster) return false;
    out.lcn = base = first;
  }
  nextVcn += raw.length;
  at = raw.next;
  return true;
}

bool RunCursor::NextRun() {
  if (runs >= kMaxRuns) return false;
  DataRun run;
  if (!Step(run, pos, lcnBase, endVcn)) return false;
  ++runs;
  vcn = run.vcn;
  length = run.length;
  lcn = run.lcn;
  sparse = run.sparse;
  // Look ahead without moving: a sparse run after a data run that does not
  // fill its compression unit makes that unit compressed.
  followingSparse = 0;
  compressedUnit = false;
  DataRun next;
  std::size_t aheadPos = pos;
  std::int64_t aheadBase = lcnBase;
  std::uint64_t aheadVcn = endVcn;
  if (!sparse && Step(next, aheadPos, aheadBase, aheadVcn) && next.sparse) {
    followingSparse = next.length;
    compressedUnit = endVcn % kUnitClusters != 0;
  }
  return true;
}

std::vector<DataRun> DecodeRuns(std::span<const std::uint8_t> r) {
  std::vector<DataRun> runs;
  RunCursor cursor(r);
  while (cursor.NextRun()) runs.push_back(DataRun{cursor.vcn, cursor.length, cursor.lcn, cursor.sparse});
  return runs;
}

RunListSize RunListLength(std::span<const std::uint8_t> r) {
  RunListSize size;
  std::size_t at = 0;
  for (std::size_t n = 0; n < kMaxRuns; ++n) {
    const RawRun raw = ReadRun(r, at);
    if (!raw.ok) break;
    // An overflowing sum keeps its last good value; the length still counts.
    std::int64_t sum = 0;
    if (!__builtin_add_overflow(size.lastCluster, raw.offset, &sum)) size.lastCluster = sum;
    at = raw.next;
  }
  size.bytes = at < r.size() ? at + 1 : at;
  return size;
}

std::uint64_t RunsTotalClusters(std::span<const std::uint8_t> r) {
  std::uint64_t total = 0;
  for (const DataRun& run : DecodeRuns(r)) total += run.length;
  return total;
}

std::uint64_t FirstRunCluster(std::span<const std::uint8_t> r) {
  const RawRun raw = ReadRun(r, 0);
  if (!raw.ok || raw.offsetBytes == 0) return 0;
  std::uint64_t value = 0;
  const std::size_t p = 1 + (r[0] & 0x0F);
  for (unsigned i = 0; i < raw.offsetBytes; ++i) value |= std::uint64_t{r[p + i]} << (8 * i);
  return value;
}

std::uint64_t ClustersForBytes(std::span<const std::uint8_t> r, std::uint64_t bytes, std::uint32_t bytesPerCluster) {
  if (bytesPerCluster == 0) return 0;
  const std::uint64_t needed = (bytes + bytesPerCluster - 1) / bytesPerCluster;
  const std::uint64_t total = RunsTotalClusters(r);
  return needed < total ? needed : total;
}

std::optional<RunPosition> RunLookup(const std::vector<DataRun>& runs, std::uint64_t vcn) {
  for (const DataRun& run : runs) {
    if (vcn < run.vcn || vcn >= run.vcn + run.length) continue;
    RunPosition p;
    p.left = run.vcn + run.length - vcn;
    p.lcn = run.sparse ? -1 : run.lcn + static_cast<std::int64_t>(vcn - run.vcn);
    return p;
  }
  return std::nullopt;
}

}  // namespace kestrova
