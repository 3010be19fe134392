#include "resources/strings.h"

#include <array>
#include <mutex>

namespace kestrova {
namespace {

constexpr std::size_t kCount = static_cast<std::size_t>(StringId::Count);

// Order follows StringId.
constexpr std::array<StringSlot, kCount> kSlots{{
    {"EXT_STRINGS", "szCaption", u"Kestrova"},
    {"EXT_STRINGS", "szOverwriteProtection", u"Kestrova - overwrite protection"},
    {"EXT_STRINGS", "szCantOpenImageFile", u"Can't open image file!"},
    {"EXT_STRINGS", "szCantOpenThisDrive",
     u"Can't open this drive! Check rights (administrator privillages are required)."},
    {"EXT_STRINGS", "szVmdkRefused",
     u"Virtual machine disks (.vmdk) are not opened here: convert the disk to a raw image first, "
     u"or use a tool made for virtual-machine disks."},
    {"WINDOW_READ_ERROR", "#C", u"Kestrova (read error)"},
    {"WINDOW_READ_ERROR", "szDiskReadError", u"Disk read error occured"},
    {"WINDOW_READ_ERROR", "szSectorCluster", u"Sector/cluster:"},
    {"WINDOW_READ_ERROR", "szErrorCode", u"Error code:"},
    {"WINDOW_READ_ERROR", "szErrorCount", u"Error count:"},
    {"WINDOW_READ_ERROR", "szSkipReadErrors", u"Skip read errors"},
    {"WINDOW_READ_ERROR", "szContinue", u"&Continue"},
    {"WINDOW_READ_ERROR", "szStopScan", u"&Stop scan"},
    {"EXT_STRINGS", "szSystemDrivesString", u"Disks visible in the system (other)"},
    {"EXT_STRINGS", "szVirtualDrivesString", u"Virtual disks"},
    {"EXT_STRINGS", "szPhysicalDrivesString", u"Physical drives"},
    {"EXT_STRINGS", "szHddGroup", u"HDD%i: %s (%s)"},
    {"EXT_STRINGS", "szIMG", u"Image: %s"},
    {"EXT_STRINGS", "szPhysicalDriveName", u"PHYSICAL DRIVE %i"},
    {"EXT_STRINGS", "szNotAvailable", u"N/A"},
    {"WINDOW_DRIVE_SETTINGS", "#C", u"Advanced drive settings"},
    {"EXT_STRINGS", "szCantLocalizeFat16", u"Sorry, can't localize FAT16 file system."},
    {"EXT_STRINGS", "szCantLocalizeFat32", u"Sorry, can't localize FAT32 file system."},
    {"EXT_STRINGS", "szMemoryP1", u"Memory allocation problem - cannot allocate memory by operating system (P1)"},
    {"EXT_STRINGS", "szMemoryP2", u"Memory allocation problem - cannot allocate memory by operating system (P2)"},
    {"EXT_STRINGS", "szAddBinNull", u"!-AddBinToDynList"},
    {"EXT_STRINGS", "szMonth1", u"January"},
    {"EXT_STRINGS", "szMonth2", u"February"},
    {"EXT_STRINGS", "szMonth3", u"March"},
    {"EXT_STRINGS", "szMonth4", u"April"},
    {"EXT_STRINGS", "szMonth5", u"May"},
    {"EXT_STRINGS", "szMonth6", u"June"},
    {"EXT_STRINGS", "szMonth7", u"July"},
    {"EXT_STRINGS", "szMonth8", u"August"},
    {"EXT_STRINGS", "szMonth9", u"September"},
    {"EXT_STRINGS", "szMonth10", u"October"},
    {"EXT_STRINGS", "szMonth11", u"November"},
    {"EXT_STRINGS", "szMonth12", u"December"},
    {"EXT_STRINGS", "szLostFiles", u"Lost files"},
    {"EXT_STRINGS", "szRawFiles", u"RAW files"},
    {"EXT_STRINGS", "szRebuild", u"Rebuild"},
    {"EXT_STRINGS", "szLostFilesDescription", u"Virtual folder of file system entries"},
    {"EXT_STRINGS", "szRawFilesDescription", u"Virtual folder of revovered files via header detect"},
    {"EXT_STRINGS", "szRebuildDescription", u"Virtual folder of lost parent folders"},
    {"EXT_STRINGS", "szFileFolder", u"File folder"},
    {"EXT_STRINGS", "szDisplaySize", u"%s %s (bytes: %s)"},
    {"EXT_STRINGS", "szBytes", u"bytes"},
    {"EXT_STRINGS", "szKB", u"KB"},
    {"EXT_STRINGS", "szMB", u"MB"},
    {"EXT_STRINGS", "szGB", u"GB"},
}};

struct Table {
  std::mutex lock;
  std::array<std::u16string, kCount> texts;
  Table() { Reset(); }
  void Reset() {
    for (std::size_t i = 0; i < kCount; ++i) texts[i] = std::u16string(kSlots[i].english);
  }
};

Table& Current() {
  static Table table;
  return table;
}

}  // namespace

const StringSlot& Slot(StringId id) { return kSlots.at(static_cast<std::size_t>(id)); }

const std::u16string& Text(StringId id) { return Current().texts.at(static_cast<std::size_t>(id)); }

void SetText(StringId id, std::u16string text) {
  Table& t = Current();
  std::scoped_lock guard(t.lock);
  t.texts.at(static_cast<std::size_t>(id)) = std::move(text);
}

void ResetTexts() {
  Table& t = Current();
  std::scoped_lock guard(t.lock);
  t.Reset();
}

}  // namespace kestrova
