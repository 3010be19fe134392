#include "fs/ntfs/ntfs_files.h"

#include "common/activity.h"
#include "common/le.h"
#include "common/number_text.h"
#include "common/text.h"
#include "resources/strings.h"
#include "fs/ntfs/efs_export.h"
#include "fs/ntfs/ntfs_record.h"
#include "fs/ntfs/ntfs_stream.h"
#include "scan/virtual_folders.h"

#include <algorithm>
#include <set>

namespace kestrova {

// The attribute list's value, resident or read through its runs (bounded: a
// real list of even a badly fragmented file is a few KiB).
std::vector<std::uint8_t> AttributeListOf(NtfsContext& ctx, std::span<const std::uint8_t> r) {
  ActivityMark activity(Fn::AttributeListOf);
  constexpr std::uint64_t kMaxListBytes = 256 * 1024;
  const auto list = FindAttribute(r, kAttrAttributeList);
  if (!list) return {};
  if (list->resident) {
    const auto value = ResidentValue(r, *list);
    return {value.begin(), value.end()};
  }
  const std::uint32_t bpc = ctx.volume.bytesPerCluster;
  const auto runList = RunListOf(r, *list);
  const std::uint64_t clusters = RunsTotalClusters(runList);
  if (clusters * bpc > kMaxListBytes) {
    // Not a list any file needs: a damaged or hostile record.
    if (ctx.ui && !ctx.overflowShown.exchange(true))
      ctx.ui->MessageBox(FillPlaceholders(Text(StringId::NtfsAttrOverflow),
                                          {ToUtf16(std::to_string(clusters)), ToUtf16(std::to_string(bpc))}),
                         Text(StringId::Caption), MsgIcon::Warning, MsgButtons::Ok);
    return {};
  }
  const std::uint64_t bytes = std::min(list->dataSize, clusters * bpc);
  std::vector<std::uint8_t> out;
  if (bytes == 0 || !ReadRuns(ctx.device, DecodeRuns(runList), 0, (bytes + bpc - 1) / bpc, bpc, out)) return {};
  out.resize(static_cast<std::size_t>(bytes));
  return out;
}

void ForEachListEntry(std::span<const std::uint8_t> entries,
                      const std::function<bool(std::uint32_t, std::u16string_view, std::uint64_t)>& f) {
  std::u16string name;
  for (std::size_t at = 0; at + 0x1A <= entries.size();) {
    const std::uint16_t length = LoadLe16(entries, at + 4);
    if (length == 0 || at + length > entries.size()) break;
    name.clear();
    const std::size_t nameAt = at + entries[at + 7];
    for (std::size_t i = 0; i < entries[at + 6] && nameAt + 2 * i + 2 <= at + length; ++i)
      name.push_back(static_cast<char16_t>(LoadLe16(entries, nameAt + 2 * i)));
    const std::uint64_t ref = std::uint64_t{LoadLe32(entries, at + 0x10)} | std::uint64_t{LoadLe16(entries, at + 0x14)} << 32;
    if (f(LoadLe32(entries, at), name, ref)) return;
    at += length;
  }
}

namespace {

// Calls `f(reference)` for each list entry of the type until it returns true.
template <typename F>
void ForEachListEntry(std::span<const std::uint8_t> entries, std::uint32_t type, F&& f) {
  kestrova::ForEachListEntry(entries, [&](std::uint32_t t, std::u16string_view, std::uint64_t ref) { return t == type && f(ref); });
}

// A driver deleting a file may empty an extension record by writing the end
// marker over its first attribute's type and length only: the name's value
// stays where that attribute's header still says. Taken only from a free
// record that belongs to `base`, and only when it reads as a name.
std::span<const std::uint8_t> FreedFileName(std::span<const std::uint8_t> r, std::uint64_t base) {
  const auto h = ReadRecordHeader(r);
  if (!h || h->inUse() || h->baseRecord != base) return {};
  const std::size_t at = h->firstAttribute;
  if (at + 0x18 > r.size() || LoadLe32(r, at) != 0xFFFFFFFF) return {};
  const std::uint32_t length = LoadLe32(r, at + 0x10);
  const std::size_t offset = at + LoadLe16(r, at + 0x14);
  if (length < 0x42 || length > 0x42 + 2 * 255 || offset > r.size() || length > r.size() - offset) return {};
  const auto value = r.subspan(offset, length);
  if (value[0x40] == 0 || 0x42u + 2u * value[0x40] > length || value[0x41] > 3) return {};
  return value;
}

// The $FILE_NAME value of a record whose names were moved to extension
// records (the long name preferred over the DOS one).
std::vector<std::uint8_t> ExtensionFileName(NtfsContext& ctx, std::span<const std::uint8_t> list, std::uint32_t self) {
  std::vector<std::uint8_t> best, extension;
  ForEachListEntry(list, kAttrFileName, [&](std::uint64_t ref) {
    if (ref == self || !ReadRecordByNumber(ctx, ref, extension)) return false;
    std::span<const std::uint8_t> value;
    if (const auto fn = FindAttribute(extension, kAttrFileName))
      value = ResidentValue(extension, *fn);
    else
      value = FreedFileName(extension, self);
    if (value.size() < 0x42) return false;
    best.assign(value.begin(), value.end());
    return value[0x41] != 2;
  });
  return best;
}

}  // namespace

bool ReadRecordByNumber(NtfsContext& ctx, std::uint64_t number, std::vector<std::uint8_t>& out) {
  ActivityMark activity(Fn::ReadRecordByNumber);
  const bool read = ReadMftRecord(ctx.device, ctx.volume, number, out);
  if (read) {
    // Records of older NTFS versions carry no number (0): taken as they are.
    const auto h = ReadRecordHeader(out);
    if (h && (h->number == number || h->number == 0)) return true;
  }
  if (number >> 32) return read;
  std::scoped_lock g(ctx.side.lock);
  for (const auto& r : ctx.side.records) {
    const auto h = ReadRecordHeader(r);
    if (h && h->number == number) {
      out = r;
      return true;
    }
  }
  return read;
}

bool ParseFileRecord(NtfsContext& ctx, std::span<std::uint8_t> r, std::uint64_t cluster, ParsedRecord& out) {
  ActivityMark activity(Fn::ParseFileRecord);
  const NtfsVolume& v = ctx.volume;
  const auto header = ReadRecordHeader(r);
  if (!header || !ApplyFixups(r, v.recordSize)) return false;
  const auto si = FindAttribute(r, kAttrStandardInformation);
  if (!si) {
    // An extension record of some attribute list: kept aside, not an entry.
    std::scoped_lock g(ctx.side.lock);
    if (ctx.side.records.size() < NtfsSideRecords::kMax) ctx.side.records.emplace_back(r.begin(), r.end());
    return false;
  }
  const auto siValue = ResidentValue(r, *si);
  const std::uint32_t fileAttributes = siValue.size() >= 0x24 ? LoadLe32(siValue, 0x20) : 0;
  std::vector<std::uint8_t> list;
  bool listRead = false;
  const auto attributeList = [&]() -> std::span<const std::uint8_t> {
    if (!listRead) list = AttributeListOf(ctx, r);
    listRead = true;
    return list;
  };
  std::vector<std::uint8_t> extensionName;
  std::span<const std::uint8_t> name;
  if (const auto fn = FindAttribute(r, kAttrFileName)) {
    name = ResidentValue(r, *fn);
  } else {
    // A record with many attributes keeps its name in an extension record;
    // without following the list such files would vanish from the listing.
    extensionName = ExtensionFileName(ctx, attributeList(), header->number);
    name = extensionName;
  }
  if (name.size() < 0x42) return false;
  const std::uint64_t changeTime = LoadLe64(name, 0x18);
  std::u16string fileName = FileNameText(name);
  if (changeTime == 0 || fileName.empty() || fileName == u".") return false;

  ScanEntry e = MakeScanEntry();
  e.size = LoadLe64(name, 0x30);
  e.SetNtfsFlags(LoadLe32(name, 0x38) | (fileAttributes & kNtfsCompressed));
  e.SetFileTime(changeTime);
  e.SetParentRecord(LoadLe64(name, 0) & 0xFFFFFFFFFFFFull);
  e.recordNumber = header->number;
  const bool recordClusterFree = IsNtfsClusterFree(v, cluster);
  // A non-resident file: in use, not computable without a bitmap or when its
  // record lies in a free cluster, else the share of its clusters still free.
  auto rateNonResident = [&](const auto& runs) -> std::uint8_t {
    if (v.bitmap.empty()) return (header->inUse() && !recordClusterFree) ? rating::kInUse : rating::kNotComputed;
    if (recordClusterFree) return rating::kNotComputed;
    if (header->inUse()) return rating::kInUse;
    return FreeClusterPercent(v, runs());
  };

  bool folder = false;
  if (const auto index = FindAttribute(r, kAttrIndexAllocation)) {
    folder = true;
    e.AddNtfsFlags(kNtfsDirectory);
    e.size = 0;
    if (index->resident) {
      e.SetFirstLcn(cluster);
      e.resident = 1;
    } else {
      const std::uint64_t first = FirstRunCluster(RunListOf(r, *index));
      if (first > v.lastCluster) return false;
      e.SetFirstLcn(first);
    }
  } else if (FindAttribute(r, kAttrIndexRoot) && (e.NtfsFlags() & kNtfsDirectory)) {
    // A small folder keeps its whole index in the record: without this every
    // such folder, and the tree below it, would be missing from the listing.
    folder = true;
    e.size = 0;
    e.SetFirstLcn(cluster);
    e.resident = 1;
  } else if (const auto data = FindAttribute(r, kAttrData, true)) {
    if (data->resident) {
      e.resident = 1;
      e.dataForm = 1;
      e.size = data->valueLength;
      e.SetFirstLcn(cluster);
      e.rating = rating::kIntact;
    } else {
      e.dataForm = 0;
      e.size = data->dataSize;
      const auto runList = RunListOf(r, *data);
      if (runList.empty()) return false;
      const std::uint64_t first = FirstRunCluster(runList);
      if (first > v.lastCluster) return false;
      e.SetFirstLcn(first);
      e.rating = rateNonResident([&] {
        if (FindAttribute(r, kAttrAttributeList)) {
          if (const auto all = GatherEntryData(ctx, {r.begin(), r.end()}, header->number))
            return all->runs;  // the extents in extension records too
        }
        return DecodeRuns(runList);
      });
    }
  } else if (FindAttribute(r, kAttrAttributeList)) {
    // The data (or the index) lives in an extension record.
    const auto entries = attributeList();
    ForEachListEntry(entries.first(std::min<std::size_t>(entries.size(), 2u * v.bytesPerCluster)), kAttrIndexAllocation,
                     [&](std::uint64_t) { return folder = true; });
    if (folder) {
      e.AddNtfsFlags(kNtfsDirectory);
      e.size = 0;
    } else {
      const auto found = GatherEntryData(ctx, {r.begin(), r.end()}, header->number);
      if (found && !found->data.resident && found->inExtension) {
        e.dataForm = 2;
        e.size = found->data.dataSize;
        e.SetFirstLcn(FirstRunCluster(RunListOf(found->holder(), found->data)));
        e.rating = rateNonResident([&] { return found->runs; });
      }
    }
  }
  if (folder) e.attributes = kAttrDirectory;
  if (HasEfsStream(r, FindAttribute(r, kAttrAttributeList) ? attributeList() : std::span<const std::uint8_t>{}))
    e.AddNtfsFlags(kNtfsEncrypted);
  if (folder) {
    e.rating = (header->inUse() && !recordClusterFree) ? rating::kInUse : rating::kIntact;
    e.SetKind(EntryKind::Ordinary);
  } else {
    if (e.rating == 0 && e.dataForm == 0 && e.size == 0) e.rating = rating::kNotComputed;
    e.SetKind(e.rating >= rating::kIntact ? EntryKind::Ordinary : EntryKind::Overwritten);
    if (!v.bitmap.empty() && !recordClusterFree) {
      e.SetKind(EntryKind::Ordinary);
      if (header->inUse()) e.rating = rating::kInUse;
    }
  }
  out.entry = e;
  out.name = std::move(fileName);
  return folder || e.size != 0;
}

std::size_t CollectMft(NtfsContext& ctx, Ui& ui, WorkerToken* token) {
  ActivityMark activity(Fn::CollectMft);
  const NtfsVolume& v = ctx.volume;
  if (!ctx.lists || v.mftRuns.empty() || v.recordSize == 0) return 0;
  const std::uint64_t records = v.RecordCount();
  const std::uint64_t blockClusters =
      std::max<std::uint64_t>(1, std::max<std::uint64_t>(ctx.device.buffers.transferUnit(), v.bytesPerCluster) / v.bytesPerCluster);
  std::vector<std::uint8_t> block;
  std::size_t added = 0;
  if (token) token->SetTotal(records);
  const std::uint64_t recordClusters = (v.recordSize + v.bytesPerCluster - 1) / v.bytesPerCluster;
  for (std::uint64_t first = 0; first < records;) {
    if (token && !token->WaitWhilePaused()) break;
    const std::uint64_t vcn = first * v.recordSize / v.bytesPerCluster;
    const auto p = RunLookup(v.mftRuns, vcn);
    if (!p) break;
    // Whole records only: a record larger than a cluster may reach into the next run.
    std::uint64_t clusters = std::min(blockClusters, p->left);
    clusters = std::max(recordClusters, clusters / recordClusters * recordClusters);
    if (p->lcn >= 0) {
      // The dialog's status line: where the reading is.
      std::u16string status = Text(StringId::ProcessingMftSector) + u" " +
                              ToUtf16(GroupNumber(static_cast<std::uint64_t>(p->lcn) * v.sectorsPerCluster));
      ui.Status(status);
      if (token) token->SetStatus(std::move(status));
    }
    if (!ReadRuns(ctx.device, v.mftRuns, vcn, clusters, v.bytesPerCluster, block)) break;
    const std::uint64_t inBlock = clusters * v.bytesPerCluster / v.recordSize;
    for (std::uint64_t k = 0; k < inBlock && first + k < records; ++k) {
      if (token && token->StopRequested()) break;  // after the current record
      const std::uint64_t offset = k * v.recordSize;
      auto record = std::span(block).subspan(static_cast<std::size_t>(offset), v.recordSize);
      // Where the record lies, for reading it again when it is saved.
      const auto at = RunLookup(v.mftRuns, vcn + offset / v.bytesPerCluster);
      if (!at || at->lcn < 0) continue;
      const auto cluster = static_cast<std::uint64_t>(at->lcn);
      ParsedRecord parsed;
      if (!ParseFileRecord(ctx, record, cluster, parsed)) continue;
      parsed.entry.SetRecordSector(cluster * v.sectorsPerCluster + offset % v.bytesPerCluster / v.bytesPerSector);
      std::scoped_lock g(ctx.lists->lost.lock);
      if (ctx.lists->lost.Add(parsed.entry, &parsed.name)) {
        ++added;
        if (token) token->AddItems();
      }
    }
    first += std::max<std::uint64_t>(1, inBlock);
    ui.Progress(std::min(first, records), records);
    if (token) token->SetDone(std::min(first, records));
  }
  return added;
}

std::vector<FoundEntry> ListNtfsFolder(NtfsContext& ctx, EntryHandle record, const DisplayFilter& filter) {
  ActivityMark activity(Fn::ListNtfsFolder);
  std::vector<FoundEntry> out;
  if (!ctx.lists) return out;
  if (IsVirtualHandle(record)) {
    // "Lost files" holds every entry of the list, whatever its parent.
    DirFind find;
    find.filter = filter;
    if (!OpenVirtualFolder(find, record, ctx.lists)) return out;
    FoundEntry up;
    up.entry = MakeVirtualParentEntry(MarkerOf(record));
    up.name = u"..";
    up.dotEntry = true;
    out.push_back(up);
    for (FoundEntry f; NextFromVirtualFolder(find, FsType::Ntfs, nullptr, f);) out.push_back(f);
    return out;
  }
  EntryList& lost = ctx.lists->lost;
  std::scoped_lock g(lost.lock);
  NtfsListIndex& index = ctx.index;
  if (index.indexed != lost.size()) {
    index.byParent.clear();
    index.byRecord.clear();
    for (std::size_t i = 0; i < lost.size(); ++i) {
      const ScanEntry e = lost.at(i);
      index.byParent.emplace_back(e.ParentRecord(), i);
      index.byRecord.emplace_back(std::uint64_t{e.recordNumber}, i);
    }
    std::sort(index.byParent.begin(), index.byParent.end());
    std::sort(index.byRecord.begin(), index.byRecord.end());
    index.indexed = lost.size();
  }
  auto range = [](const std::vector<std::pair<std::uint64_t, std::size_t>>& v, std::uint64_t key) {
    return std::equal_range(v.begin(), v.end(), std::make_pair(key, std::size_t{0}),
                            [](const auto& a, const auto& b) { return a.first < b.first; });
  };
  if (record != kNtfsRootRecord) {
    std::optional<std::uint64_t> parent;
    if (const auto own = range(index.byRecord, record); own.first != own.second)
      parent = lost.at(own.first->second).ParentRecord();
    bool parentListed = parent == kNtfsRootRecord;
    if (parent && !parentListed) {
      const auto p = range(index.byRecord, *parent);
      parentListed = p.first != p.second;
    }
    FoundEntry up;
    if (parentListed) {
      up.entry.attributes = kAttrDirectory;
      up.entry.SetNtfsFlags(kNtfsDirectory);
      up.entry.SetKind(EntryKind::ParentLink);
      up.entry.rating = rating::kNavigation;
      up.entry.recordNumber = *parent;
    } else {
      // The parent is gone: ".." leads to the folder of lost entries.
      up.entry = MakeVirtualParentEntry(kLostFilesMarker);
    }
    up.name = u"..";
    up.dotEntry = true;
    out.push_back(up);
  }
  const auto children = range(index.byParent, record);
  for (auto it = children.first; it != children.second; ++it) {
    const ScanEntry e = lost.at(it->second);
    if (e.recordNumber == record) continue;
    FoundEntry f;
    f.entry = e;
    if (const std::u16string* n = lost.NameOf(e)) f.name = *n;
    if (!PassesNtfsFilter(f.entry, f.name, IsFolder(e, FsType::Ntfs), filter)) continue;
    out.push_back(std::move(f));
  }
  return out;
}

std::optional<EntryData> GatherEntryData(NtfsContext& ctx, std::vector<std::uint8_t> record, std::uint64_t number) {
  ActivityMark activity(Fn::GatherEntryData);
  EntryData out;
  out.record = std::move(record);
  struct Extent {
    std::uint64_t vcn = 0;
    std::vector<DataRun> runs;
  };
  std::vector<Extent> extents;
  bool firstFound = false;
  // The unnamed $DATA extents of one record; a resident value is the whole data.
  const auto collect = [&](std::span<const std::uint8_t> r, bool extension) {
    bool resident = false;
    ForEachAttribute(r, [&](std::uint32_t type, const AttributeRef& a) {
      if (type != kAttrData || a.nameLength != 0) return false;
      if (a.resident) {
        if (extension || firstFound) return false;
        out.data = a;
        firstFound = resident = true;
        return true;
      }
      if (a.lowestVcn >= static_cast<std::uint64_t>(kMaxCluster)) return false;
      if (a.lowestVcn == 0 && !firstFound) {
        out.data = a;
        out.inExtension = extension;
        firstFound = true;
      }
      auto runs = DecodeRuns(RunListOf(r, a));
      for (DataRun& run : runs) run.vcn += a.lowestVcn;
      extents.push_back({a.lowestVcn, std::move(runs)});
      return false;
    });
    return resident;
  };
  if (collect(out.record, false)) return out;

  // The extension records the attribute list names, each read once. Only a
  // record that still belongs to this file counts: a reused one holds another
  // file's runs.
  const auto list = AttributeListOf(ctx, out.record);
  std::set<std::uint64_t> seen{number & 0xFFFFFFFFFFFFull};
  std::vector<std::uint8_t> extension;
  ForEachListEntry(list, [&](std::uint32_t type, std::u16string_view name, std::uint64_t ref) {
    if (type != kAttrData || !name.empty()) return false;
    if (!seen.insert(ref).second) return false;
    const auto h = ReadRecordByNumber(ctx, ref, extension) ? ReadRecordHeader(extension) : std::nullopt;
    if (!h || h->baseRecord != (number & 0xFFFFFFFFFFFFull)) return false;
    const bool wasFirst = firstFound;
    collect(extension, true);
    if (!wasFirst && firstFound && out.inExtension) out.extension = extension;
    return false;
  });
  if (!firstFound || extents.empty()) return std::nullopt;

  // In VCN order, from VCN 0, up to the first gap: what follows a missing
  // extent cannot be placed.
  std::stable_sort(extents.begin(), extents.end(), [](const Extent& a, const Extent& b) { return a.vcn < b.vcn; });
  std::uint64_t end = 0;
  for (Extent& x : extents) {
    if (x.vcn < end) continue;  // the same extent named twice
    if (x.vcn > end || x.runs.empty()) {
      out.complete = false;
      break;
    }
    if (out.runs.size() + x.runs.size() > kMaxRuns) {
      out.complete = false;
      break;
    }
    end = x.runs.back().vcn + x.runs.back().length;
    out.runs.insert(out.runs.end(), x.runs.begin(), x.runs.end());
  }
  const std::uint64_t bpc = std::max<std::uint32_t>(1, ctx.volume.bytesPerCluster);
  if (end < (out.data.dataSize + bpc - 1) / bpc) out.complete = false;
  return out;
}

std::optional<EntryData> ReadEntryData(NtfsContext& ctx, const ScanEntry& entry) {
  ActivityMark activity(Fn::ReadEntryData);
  const NtfsVolume& v = ctx.volume;
  const std::uint32_t sectors = std::max<std::uint32_t>(1, v.recordSize / v.bytesPerSector);
  std::vector<std::uint8_t> record(v.recordSize, 0);
  if (ctx.device.ReadSectors(entry.RecordSector(), record, sectors) != ReadOk || !ApplyFixups(record, v.recordSize))
    return std::nullopt;
  const auto h = ReadRecordHeader(record);
  return GatherEntryData(ctx, std::move(record), h && h->number ? h->number : entry.recordNumber);
}

bool WriteNtfsData(NtfsContext& ctx, const ScanEntry& entry, OutputSink& sink, const WorkerToken& abort) {
  ActivityMark activity(Fn::WriteNtfsData);
  const NtfsVolume& v = ctx.volume;
  if (entry.size == 0) return true;
  // Encrypted files come here only when their export stream cannot be made:
  // their raw (encrypted) clusters are then saved as they are.
  const auto found = ReadEntryData(ctx, entry);
  if (!found) return false;
  const AttributeRef& data = found->data;
  if (data.resident) return sink.WriteChunk(ResidentValue(found->holder(), data));
  const auto& runs = found->runs;
  if (data.compressed()) return WriteCompressedRuns(ctx.device, runs, v.bytesPerCluster, sink, abort);
  const std::uint64_t piece =
      std::max<std::uint64_t>(1, std::max<std::uint64_t>(ctx.device.buffers.transferUnit(), v.bytesPerCluster) / v.bytesPerCluster);
  return WritePlainRuns(ctx.device, runs, v.bytesPerCluster, piece, sink, abort);
}

std::vector<std::uint8_t> ReadNtfsRange(NtfsContext& ctx, const ScanEntry& entry, std::uint64_t offset,
                                        std::uint64_t length) {
  const std::uint64_t size = entry.size;
  if (offset >= size || length == 0) return {};
  length = std::min(length, size - offset);
  const auto found = ReadEntryData(ctx, entry);
  if (!found) return {};
  const AttributeRef& data = found->data;
  if (data.resident) {
    const auto value = ResidentValue(found->holder(), data);
    if (offset >= value.size()) return {};
    const auto part = value.subspan(static_cast<std::size_t>(offset),
                                    static_cast<std::size_t>(std::min<std::uint64_t>(length, value.size() - offset)));
    return {part.begin(), part.end()};
  }
  const std::uint32_t bpc = ctx.volume.bytesPerCluster;
  const auto& runs = found->runs;
  // Start at the cluster (or compression unit) that holds the offset.
  const std::uint64_t unit = data.compressed() ? kCompressionUnitClusters * bpc : bpc;
  const std::uint64_t start = offset / unit * unit;
  std::vector<std::uint8_t> out;
  RecoveryControl control;
  OutputSink sink = OutputSink::ToMemory(out, offset + length - start, control);
  if (data.compressed())
    WriteCompressedRuns(ctx.device, runs, bpc, sink, control.token, start / bpc);
  else
    WritePlainRuns(ctx.device, runs, bpc, 16, sink, control.token, start / bpc);
  const auto skip = static_cast<std::size_t>(std::min<std::uint64_t>(offset - start, out.size()));
  out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(skip));
  return out;
}

}  // namespace kestrova
