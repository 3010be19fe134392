#include "fs/fs_reader.h"

#include "common/activity.h"

#include "common/text.h"
#include "scan/virtual_folders.h"

namespace kestrova {

bool FsReader::Shown(const ScanEntry& e, const std::u16string& name, const DisplayFilter& filter) const {
  const bool folder = IsFolder(e, Type());
  // Each family keeps its status in other fields: NTFS in the rating, FAT and exFAT in their marks.
  return Type() == FsType::Ntfs ? PassesNtfsFilter(e, name, folder, filter) : PassesFilter(e, name, folder, filter);
}

std::optional<std::uint8_t> RateInFolder(FsReader& reader, EntryHandle folder, const ScanEntry& entry) {
  if (entry.Kind() != EntryKind::Ordinary && entry.Kind() != EntryKind::Overwritten &&
      entry.Kind() != EntryKind::NotDetected && entry.Kind() != EntryKind::FolderVerified)
    return entry.rating;
  const std::uint64_t id = reader.EntryId(entry);
  for (const FoundEntry& f : reader.List(folder, {}))
    if (!f.dotEntry && reader.EntryId(f.entry) == id) return f.entry.rating;
  return std::nullopt;
}

EntryHandle ClusterFsReader::FolderHandle(const ScanEntry& folder) const {
  // A virtual folder, or a link to one, by its marker.
  if (folder.Kind() == EntryKind::VirtualFolder || folder.Kind() == EntryKind::VirtualParentLink ||
      IsRebuildFolder(folder))
    return VirtualFolderHandle(folder);
  return folder.FirstCluster();
}

std::uint8_t ClusterFsReader::Rate(const ScanEntry& entry) {
  return RateInFolder(*this, entry.FolderCluster(), entry).value_or(entry.rating);
}

std::optional<std::vector<EntryHandle>> FindFolder(FsReader& reader, const std::vector<std::u16string>& components) {
  ActivityMark activity(Fn::FindFolder);
  std::vector<EntryHandle> handles{reader.RootHandle()};
  for (const std::u16string& component : components) {
    bool found = false;
    if (handles.size() == 1) {
      // The virtual folders of the results model sit at the root.
      for (std::uint32_t marker : {kLostFilesMarker, kRawFilesMarker, kRebuildMarker}) {
        if (CompareNoCase(VirtualFolderName(marker), component) != 0) continue;
        handles.push_back(VirtualHandle(marker));
        found = true;
        break;
      }
      if (found) continue;
    }
    for (const FoundEntry& e : reader.List(handles.back(), {})) {
      if (e.dotEntry || !IsFolder(e.entry, reader.Type()) || CompareNoCase(e.name, component) != 0) continue;
      if (e.entry.Kind() == EntryKind::Overwritten) return std::nullopt;
      handles.push_back(reader.FolderHandle(e.entry));
      found = true;
      break;
    }
    if (!found) return std::nullopt;
  }
  return handles;
}

}  // namespace kestrova
