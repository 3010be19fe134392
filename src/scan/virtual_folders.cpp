#include "scan/virtual_folders.h"

#include "resources/strings.h"

namespace kestrova {

bool IsVirtualMarker(std::uint32_t m) {
  return m == kLostFilesMarker || m == kRawFilesMarker || m == kRebuildMarker || m == kRawTypeMarker;
}

std::u16string VirtualFolderName(std::uint32_t marker, std::u16string_view typeName) {
  switch (marker) {
    case kLostFilesMarker: return Text(StringId::LostFilesFolder);
    case kRawFilesMarker: return Text(StringId::RawFilesFolder);
    case kRebuildMarker: return Text(StringId::RebuildFolder);
    case kRawTypeMarker: return std::u16string(typeName);
    default: return {};
  }
}

std::u16string FolderDescription(const ScanEntry& e) {
  const bool isVirtual = e.Kind() == EntryKind::VirtualFolder || e.Kind() == EntryKind::VirtualParentLink;
  if (isVirtual) {
    switch (e.Marker()) {
      case kLostFilesMarker: return Text(StringId::LostFilesDescription);
      case kRawFilesMarker:
      case kRawTypeMarker: return Text(StringId::RawFilesDescription);
      case kRebuildMarker: return Text(StringId::RebuildDescription);
      default: break;
    }
  }
  return Text(StringId::FileFolderDescription);
}

std::u16string VolumeRoot(char letter) {
  std::u16string root(1, static_cast<char16_t>(static_cast<unsigned char>(letter ? letter : '$')));
  return root + u":\\";
}

std::u16string VirtualFolderPath(char letter, std::uint32_t marker, std::u16string_view typeName) {
  std::u16string path = VolumeRoot(letter);
  if (marker == kRawTypeMarker) path += VirtualFolderName(kRawFilesMarker) + u"\\";
  return path + VirtualFolderName(marker, typeName) + u"\\";
}

ScanEntry MakeVirtualFolderEntry(std::uint32_t marker) {
  ScanEntry e = MakeScanEntry();
  e.SetMarker(marker);
  e.attributes = kAttrDirectory;
  e.SetKind(EntryKind::VirtualFolder);
  e.rating = rating::kNavigation;
  e.clusterInUse = 1;
  return e;
}

ScanEntry MakeVirtualParentEntry(std::uint32_t marker) {
  ScanEntry e = MakeVirtualFolderEntry(marker);
  e.SetKind(EntryKind::VirtualParentLink);
  if (marker == kLostFilesMarker) e.recordNumber = kLostFilesParentRecord;
  if (marker == kRebuildMarker) e.recordNumber = kRebuildParentRecord;
  return e;
}

}  // namespace kestrova
