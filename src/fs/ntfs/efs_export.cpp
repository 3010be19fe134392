#include "fs/ntfs/efs_export.h"

#include "common/le.h"
#include "fs/ntfs/ntfs_record.h"

#include <algorithm>

namespace kestrova {
namespace {

void PutWide(std::vector<std::uint8_t>& b, std::size_t at, std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) StoreLe16(b, at + 2 * i, text[i]);
}

std::vector<std::uint8_t> StreamHeader() {
  std::vector<std::uint8_t> h(66, 0);
  StoreLe32(h, 0, 256);
  PutWide(h, 4, u"ROBS");
  StoreLe32(h, 20, 30);
  PutWide(h, 24, u"NTFS");
  StoreLe32(h, 44, 2);
  StoreLe32(h, 48, 0x02201910);
  PutWide(h, 54, u"GURE");
  return h;
}

std::vector<std::uint8_t> DataStreamHeader() {
  std::vector<std::uint8_t> h(42, 0);
  StoreLe32(h, 0, 42);
  PutWide(h, 4, u"NTFS");
  StoreLe32(h, 24, 14);
  PutWide(h, 28, u"::$DATA");
  return h;
}

std::vector<std::uint8_t> BlockHeader(std::uint64_t offset, std::uint32_t fileBytes, std::uint32_t roundedBytes) {
  std::vector<std::uint8_t> h(512, 0);
  StoreLe32(h, 0, roundedBytes + 512);
  PutWide(h, 4, u"GURE");
  StoreLe64(h, 16, offset);
  StoreLe32(h, 24, 0x1F0);
  StoreLe32(h, 28, fileBytes);
  StoreLe32(h, 32, fileBytes);
  StoreLe32(h, 36, 0x10100000);
  StoreLe32(h, 40, 0x0001010B);
  StoreLe32(h, 44, roundedBytes);
  return h;
}

}  // namespace

std::optional<EfsExport> PrepareEfsExport(NtfsContext& ctx, const ScanEntry& entry) {
  if (!(entry.flags & kNtfsEncrypted)) return std::nullopt;
  const auto found = ReadEntryData(ctx, entry);
  if (!found || found->data.resident) return std::nullopt;
  const auto efs = FindAttribute(found->record, kAttrLoggedUtilityStream);
  if (!efs || !efs->resident || AttributeName(found->record, *efs) != u"$EFS") return std::nullopt;
  const auto value = ResidentValue(found->record, *efs);
  if (value.empty() || value.size() > kMaxEfsValue) return std::nullopt;
  EfsExport e;
  e.efs.assign(value.begin(), value.end());
  e.runs = found->runs;
  e.fileSize = entry.size;
  const std::uint64_t sector = ctx.volume.bytesPerSector;
  e.rounded = (e.fileSize + sector - 1) / sector * sector;
  return e;
}

bool WriteEfsStream(NtfsContext& ctx, const EfsExport& e, OutputSink& sink, const std::atomic<bool>& abort) {
  if (!sink.WriteChunk(StreamHeader()) || !sink.WriteChunk(e.efs) || !sink.WriteChunk(DataStreamHeader())) return false;
  const std::uint32_t bpc = ctx.volume.bytesPerCluster;
  std::vector<std::uint8_t> clusters;
  for (std::uint64_t offset = 0; offset < e.rounded; offset += kEfsPiece) {
    if (abort.load()) return false;
    const auto rounded = static_cast<std::uint32_t>(std::min(kEfsPiece, e.rounded - offset));
    const auto fileBytes = static_cast<std::uint32_t>(std::min<std::uint64_t>(rounded, e.fileSize - offset));
    if (!sink.WriteChunk(BlockHeader(offset, fileBytes, rounded))) return false;
    // The piece's clusters as they lie on disk (a piece starts on a cluster
    // boundary whenever clusters are at most 64 KiB).
    const std::uint64_t vcn = offset / bpc;
    const std::uint64_t count = (offset % bpc + rounded + bpc - 1) / bpc;
    if (!ReadRuns(ctx.device, e.runs, vcn, count, bpc, clusters)) return false;
    if (!sink.WriteChunk(std::span(clusters).subspan(static_cast<std::size_t>(offset % bpc), rounded))) return false;
  }
  return true;
}

}  // namespace kestrova
