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

namespace {

bool MatchesAnyMask(std::u16string_view name, const DisplayFilter& filter) {
  for (const std::u16string& mask : filter.masks)
    if (MatchName(name, mask)) return true;
  return false;
}

}  // namespace

bool PassesNtfsFilter(const ScanEntry& e, std::u16string_view name, bool folder, const DisplayFilter& filter) {
  const std::uint32_t f = filter.flags;
  if (f == show::kEverything) return true;
  if (e.Kind() == EntryKind::ParentLink || (folder && name == u".")) return true;
  const auto kind = e.Kind();
  const std::uint8_t rating = e.rating;
  auto needs = [&](std::uint32_t flag) { return (f & flag) != 0; };
  if (!folder && needs(show::kMasks) && !MatchesAnyMask(name, filter)) return false;
  if (!folder && rating == rating::kInUse && !needs(show::kExisting)) return false;
  if ((rating <= rating::kIntact || rating == rating::kNotComputed || kind == EntryKind::NotDetected ||
       kind == EntryKind::Raw) &&
      !needs(show::kDeleted))
    return false;
  if (!needs(folder ? show::kFolders : show::kFiles)) return false;
  if (rating < rating::kIntact && !needs(show::kOverwritten)) return false;
  if (kind == EntryKind::NotDetected && !needs(show::kNotDetected)) return false;
  if (kind != EntryKind::Overwritten) {
    if ((e.NtfsFlags() & kNtfsEncrypted) && !needs(show::kEncrypted)) return false;
    if ((e.NtfsFlags() & kNtfsCompressed) && !needs(show::kCompressed)) return false;
  }
  if (e.name != kGeneratedName && !name.empty() && name[0] == u'$' && !needs(show::kDollarNames)) return false;
  return true;
}

bool PassesFilter(const ScanEntry& e, std::u16string_view name, bool folder, const DisplayFilter& filter) {
  const std::uint32_t f = filter.flags;
  if (f == show::kEverything) return true;
  if (e.Kind() == EntryKind::ParentLink || (folder && name == u".")) return true;
  if ((f & show::kMasks) && !folder && !MatchesAnyMask(name, filter)) return false;
  const bool deleted = e.DeletedMark() == 1;
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
