#include "device/drive_entry.h"

#include "common/text.h"

#include <algorithm>
#include <cstring>

namespace kestrova {

const std::array<std::u16string_view, kClusterChoiceCount> kClusterChoiceNames{
    u"AUTO",   u"512 B",  u"1 kB",   u"2 kB", u"4 kB", u"8 kB",  u"16 kB", u"32 kB", u"64 kB",
    u"128 kB", u"256 kB", u"512 kB", u"1 MB", u"2 MB", u"4 MB",  u"8 MB",  u"16 MB", u"32 MB"};

DriveEntry MakeDriveEntry() {
  DriveEntry e;
  std::memset(&e, 0, sizeof e);
  return e;
}

std::u16string FieldText(std::span<const std::uint8_t> field) { return Utf16LeField(field, field.size() / 2); }

void SetFieldText(std::span<std::uint8_t> field, std::u16string_view text) {
  const std::size_t chars = field.size() / 2;
  if (chars == 0) return;
  std::fill(field.begin(), field.end(), std::uint8_t{0});
  const std::size_t n = std::min(text.size(), chars - 1);
  for (std::size_t i = 0; i < n; ++i) {
    field[2 * i] = static_cast<std::uint8_t>(text[i]);
    field[2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
  }
}

std::u16string EntryFsName(const DriveEntry& e) { return FieldText(e.fsName); }
std::u16string EntryLabel(const DriveEntry& e) { return FieldText(e.label); }
std::u16string EntryLabel2(const DriveEntry& e) { return FieldText(e.label2); }
void SetEntryFsName(DriveEntry& e, std::u16string_view text) { SetFieldText(e.fsName, text); }
void SetEntryLabel(DriveEntry& e, std::u16string_view text) { SetFieldText(e.label, text); }
void SetEntryLabel2(DriveEntry& e, std::u16string_view text) { SetFieldText(e.label2, text); }

std::uint32_t ClusterChoiceBytes(std::uint8_t choice) {
  if (choice == 0 || choice >= kClusterChoiceCount) return 0;
  return 256u << choice;
}

std::uint32_t ClusterChoiceSectors(std::uint8_t choice, std::uint32_t sectorSize) {
  const std::uint32_t bytes = ClusterChoiceBytes(choice);
  if (bytes == 0 || sectorSize == 0) return 0;
  return bytes >= sectorSize ? bytes / sectorSize : 1;
}

}  // namespace kestrova
