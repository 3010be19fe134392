// The explorer's display filter as the readers apply it to every entry they
// return: status flags and name masks.
#pragma once

#include "resources/strings.h"
#include "scan/scan_entry.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova {

namespace show {
inline constexpr std::uint32_t kMasks = 0x001;        // files must match a name mask
inline constexpr std::uint32_t kOverwritten = 0x002;  // kind 2
inline constexpr std::uint32_t kNotDetected = 0x004;  // kind 3
inline constexpr std::uint32_t kEncrypted = 0x008;    // NTFS: flags 0x4000
inline constexpr std::uint32_t kCompressed = 0x010;   // NTFS: flags 0x800
inline constexpr std::uint32_t kDeleted = 0x020;      // deleted, or first cluster free
inline constexpr std::uint32_t kExisting = 0x040;
inline constexpr std::uint32_t kFiles = 0x080;
inline constexpr std::uint32_t kFolders = 0x100;
inline constexpr std::uint32_t kDollarNames = 0x200;  // NTFS: names beginning with '$'
inline constexpr std::uint32_t kEverything = 0xFFFFFFFFu;  // -1: no filter
}  // namespace show

struct DisplayFilter {
  std::uint32_t flags = show::kEverything;
  std::vector<std::u16string> masks;  // split from "*.jpg;*.png"

  static constexpr std::size_t kMaxMaskText = 511;  // characters of a mask text
  static constexpr std::size_t kMaxMasks = 257;
  static constexpr std::size_t kMaskChars = 31;     // a longer mask is cut

  // Splits a mask text at ';' and ',', every blank removed, lower-cased; at
  // most kMaxMasks masks of at most kMaskChars characters each.
  static std::vector<std::u16string> SplitMasks(std::u16string_view text);
};

// The filter the explorer's window sets for the whole program. Each listing
// (a folder shown, a search, a recovery) takes one copy when it starts, so a
// change made meanwhile never mixes two filters in one listing.
class SharedDisplayFilter {
 public:
  DisplayFilter Snapshot() const;
  void Set(DisplayFilter filter);
  // Changes with every Set: a window compares it to refresh its listing.
  std::uint64_t generation() const;

 private:
  mutable std::mutex lock_;
  DisplayFilter filter_;
  std::uint64_t generation_ = 0;
};

// The check boxes and the mask box of the "Display files (filtering)" window.
struct FilterBoxes {
  bool overwritten = true;  // "Overwritten, undetected"
  bool notDetected = true;  // "Probably overwritten"
  bool encrypted = true;
  bool compressed = true;
  bool deleted = true;      // "Recoverable (deleted)"
  bool existing = true;
  bool files = true;
  bool folders = true;
  bool metafiles = true;    // "NTFS metafiles - $"
  std::u16string maskText;
  bool autoRefresh = true;

  // ReadFilter: 0x1 always, one flag per ticked box, the masks of the mask text.
  DisplayFilter Read() const;
  // The boxes that give `filter` (all ticked for "no filter").
  static FilterBoxes From(const DisplayFilter& filter, std::u16string maskText);
};

// The type presets of the window: the caption, the line of extensions shown
// and the mask text put in the mask box ("Any file" clears it).
enum class FilterPreset { AnyFile, Graphic, Audio, Video, Office, System };
inline constexpr FilterPreset kFilterPresets[] = {FilterPreset::AnyFile, FilterPreset::Graphic, FilterPreset::Audio,
                                                  FilterPreset::Video,   FilterPreset::Office,  FilterPreset::System};
StringId PresetCaption(FilterPreset preset);
std::u16string PresetExtensions(FilterPreset preset);  // empty for "Any file"
std::u16string PresetMasks(FilterPreset preset);       // empty for "Any file"

// "deleted,overwritten,..." (the command line's --status) to the flag word:
// existing, deleted, overwritten, notdetected, encrypted, compressed,
// metafiles, files, folders; without files or folders both are added. False
// with `bad` set to the first unknown word.
bool ParseStatusList(std::string_view list, std::uint32_t& flags, std::string& bad);

// The filter as a family applies it: exFAT always shows files and folders
// (0x80 and 0x100 added); the others take it as it is.
DisplayFilter FilterForFamily(const DisplayFilter& filter, FsType fs);

// True when the entry is shown. name: the entry's display name; folder: its folder test.
bool PassesFilter(const ScanEntry& e, std::u16string_view name, bool folder, const DisplayFilter& filter);

// The same with the flag word given apart from the masks.
bool PassesFilterFlags(const ScanEntry& e, std::u16string_view name, bool folder, const DisplayFilter& filter,
                       std::uint32_t flags);
// The test of the entry's family: NTFS by its rating, exFAT with files and
// folders always allowed, FAT by its marks.
bool PassesFamilyFilter(const ScanEntry& e, std::u16string_view name, bool folder, const DisplayFilter& filter,
                        FsType fs);

// The same for NTFS entries, whose state is in the rating, with the three
// NTFS flags. Generated names (RAW entries) are exempt from the '$' rule.
bool PassesNtfsFilter(const ScanEntry& e, std::u16string_view name, bool folder, const DisplayFilter& filter);

}  // namespace kestrova
