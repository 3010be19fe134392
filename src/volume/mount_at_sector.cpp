#include "volume/mount_at_sector.h"
#include "common/activity.h"

#include "common/number_text.h"
#include "common/text.h"

#include <limits>

namespace kestrova {

std::u16string MountBaseEntryText(std::size_t index, const DriveEntry& entry) {
  const std::uint64_t ss = entry.sectorSize ? entry.sectorSize : 512;
  return FillPlaceholders(u"(%i) %s [ %s ]",
                          {ToUtf16(std::to_string(index)), EntryLabel(entry), ToUtf16(SizeText(entry.sectors * ss))});
}

std::uint64_t ParseTypedSectors(const std::u16string& text) {
  std::uint64_t value = 0;
  std::size_t i = 0;
  while (i < text.size() && text[i] == u' ') ++i;
  if (i == text.size()) return 0;
  for (; i < text.size() && text[i] != u' '; ++i) {
    const char16_t c = text[i];
    if (c < u'0' || c > u'9') return 0;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - u'0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return 0;
    value = value * 10 + digit;
  }
  for (; i < text.size(); ++i)
    if (text[i] != u' ') return 0;
  return value;
}

std::uint64_t MaxSectorCount(const DriveEntry& base, const std::u16string& sectorText) {
  const std::uint64_t start = ParseTypedSectors(sectorText);
  return start < base.sectors ? base.sectors - start : 0;
}

bool MountAtSector(const DriveEntry& base, MountAtSectorInput& input, DriveSettings& settings) {
  ActivityMark activity(Fn::MountAtSector);
  const std::uint64_t start = ParseTypedSectors(input.sectorText);
  const std::uint64_t count = ParseTypedSectors(input.countText);
  if (start > base.sectors || count > base.sectors - start) {
    input.sectorText = u"0";
    input.countText = u"0";
    return false;
  }
  settings.overrideFs = true;
  settings.damaged = true;
  settings.fsChoice = 2;  // NTFS
  settings.clusterChoice = input.clusterChoice;
  settings.rawAnalyze = input.rawAnalyzeTicked ? 0 : 1;
  settings.manualStart = start;
  settings.manualCount = count;
  return true;
}

}  // namespace kestrova
