#include "fs/raw_entry_data.h"

#include "common/activity.h"

#include <algorithm>

namespace kestrova {

namespace {

constexpr std::uint64_t kPiece = 1u << 20;

// Reads whole sectors covering [offset, offset + length) of the find into out;
// false when a part could not be read (it stays zeros).
bool ReadSpan(SectorDevice& d, const ScanEntry& e, std::uint64_t offset, std::uint64_t length,
              std::vector<std::uint8_t>& out) {
  const std::uint64_t ss = d.sectorSize ? d.sectorSize : 512;
  const std::uint64_t firstSector = e.RawFirstSector() + offset / ss;
  const std::uint64_t skip = offset % ss;
  const std::uint64_t sectors = (skip + length + ss - 1) / ss;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(sectors * ss), 0);
  const bool ok = d.ReadSectors(firstSector, buffer, static_cast<std::uint32_t>(sectors)) == ReadOk;
  out.assign(buffer.begin() + static_cast<std::ptrdiff_t>(skip),
             buffer.begin() + static_cast<std::ptrdiff_t>(skip + length));
  return ok;
}

}  // namespace

WriteResult WriteRawEntry(SectorDevice& device, const ScanEntry& entry, OutputSink& sink,
                          const RecoveryControl& control) {
  ActivityMark activity(Fn::WriteRawEntry);
  WriteResult r;
  std::vector<std::uint8_t> piece;
  for (std::uint64_t offset = 0; offset < entry.size;) {
    if (control.aborted()) return r;
    const std::uint64_t n = std::min(kPiece, entry.size - offset);
    if (!ReadSpan(device, entry, offset, n, piece)) sink.NoteUnreadable();
    if (!sink.WriteChunk(piece)) return r;
    offset += n;
  }
  r.complete = sink.remaining() == 0 && !sink.unreadable();
  return r;
}

std::vector<std::uint8_t> ReadRawRange(SectorDevice& device, const ScanEntry& entry, std::uint64_t offset,
                                       std::uint64_t length) {
  std::vector<std::uint8_t> out;
  if (offset >= entry.size) return out;
  length = std::min({length, entry.size - offset, std::uint64_t{64} << 20});
  ReadSpan(device, entry, offset, length, out);
  return out;
}

}  // namespace kestrova
