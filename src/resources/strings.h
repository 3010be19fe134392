// String slots: every user-visible text has a section, a key and an English
// default. Language files replace the defaults at start; code asks by id and
// never spells a message inline.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrova {

enum class StringId : std::size_t {
  Caption,                  // "Kestrova"
  CaptionOverwriteProtection,
  CantOpenImageFile,
  CantOpenThisDrive,
  VmdkRefused,
  ReadErrorTitle,
  ReadErrorHeading,
  ReadErrorSectorCluster,
  ReadErrorCode,
  ReadErrorCount,
  ReadErrorSkip,
  ReadErrorContinue,
  ReadErrorStopScan,
  SystemDrivesString,       // the system's volumes that no listed partition stands for
  VirtualDrivesString,      // "Virtual disks"
  PhysicalDrivesString,     // "Physical drives"
  HddGroup,                 // "HDD%i: %s (%s)"
  ImageGroup,               // "Image: %s"
  PhysicalDriveName,        // "PHYSICAL DRIVE %i"
  NotAvailable,             // "N/A"
  DriveSettingsTitle,
  CantLocalizeFat16,        // "Sorry, can't localize FAT16 file system."
  CantLocalizeFat32,
  MemoryGrow,               // "... (P1)"
  MemoryFresh,              // "... (P2)"
  AddBinNullTarget,         // "!-AddBinToDynList"
  Month1,                   // twelve month names, "szMonth1".."szMonth12"
  Month12 = Month1 + 11,
  LostFilesFolder,
  RawFilesFolder,
  RebuildFolder,
  LostFilesDescription,
  RawFilesDescription,
  RebuildDescription,
  FileFolderDescription,
  DisplaySize,              // "%s %s (bytes: %s)"
  UnitBytes,
  UnitKb,
  UnitMb,
  UnitGb,
  Count
};

struct StringSlot {
  std::string_view section;
  std::string_view key;
  std::u16string_view english;
};

// The built-in slot (section, key, English default) of an id.
const StringSlot& Slot(StringId id);

// The current text of a slot (the language's, or the English default).
const std::u16string& Text(StringId id);

// Replaces the current text of a slot (language loading).
void SetText(StringId id, std::u16string text);

// Restores every slot to its English default.
void ResetTexts();

}  // namespace kestrova
