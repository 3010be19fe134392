#include "scan/display_filter.h"

#include "common/text.h"

#include <utility>

namespace kestrova {

std::vector<std::u16string> DisplayFilter::SplitMasks(std::u16string_view text) {
  if (text.size() > kMaxMaskText) text = text.substr(0, kMaxMaskText);
  std::vector<std::u16string> masks;
  std::u16string current;
  auto flush = [&] {
    if (!current.empty() && masks.size() < kMaxMasks) masks.push_back(ToLower(current.substr(0, kMaskChars)));
    current.clear();
  };
  for (char16_t c : text) {
    if (c == u';' || c == u',') {
      flush();
    } else if (c != u' ') {
      current.push_back(c);
    }
  }
  flush();
  return masks;
}

DisplayFilter FilterForFamily(const DisplayFilter& filter, FsType fs) {
  DisplayFilter f = filter;
  if (fs == FsType::Exfat && f.flags != show::kEverything) f.flags |= show::kFiles | show::kFolders;
  return f;
}

DisplayFilter SharedDisplayFilter::Snapshot() const {
  std::scoped_lock g(lock_);
  return filter_;
}

void SharedDisplayFilter::Set(DisplayFilter filter) {
  std::scoped_lock g(lock_);
  filter_ = std::move(filter);
  ++generation_;
}

std::uint64_t SharedDisplayFilter::generation() const {
  std::scoped_lock g(lock_);
  return generation_;
}

DisplayFilter FilterBoxes::Read() const {
  DisplayFilter f;
  f.flags = show::kMasks;
  auto set = [&](bool box, std::uint32_t flag) {
    if (box) f.flags |= flag;
  };
  set(overwritten, show::kOverwritten);
  set(notDetected, show::kNotDetected);
  set(encrypted, show::kEncrypted);
  set(compressed, show::kCompressed);
  set(deleted, show::kDeleted);
  set(existing, show::kExisting);
  set(files, show::kFiles);
  set(folders, show::kFolders);
  set(metafiles, show::kDollarNames);
  f.masks = DisplayFilter::SplitMasks(maskText);
  return f;
}

FilterBoxes FilterBoxes::From(const DisplayFilter& filter, std::u16string maskText) {
  FilterBoxes b;
  const std::uint32_t f = filter.flags;
  b.overwritten = f & show::kOverwritten;
  b.notDetected = f & show::kNotDetected;
  b.encrypted = f & show::kEncrypted;
  b.compressed = f & show::kCompressed;
  b.deleted = f & show::kDeleted;
  b.existing = f & show::kExisting;
  b.files = f & show::kFiles;
  b.folders = f & show::kFolders;
  b.metafiles = f & show::kDollarNames;
  b.maskText = std::move(maskText);
  return b;
}

StringId PresetCaption(FilterPreset preset) {
  switch (preset) {
    case FilterPreset::AnyFile: return StringId::FilterAnyFile;
    case FilterPreset::Graphic: return StringId::FilterGraphic;
    case FilterPreset::Audio: return StringId::FilterAudio;
    case FilterPreset::Video: return StringId::FilterVideo;
    case FilterPreset::Office: return StringId::FilterOffice;
    case FilterPreset::System: return StringId::FilterSystem;
  }
  return StringId::FilterAnyFile;
}

std::u16string PresetExtensions(FilterPreset preset) {
  switch (preset) {
    case FilterPreset::AnyFile: return u"";
    case FilterPreset::Graphic: return u"bmp, jpg/jpeg, jp2, j2k, gif, png, pcx, tga, ico, cur, emf, wmf, tif/tiff.";
    case FilterPreset::Audio: return u"wav, mp3, wma, ogg, mid.";
    case FilterPreset::Video: return u"avi, mpg, mpeg, mp4, dat, wmv, asf, swf.";
    case FilterPreset::Office: return u"doc, docx, xls, xlsx, ppt, pptx, mdb, pdf.";
    case FilterPreset::System: return u"exe, dll, sys, ocx.";
  }
  return u"";
}

std::u16string PresetMasks(FilterPreset preset) {
  switch (preset) {
    case FilterPreset::AnyFile: return u"";
    case FilterPreset::Graphic:
      return u"*.bmp, *.jpg, *.jp2, *.j2k, *.jpeg, *.gif, *.png, *.pcx, *.tga, *.ico, *.cur, *.emf, *.wmf, *.tif, *.tiff";
    case FilterPreset::Audio: return u"*.wav, *.mp3, *.wma, *.ogg, *.mid";
    case FilterPreset::Video: return u"*.avi, *.mpg, *.mpeg, *.mp4, *.dat, *.wmv, *.asf, *.swf, *.mts";
    case FilterPreset::Office: return u"*.doc, *.docx, *.xls, *.xlsx, *.ppt, *.pptx, *.mdb, *.pdf";
    case FilterPreset::System: return u"*.exe, *.dll, *.sys, *.ocx";
  }
  return u"";
}

bool ParseStatusList(std::string_view list, std::uint32_t& flags, std::string& bad) {
  static constexpr std::pair<std::string_view, std::uint32_t> kWords[] = {
      {"existing", show::kExisting},       {"deleted", show::kDeleted},       {"overwritten", show::kOverwritten},
      {"notdetected", show::kNotDetected}, {"encrypted", show::kEncrypted},   {"compressed", show::kCompressed},
      {"metafiles", show::kDollarNames},   {"files", show::kFiles},           {"folders", show::kFolders}};
  flags = show::kMasks;
  std::size_t at = 0;
  while (at <= list.size()) {
    std::size_t end = list.find(',', at);
    if (end == std::string_view::npos) end = list.size();
    const std::string_view word = list.substr(at, end - at);
    if (!word.empty()) {
      bool known = false;
      for (const auto& [name, flag] : kWords) {
        if (word != name) continue;
        flags |= flag;
        known = true;
      }
      if (!known) {
        bad = std::string(word);
        return false;
      }
    }
    at = end + 1;
  }
  if (!(flags & (show::kFiles | show::kFolders))) flags |= show::kFiles | show::kFolders;
  return true;
}

namespace {

// No mask text: nothing is hidden by name.
bool MatchesAnyMask(std::u16string_view name, const DisplayFilter& filter) {
  if (filter.masks.empty()) return true;
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
  return PassesFilterFlags(e, name, folder, filter, filter.flags);
}

bool PassesFamilyFilter(const ScanEntry& e, std::u16string_view name, bool folder, const DisplayFilter& filter,
                        FsType fs) {
  if (fs == FsType::Ntfs) return PassesNtfsFilter(e, name, folder, filter);
  std::uint32_t flags = filter.flags;
  if (fs == FsType::Exfat && flags != show::kEverything) flags |= show::kFiles | show::kFolders;
  return PassesFilterFlags(e, name, folder, filter, flags);
}

bool PassesFilterFlags(const ScanEntry& e, std::u16string_view name, bool folder, const DisplayFilter& filter,
                       std::uint32_t f) {
  if (f == show::kEverything) return true;
  // ".." and folders such as "." are navigation, never filtered; RAW finds always are.
  if (e.Kind() == EntryKind::ParentLink) return true;
  if (folder && e.Kind() != EntryKind::Raw && !name.empty() && name[0] == u'.') return true;
  if ((f & show::kMasks) && !folder && !MatchesAnyMask(name, filter)) return false;
  const bool deleted = e.DeletedMark() == 1;
  const bool allocated = e.clusterInUse == 1;
  const auto kind = e.Kind();
  const bool existingFile = !deleted && allocated && !folder;
  if (existingFile && !(f & show::kExisting)) return false;
  if ((deleted || !allocated || kind == EntryKind::Overwritten || kind == EntryKind::NotDetected) &&
      !(f & show::kDeleted))
    return false;
  if (!folder && !(f & show::kFiles)) return false;
  if (folder && !(f & show::kFolders)) return false;
  if (kind == EntryKind::Overwritten && !(f & show::kOverwritten)) return false;
  if (kind == EntryKind::NotDetected && !(f & show::kNotDetected)) return false;
  // An existing folder shows with "Existing" too, or its existing files could not be reached.
  const bool existingFolder = folder && !deleted && allocated && (f & show::kExisting);
  return (f & show::kDeleted) || existingFile || existingFolder ||
         (kind == EntryKind::Overwritten && (f & show::kOverwritten)) ||
         (kind == EntryKind::NotDetected && (f & show::kNotDetected));
}

}  // namespace kestrova
