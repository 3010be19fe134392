#include "fs/ntfs/efs_export.h"

#include "common/activity.h"

#include "common/le.h"
#include "fs/ntfs/ntfs_record.h"
#include "fs/ntfs/ntfs_volume.h"

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

// The value of one $EFS attribute: in the record, or read through its runs.
std::optional<std::vector<std::uint8_t>> EfsValue(NtfsContext& ctx, std::span<const std::uint8_t> r,
                                                  const AttributeRef& a) {
  if (a.resident) {
    const auto value = ResidentValue(r, a);
    if (value.empty() || value.size() > kMaxEfsValue) return std::nullopt;
    return std::vector<std::uint8_t>(value.begin(), value.end());
  }
  if (a.lowestVcn != 0 || a.dataSize == 0 || a.dataSize > kMaxEfsValue) return std::nullopt;
  const std::uint32_t bpc = ctx.volume.bytesPerCluster;
  std::vector<std::uint8_t> out;
  if (bpc == 0 || !ReadRuns(ctx.device, DecodeRuns(RunListOf(r, a)), 0, (a.dataSize + bpc - 1) / bpc, bpc, out) ||
      out.size() < a.dataSize)
    return std::nullopt;
  out.resize(static_cast<std::size_t>(a.dataSize));
  return out;
}

// The first logged-utility stream named "$EFS" of a record (there may be others before it).
std::optional<AttributeRef> EfsAttribute(std::span<const std::uint8_t> r) {
  std::optional<AttributeRef> found;
  ForEachAttribute(r, [&](std::uint32_t type, const AttributeRef& a) {
    if (type != kAttrLoggedUtilityStream || AttributeName(r, a) != u"$EFS") return false;
    found = a;
    return true;
  });
  return found;
}

}  // namespace

bool HasEfsStream(std::span<const std::uint8_t> record, std::span<const std::uint8_t> attributeList) {
  if (EfsAttribute(record)) return true;
  bool listed = false;
  ForEachListEntry(attributeList, [&](std::uint32_t type, std::u16string_view name, std::uint64_t) {
    return listed = type == kAttrLoggedUtilityStream && name == u"$EFS";
  });
  return listed;
}

std::optional<std::vector<std::uint8_t>> EfsStreamOf(NtfsContext& ctx, std::span<const std::uint8_t> record,
                                                     std::uint64_t number) {
  if (const auto a = EfsAttribute(record)) return EfsValue(ctx, record, *a);
  // Moved to an extension record: the attribute list says which.
  std::optional<std::vector<std::uint8_t>> value;
  std::vector<std::uint8_t> extension;
  const std::uint64_t self = number & 0xFFFFFFFFFFFFull;
  ForEachListEntry(AttributeListOf(ctx, record), [&](std::uint32_t type, std::u16string_view name, std::uint64_t ref) {
    if (type != kAttrLoggedUtilityStream || name != u"$EFS" || ref == self) return false;
    if (!ReadRecordByNumber(ctx, ref, extension)) return false;
    const auto h = ReadRecordHeader(extension);
    if (!h || h->baseRecord != self) return false;
    const auto a = EfsAttribute(extension);
    if (!a) return false;
    value = EfsValue(ctx, extension, *a);
    return value.has_value();
  });
  return value;
}

std::optional<EfsExport> PrepareEfsExport(NtfsContext& ctx, const ScanEntry& entry) {
  ActivityMark activity(Fn::PrepareEfsExport);
  if (!(entry.NtfsFlags() & kNtfsEncrypted)) return std::nullopt;
  const auto found = ReadEntryData(ctx, entry);
  if (!found || found->data.resident) return std::nullopt;
  const auto header = ReadRecordHeader(found->record);
  auto value = EfsStreamOf(ctx, found->record, header && header->number ? header->number : entry.recordNumber);
  if (!value) return std::nullopt;
  EfsExport e;
  e.efs = std::move(*value);
  e.runs = found->runs;
  e.fileSize = entry.size;
  const std::uint64_t sector = ctx.volume.bytesPerSector;
  e.rounded = (e.fileSize + sector - 1) / sector * sector;
  return e;
}

bool WriteEfsStream(NtfsContext& ctx, const EfsExport& e, OutputSink& sink, const WorkerToken& abort) {
  ActivityMark activity(Fn::WriteEfsStream);
  if (!sink.WriteChunk(StreamHeader()) || !sink.WriteChunk(e.efs) || !sink.WriteChunk(DataStreamHeader())) return false;
  const std::uint32_t bpc = ctx.volume.bytesPerCluster;
  std::vector<std::uint8_t> clusters;
  for (std::uint64_t offset = 0; offset < e.rounded; offset += kEfsPiece) {
    if (abort.StopRequested()) return false;
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
