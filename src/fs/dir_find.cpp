#include "fs/dir_find.h"

#include "scan/virtual_folders.h"

namespace kestrova {

bool IsVirtualHandle(std::uint32_t h) {
  return h == kLostFilesMarker || h == kRawFilesMarker || h == kRawTypeMarker || h == kRebuildMarker;
}

bool OpenVirtualFolder(DirFind& f, std::uint32_t handle, ResultLists* lists) {
  if (!lists) return false;
  f.list = handle == kLostFilesMarker ? &lists->lost : handle == kRebuildMarker ? &lists->rebuild : &lists->raw;
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
    const bool shown = fs == FsType::Ntfs
                           ? PassesNtfsFilter(e, name, IsFolder(e, fs), f.filter)
                           : PassesFilter(e, name, IsFolder(e, fs), f.filter);
    if (!f.unfiltered && !shown) continue;
    out.entry = e;
    out.name = std::move(name);
    out.dotEntry = false;
    return true;
  }
  return false;
}

}  // namespace kestrova
