#include "fs/ntfs/ntfs_stream.h"

#include "common/activity.h"

#include "fs/ntfs/lznt1.h"
#include "fs/ntfs/ntfs_volume.h"

#include <algorithm>
#include <array>

namespace kestrova {
namespace {

std::uint64_t EndVcn(const std::vector<DataRun>& runs) {
  return runs.empty() ? 0 : runs.back().vcn + runs.back().length;
}

// Clusters of [vcn, vcn + count) that have clusters on disk.
std::uint64_t DataClusters(const std::vector<DataRun>& runs, std::uint64_t vcn, std::uint64_t count) {
  std::uint64_t data = 0;
  for (std::uint64_t done = 0; done < count;) {
    const auto p = RunLookup(runs, vcn + done);
    if (!p) break;
    const std::uint64_t n = std::min(p->left, count - done);
    if (p->lcn >= 0) data += n;
    done += n;
  }
  return data;
}

}  // namespace

bool WritePlainRuns(SectorDevice& device, const std::vector<DataRun>& runs, std::uint32_t bpc,
                    std::uint64_t pieceClusters, OutputSink& sink, const WorkerToken& abort,
                    std::uint64_t startVcn) {
  std::vector<std::uint8_t> buffer;
  pieceClusters = std::max<std::uint64_t>(1, pieceClusters);
  for (std::uint64_t vcn = startVcn; sink.remaining() > 0;) {
    if (abort.StopRequested()) return false;
    const auto p = RunLookup(runs, vcn);
    if (!p) return false;
    const std::uint64_t n = std::min(p->left, pieceClusters);
    if (p->lcn < 0) {
      if (!sink.WriteZeros(n * bpc)) return false;
    } else {
      bool unreadable = false;
      if (!ReadRuns(device, runs, vcn, n, bpc, buffer, &unreadable)) return false;
      if (unreadable) sink.NoteUnreadable();
      if (!sink.WriteChunk(buffer)) return false;
    }
    vcn += n;
  }
  return true;
}

bool DecodeCompressedUnit(std::span<const std::uint8_t> data, std::span<std::uint8_t> unit) {
  ActivityMark activity(Fn::DecodeCompressedUnit);
  std::fill(unit.begin(), unit.end(), std::uint8_t{0});
  std::array<std::uint8_t, kLznt1ChunkBytes + 1> chunk{};
  std::size_t at = 0, produced = 0;
  while (produced < unit.size()) {
    const std::size_t size = ChunkSize(data.subspan(at));
    if (size == 0) break;
    const std::size_t n = DecompressChunk(data.subspan(at, std::min(size, data.size() - at)), chunk);
    if (n > kLznt1ChunkBytes) return false;
    if (n < 4) break;
    const std::size_t take = std::min(n, unit.size() - produced);
    std::copy_n(chunk.begin(), take, unit.begin() + static_cast<std::ptrdiff_t>(produced));
    produced += take;
    at += size;
    if (at >= data.size()) break;
  }
  return true;
}

bool WriteCompressedRuns(SectorDevice& device, const std::vector<DataRun>& runs, std::uint32_t bpc, OutputSink& sink,
                         const WorkerToken& abort, std::uint64_t startVcn) {
  const std::uint64_t end = EndVcn(runs);
  const std::size_t unitBytes = static_cast<std::size_t>(kCompressionUnitClusters * bpc);
  std::vector<std::uint8_t> raw, unit(unitBytes);
  bool unreadable = false;
  for (std::uint64_t vcn = startVcn; sink.remaining() > 0; vcn += kCompressionUnitClusters) {
    if (abort.StopRequested()) return false;
    if (vcn >= end) return false;
    const std::uint64_t count = std::min(kCompressionUnitClusters, end - vcn);
    const std::uint64_t data = DataClusters(runs, vcn, count);
    if (data == 0) {
      if (!sink.WriteZeros(count * bpc)) return false;
    } else if (data == kCompressionUnitClusters || data == count) {
      // Fully backed: stored as it is (also a short last unit without a sparse tail).
      if (!ReadRuns(device, runs, vcn, count, bpc, raw, &unreadable) || !sink.WriteChunk(raw)) return false;
    } else {
      if (!ReadRuns(device, runs, vcn, data, bpc, raw, &unreadable)) return false;
      if (!DecodeCompressedUnit(raw, unit)) return false;
      if (!sink.WriteChunk(std::span(unit).first(static_cast<std::size_t>(count * bpc)))) return false;
    }
  }
  if (unreadable) sink.NoteUnreadable();
  return true;
}

}  // namespace kestrova
