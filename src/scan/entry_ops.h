// What the explorer, Properties and the recovery counters derive from a
// ScanEntry: folder test, shown name, colour category, status, date and size.
#pragma once

#include "common/fs_type.h"
#include "scan/scan_entry.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestrova {

bool IsFolder(const ScanEntry& e, FsType fs);

// Extensions of the header signatures by index (".jpg"). The signature table
// fills it; until then an unknown index gives no extension.
class SignatureExtensions {
 public:
  void Set(std::vector<std::u16string> extensions) { extensions_ = std::move(extensions); }
  std::u16string Of(std::uint16_t index) const { return index < extensions_.size() ? extensions_[index] : u""; }

 private:
  std::vector<std::u16string> extensions_;
};

// The stored name, or for a RAW entry with a generated name "%0.9i%s"
// (sequence number as nine digits, extension of its signature). Empty without a name.
std::u16string DisplayName(const ScanEntry& e, const std::u16string* storedName, const SignatureExtensions& exts);

// Text colour categories; the first seven have configurable colours.
enum class ColourCategory : std::uint8_t {
  Deleted,
  Existing,
  Overwritten,
  NotDetected,
  Compressed,
  Encrypted,
  Special,
  VirtualFolder,  // fixed colour
};
inline constexpr std::uint32_t kVirtualFolderColour = 0xB00000;  // COLORREF: dark blue

ColourCategory CategoryOf(const ScanEntry& e, FsType fs, std::u16string_view name);

// How the recovery counters classify an entry.
struct EntryStatus {
  bool deleted = false;
  bool detected = false;     // deleted and its data checks out
  bool overwritten = false;  // deleted and its data is reused or invalid
};
EntryStatus StatusOf(const ScanEntry& e, FsType fs);

// The Properties window's date: NTFS FILETIME "%i %s %i, %0.2i:%0.2i:%0.2i",
// exFAT and FAT "%u %s %.2u" (year, month, day); "N/A" when absent.
std::u16string PropertiesDate(const ScanEntry& e, FsType fs);

// "%s %s (bytes: %s)": the size in its unit as an integer, then the exact count.
std::u16string DisplaySize(std::uint64_t bytes);

// Civil date and time (UTC) of a FILETIME; false for 0 or out of range.
struct CivilTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
bool FileTimeToCivil(std::uint64_t filetime, CivilTime& out);

}  // namespace kestrova
