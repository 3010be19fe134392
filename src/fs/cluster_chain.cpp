#include "fs/cluster_chain.h"

#include "common/activity.h"

#include <algorithm>
#include <unordered_set>

namespace kestrova {
namespace {

// Clusters that hold `bytes`, without the wrap of adding a cluster less one
// to a size near 2^64 (a hostile directory entry).
std::uint64_t CeilClusters(std::uint64_t bytes, std::uint64_t bytesPerCluster) {
  return bytes / bytesPerCluster + (bytes % bytesPerCluster != 0 ? 1 : 0);
}

std::uint32_t ClustersPerPiece(const ClusterChainView& v) {
  const std::uint64_t unit = std::max<std::uint64_t>(v.device.buffers.transferUnit(), v.bytesPerCluster);
  return static_cast<std::uint32_t>(std::max<std::uint64_t>(1, unit / v.bytesPerCluster));
}

// Reads the clusters into a zeroed buffer. Sectors that cannot be read (bad,
// or past the end of a truncated image) stay zeros, never bytes of an earlier
// piece; false when there were any.
bool ReadPiece(SectorDevice& d, std::uint32_t first, std::span<std::uint8_t> buffer, std::uint32_t clusters) {
  std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
  const std::uint64_t ss = d.sectorSize;
  if (ss == 0 || d.sectorsPerCluster == 0) return false;
  const std::uint64_t sector = d.ClusterSector(first);
  const std::uint64_t count = std::uint64_t{clusters} * d.sectorsPerCluster;
  // The device refuses a read that crosses its end as a whole: read the part before it.
  std::uint64_t readable = count;
  if (sector > d.volumeLastSector) readable = 0;
  else readable = std::min(readable, d.volumeLastSector - sector + 1);
  const std::uint64_t absolute = sector + d.volumeStart;
  if (absolute < sector || absolute >= d.deviceSectors) readable = 0;
  else readable = std::min(readable, d.deviceSectors - absolute);
  readable = std::min<std::uint64_t>(readable, buffer.size() / ss);
  bool ok = readable == count;
  if (readable > 0)
    ok = d.ReadSectors(sector, buffer.first(static_cast<std::size_t>(readable * ss)), static_cast<std::uint32_t>(readable)) ==
             ReadOk && ok;
  return ok;
}

bool ReadAndWrite(const ClusterChainView& v, std::uint32_t first, std::uint32_t clusters,
                  std::vector<std::uint8_t>& buffer, OutputSink& sink) {
  const std::size_t bytes = std::size_t{clusters} * v.bytesPerCluster;
  buffer.resize(bytes);
  // Unreadable sectors follow the device's read-error policy and are written
  // as zeros; the file is then reported incomplete.
  if (!ReadPiece(v.device, first, std::span(buffer).subspan(0, bytes), clusters)) sink.NoteUnreadable();
  return sink.WriteChunk(std::span<const std::uint8_t>(buffer).subspan(0, bytes));
}

// A deleted file: contiguous clusters from the first one.
bool WriteContiguous(const ClusterChainView& v, std::uint32_t first, OutputSink& sink, const RecoveryControl& control) {
  if (first < 2 || first > v.lastCluster) return sink.remaining() == 0;
  const std::uint32_t piece = ClustersPerPiece(v);
  std::vector<std::uint8_t> buffer;
  std::uint64_t c = first;
  while (sink.remaining() > 0) {
    if (control.aborted()) return false;
    if (c > v.lastCluster) return false;  // the volume ends before the file
    const std::uint64_t needed = CeilClusters(sink.remaining(), v.bytesPerCluster);
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>({needed, piece, v.lastCluster - c + 1}));
    if (!ReadAndWrite(v, static_cast<std::uint32_t>(c), n, buffer, sink)) return false;
    c += n;
  }
  return true;
}

// A deleted file written into the gaps between other files: from its first
// cluster on, the clusters no other file holds, consecutive free clusters
// gathered into one read. The walk ends at the volume's end.
bool WriteSkippingTaken(const ClusterChainView& v, std::uint32_t first, OutputSink& sink,
                        const RecoveryControl& control) {
  if (first < 2 || first > v.lastCluster) return sink.remaining() == 0;
  const std::uint32_t piece = ClustersPerPiece(v);
  std::vector<std::uint8_t> buffer;
  std::uint64_t c = first;
  while (sink.remaining() > 0) {
    if (control.aborted()) return false;
    while (c <= v.lastCluster && c != first && v.taken(static_cast<std::uint32_t>(c))) ++c;
    if (c > v.lastCluster) return false;  // the volume ends before the file
    const std::uint64_t needed = CeilClusters(sink.remaining(), v.bytesPerCluster);
    std::uint32_t n = 1;
    while (n < piece && n < needed && c + n <= v.lastCluster && !v.taken(static_cast<std::uint32_t>(c + n))) ++n;
    if (!ReadAndWrite(v, static_cast<std::uint32_t>(c), n, buffer, sink)) return false;
    c += n;
  }
  return true;
}

// An existing file: along its chain, consecutive clusters gathered into one read.
bool WriteChain(const ClusterChainView& v, std::uint32_t first, OutputSink& sink, const RecoveryControl& control) {
  const std::uint32_t piece = ClustersPerPiece(v);
  std::vector<std::uint8_t> buffer;
  std::unordered_set<std::uint32_t> seen;
  std::uint32_t c = first;
  while (sink.remaining() > 0 && c >= 2 && c <= v.lastCluster) {
    if (control.aborted()) return false;
    if (!seen.insert(c).second) break;  // a loop in the chain
    std::uint32_t last = c, n = 1;
    const std::uint64_t needed = CeilClusters(sink.remaining(), v.bytesPerCluster);
    while (n < piece && n < needed) {
      const std::uint32_t next = v.next(last);
      if (next != last + 1 || next > v.lastCluster || !seen.insert(next).second) break;
      last = next;
      ++n;
    }
    if (!ReadAndWrite(v, c, n, buffer, sink)) return false;
    c = v.next(last);
  }
  return sink.remaining() == 0;
}

}  // namespace

WriteResult WriteFatFile(const ClusterChainView& view, ScanEntry& entry, OutputSink& sink, const RecoveryControl& control,
                         bool defragment) {
  ActivityMark activity(Fn::WriteFatFile);
  WriteResult r;
  const bool existing = entry.clusterInUse == 1 && entry.DeletedMark() == 0;
  if (existing && entry.FirstCluster() < view.chainEnd) {
    r.complete = WriteChain(view, entry.FirstCluster(), sink, control) && !sink.unreadable();
    return r;
  }
  if (existing) {
    // The chain cannot be followed from its first cluster: copy as a deleted file.
    entry.chainFallback = 1;
    entry.clusterInUse = 0;
    r.chainFallback = true;
    if (!sink.Rewind()) return r;
  }
  const bool skip = defragment && view.taken;
  r.complete = (skip ? WriteSkippingTaken(view, entry.FirstCluster(), sink, control)
                     : WriteContiguous(view, entry.FirstCluster(), sink, control)) &&
               !sink.unreadable();
  return r;
}

std::optional<std::vector<std::uint8_t>> LoadIntoMemory(const ClusterChainView& view, const ScanEntry& entry,
                                                       std::uint64_t length) {
  if (entry.size > kMaxLoadIntoMemory) return std::nullopt;
  const std::uint64_t size = entry.size;  // a copy: the record is packed
  const std::uint64_t want = length ? std::min(length, size) : size;
  RecoveryControl control;
  std::vector<std::uint8_t> data;
  data.reserve(static_cast<std::size_t>((size + view.bytesPerCluster - 1) / view.bytesPerCluster * view.bytesPerCluster));
  OutputSink sink = OutputSink::ToMemory(data, want, control);
  ScanEntry copy = entry;
  WriteFatFile(view, copy, sink, control);
  return data;
}

std::vector<std::uint8_t> ReadFatRange(const ClusterChainView& v, const ScanEntry& entry, std::uint64_t offset,
                                       std::uint64_t length) {
  std::vector<std::uint8_t> out;
  if (offset >= entry.size) return out;
  length = std::min(length, entry.size - offset);
  const std::uint64_t bpc = v.bytesPerCluster;
  const bool existing = entry.clusterInUse == 1 && entry.DeletedMark() == 0;
  // Step over the clusters before the offset without reading them.
  std::uint32_t c = entry.FirstCluster();
  for (std::uint64_t skip = offset / bpc; skip > 0 && c >= 2 && c <= v.lastCluster; --skip)
    c = existing ? v.next(c) : c + 1;
  std::uint64_t within = offset % bpc;
  std::vector<std::uint8_t> cluster(static_cast<std::size_t>(bpc));
  std::unordered_set<std::uint32_t> seen;
  while (out.size() < length && c >= 2 && c <= v.lastCluster && seen.insert(c).second) {
    if (v.device.ReadClusters(c, cluster, 1) != ReadOk) break;
    const std::uint64_t take = std::min<std::uint64_t>(bpc - within, length - out.size());
    out.insert(out.end(), cluster.begin() + static_cast<std::ptrdiff_t>(within),
               cluster.begin() + static_cast<std::ptrdiff_t>(within + take));
    within = 0;
    c = existing ? v.next(c) : c + 1;
  }
  return out;
}

}  // namespace kestrova
