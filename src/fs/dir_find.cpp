#include "fs/dir_find.h"

#include "scan/virtual_folders.h"

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

bool OpenVirtualFolder(DirFind& f, EntryHandle handle, ResultLists* lists) {
  const std::uint32_t marker = MarkerOf(handle);
  if (!lists || !IsVirtualHandle(handle) || !IsListMarker(marker)) return false;
  f.list = marker == kLostFilesMarker ? &lists->lost : marker == kRebuildMarker ? &lists->rebuild : &lists->raw;
  f.listIndex = 0;
  return true;
}

bool NextFromVirtualFolder(DirFind& f, FsType fs, const SignatureExtensions* extensions, FoundEntry& out) {
  static const SignatureExtensions kNone;
  EntryList& list = *f.list;
  std::scoped_lock g(list.lock);
  while (f.listIndex < list.size()) {
    const ScanEntry e = list.at(f.listIndex++);
    std::u16string name = DisplayName(e, list.NameOf(e), extensions ? *extensions : kNone);
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
