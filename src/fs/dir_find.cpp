#include "fs/dir_find.h"

#include "common/text.h"
#include "raw/scan_items.h"
#include "scan/virtual_folders.h"

#include <algorithm>
#include <set>
#include <string_view>

namespace kestrova {

bool IsListMarker(std::uint32_t m) {
  return m == kLostFilesMarker || m == kRawFilesMarker || m == kRawTypeMarker || m == kRebuildMarker;
}

bool IsVirtualHandle(EntryHandle h) { return (h & kVirtualHandleBit) != 0; }

std::optional<std::uint32_t> DirectoryCluster(EntryHandle handle) {
  if (IsVirtualHandle(handle)) {
    const std::uint32_t marker = MarkerOf(handle);
    if ((marker >> 24) == (kRebuildMarker >> 24) && (marker & 0xFFFFFF) != 0) return marker & 0xFFFFFF;
    return std::nullopt;
  }
  if (handle > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<std::uint32_t>(handle);
}

std::optional<std::uint16_t> RawTypeOf(EntryHandle handle) {
  if (!IsVirtualHandle(handle) || MarkerOf(handle) != kRawTypeMarker) return std::nullopt;
  const std::uint64_t row = (handle >> 32) & 0xFFFF;
  if (row == 0 || row > kScanItemCount) return std::nullopt;
  return static_cast<std::uint16_t>(row - 1);
}

FoundEntry MakeRawTypeFolder(std::uint16_t row) {
  FoundEntry f;
  f.entry = MakeVirtualFolderEntry(kRawTypeMarker);
  f.entry.recordNumber = row;
  const ScanItem* item = ItemByIndex(DefaultScanItemTable(), row);
  const std::string_view name = item ? item->folderName : std::string_view();
  f.name.assign(name.begin(), name.end());
  return f;
}

bool IsRebuildFolder(const ScanEntry& e) {
  return e.Kind() == EntryKind::Ordinary && e.parentLow == 0xFFFFFFFFu && (e.FirstCluster() >> 24) == 0x11;
}

EntryHandle VirtualFolderHandle(const ScanEntry& folder) {
  if (folder.Kind() == EntryKind::VirtualFolder && folder.Marker() == kRawTypeMarker)
    return RawTypeHandle(static_cast<std::uint16_t>(folder.recordNumber));
  // The ".." of a type folder leads to "RAW files".
  if (folder.Kind() == EntryKind::VirtualParentLink && folder.Marker() == kRawTypeMarker)
    return VirtualHandle(kRawFilesMarker);
  if (IsRebuildFolder(folder)) return VirtualHandle(folder.FirstCluster());
  return VirtualHandle(folder.Marker());
}

namespace {

std::string_view FolderOfRow(std::size_t row) {
  const ScanItem* item = ItemByIndex(DefaultScanItemTable(), row);
  return item ? item->folderName : std::string_view();
}

}  // namespace

std::vector<std::u16string> RawTypeMasks(std::uint16_t row, const SignatureExtensions& extensions) {
  std::vector<std::u16string> masks;
  const std::string_view folder = FolderOfRow(row);
  if (folder.empty()) return masks;
  // Rows that share a folder name ("TIF" holds .tif and .raf finds) each bring
  // their extension, so none of the folder's finds is hidden.
  for (std::size_t r = 0; r < kScanItemCount; ++r) {
    if (FolderOfRow(r) != folder) continue;
    std::u16string mask = u"*" + ToLower(extensions.Of(static_cast<std::uint16_t>(r)));
    if (mask.size() > 1 && std::find(masks.begin(), masks.end(), mask) == masks.end()) masks.push_back(std::move(mask));
  }
  return masks;
}

bool OpenVirtualFolder(DirFind& f, EntryHandle handle, ResultLists* lists) {
  const std::uint32_t marker = MarkerOf(handle);
  if (!lists || !IsVirtualHandle(handle) || !IsListMarker(marker)) return false;
  f.list = marker == kLostFilesMarker ? &lists->lost : marker == kRebuildMarker ? &lists->rebuild : &lists->raw;
  f.listIndex = 0;
  f.rawTypes = false;
  f.rawType = -1;
  f.rawTypeRows.clear();
  f.rawTypeMasked = false;
  if (marker == kRawTypeMarker) {
    const auto row = RawTypeOf(handle);
    if (!row) return false;
    f.rawType = *row;
  } else if (marker == kRawFilesMarker) {
    // One folder per type name, in the order of the table.
    f.rawTypes = true;
    std::set<std::uint16_t> rows;
    {
      std::scoped_lock g(f.list->lock);
      for (std::size_t i = 0; i < f.list->size(); ++i) {
        const ScanEntry e = f.list->at(i);
        if (e.Kind() == EntryKind::Raw) rows.insert(e.RawSignature());
      }
    }
    std::set<std::string_view> names;
    for (std::uint16_t row : rows) {
      const std::string_view name = FolderOfRow(row);
      if (!name.empty() && names.insert(name).second) f.rawTypeRows.push_back(row);
    }
  }
  return true;
}

bool NextFromVirtualFolder(DirFind& f, FsType fs, const SignatureExtensions* extensions, FoundEntry& out) {
  static const SignatureExtensions kTable = [] {
    SignatureExtensions table;
    table.Set(ItemExtensions(DefaultScanItemTable()));
    return table;
  }();
  if (f.rawTypes) {
    if (f.listIndex >= f.rawTypeRows.size()) return false;
    out = MakeRawTypeFolder(f.rawTypeRows[f.listIndex++]);
    return true;
  }
  const std::string_view typeName = f.rawType >= 0 ? FolderOfRow(static_cast<std::size_t>(f.rawType)) : "";
  // In a type folder the user's masks give way to the type's own: the folder
  // was opened for that type, and a mask such as "*.doc" would empty it.
  if (f.rawType >= 0 && !f.rawTypeMasked) {
    f.rawTypeMasked = true;
    if (!f.filter.masks.empty())
      f.filter.masks = RawTypeMasks(static_cast<std::uint16_t>(f.rawType), extensions ? *extensions : kTable);
  }
  EntryList& list = *f.list;
  std::scoped_lock g(list.lock);
  while (f.listIndex < list.size()) {
    const ScanEntry e = list.at(f.listIndex++);
    if (f.rawType >= 0 && (e.Kind() != EntryKind::Raw || FolderOfRow(e.RawSignature()) != typeName)) continue;
    std::u16string name = DisplayName(e, list.NameOf(e), extensions ? *extensions : kTable);
    const bool shown = PassesFamilyFilter(e, name, IsFolder(e, fs), f.filter, fs);
    if (!f.unfiltered && !shown) continue;
    out.entry = e;
    out.name = std::move(name);
    out.dotEntry = false;
    return true;
  }
  return false;
}

}  // namespace kestrova
