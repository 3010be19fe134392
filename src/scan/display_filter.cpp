#include "scan/display_filter.h"

#include "common/text.h"

namespace kestrova {

std::vector<std::u16string> DisplayFilter::SplitMasks(std::u16string_view text) {
  std::vector<std::u16string> masks;
  std::u16string current;
  auto flush = [&] {
    while (!current.empty() && current.back() == u' ') current.pop_back();
    if (!current.empty()) masks.push_back(current);
    current.clear();
  };
  for (char16_t c : text) {
    if (c == u';' || c == u',') {
      flush();
    } else if (!(c == u' ' && current.empty())) {
      current.push_back(c);
    }
  }
  flush();
  return masks;
}

bool PassesFilter(const ScanEntry& e, std::u16string_view name, bool folder, const DisplayFilter& filter) {
  const std::uint32_t f = filter.flags;
  if (f == show::kEverything) return true;
  if (e.Kind() == EntryKind::ParentLink || (folder && name == u".")) return true;
  if ((f & show::kMasks) && !folder) {
    bool matched = false;
    for (const std::u16string& mask : filter.masks) {
      if (MatchName(name, mask)) {
        matched = true;
        break;
      }
    }
    if (!matched) return false;
  }
  const bool deleted = e.deletedMark == 1;
  const bool allocated = e.clusterInUse == 1;
  const auto kind = e.Kind();
  if (!deleted && allocated && !folder) return (f & show::kExisting) != 0;
  if ((deleted || !allocated || kind == EntryKind::Overwritten || kind == EntryKind::NotDetected) &&
      !(f & show::kDeleted))
    return false;
  if (!folder && !(f & show::kFiles)) return false;
  if (folder && !(f & show::kFolders)) return false;
  if (kind == EntryKind::Overwritten && !(f & show::kOverwritten)) return false;
  if (kind == EntryKind::NotDetected && !(f & show::kNotDetected)) return false;
  return (f & show::kDeleted) || (allocated && !deleted) || (kind == EntryKind::Overwritten && (f & show::kOverwritten)) ||
         (kind == EntryKind::NotDetected && (f & show::kNotDetected));
}

}  // namespace kestrova
