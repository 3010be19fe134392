// "Mount NTFS Volume from sector": mounting a base entry as a damaged NTFS
// volume that starts at a typed sector. The logic of the window without the
// window: the entry texts, "MAX", and the validation on "&Ok".
#pragma once

#include "device/drive_entry.h"

#include <cstdint>
#include <string>

namespace kestrova {

// The "Base Drive:" line of an entry: "(%i) %s [ %s ]", index from 1.
std::u16string MountBaseEntryText(std::size_t index, const DriveEntry& entry);

// A typed number; anything unparsable counts as 0.
std::uint64_t ParseTypedSectors(const std::u16string& text);

// "MAX": the base entry's count minus the typed sector (0 when beyond it).
std::uint64_t MaxSectorCount(const DriveEntry& base, const std::u16string& sectorText);

struct MountAtSectorInput {
  std::u16string sectorText;   // "Sector:"
  std::u16string countText;    // "Sectors count:"
  std::uint8_t clusterChoice = 4;  // "4 kB" preselected
  bool rawAnalyzeTicked = true;
};

// "&Ok": when start + count exceed the base entry, both texts are reset to "0"
// and false keeps the window open. Otherwise the settings are filled so that
// the base entry mounts as a damaged NTFS volume at that sector.
bool MountAtSector(const DriveEntry& base, MountAtSectorInput& input, DriveSettings& settings);

}  // namespace kestrova
