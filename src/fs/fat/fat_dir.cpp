#include "fs/fat/fat_dir.h"

#include "common/activity.h"

#include "common/le.h"
#include "common/text.h"
#include "volume/volume_label.h"

#include <algorithm>

namespace kestrova {
namespace {

bool IsForbiddenNameChar(std::uint32_t c) {
  return c == '"' || c == '*' || c == '/' || c == ':' || c == '<' || c == '>' || c == '?' || c == '\\' || c == '|';
}

constexpr std::size_t kLongNameOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

}  // namespace

bool IsPlausibleEntry(std::span<const std::uint8_t> e) {
  if (e.size() < kDirEntrySize) return false;
  if (e[11] == kAttrLongName) {
    if (LoadLe16(e, 26) != 0) return false;
    const std::uint8_t seq = e[0];
    const unsigned order = (seq & 0x40) ? (seq & 0x3F) : seq;
    if (seq != 0xE5 && order > 20) return false;
    for (std::size_t off : kLongNameOffsets)
      if (IsForbiddenNameChar(LoadLe16(e, off))) return false;
    return true;
  }
  if (e[11] >= 0x40) return false;
  for (std::size_t i = 0; i < 11; ++i)
    if (e[i] == 0 || IsForbiddenNameChar(e[i])) return false;
  return true;
}

bool IsValidFatDate(std::uint16_t d) {
  const unsigned day = d & 0x1F, month = (d >> 5) & 0x0F;
  return d != 0 && day != 0 && month != 0 && month <= 12;
}

std::u16string FormatShortName(std::span<const std::uint8_t> e, bool applyCase) {
  auto part = [&](std::size_t off, std::size_t len, bool lower) {
    std::u16string s = Latin1Field(e.subspan(off, len));
    while (!s.empty() && s.back() == u' ') s.pop_back();
    return lower ? ToLower(s) : s;
  };
  const std::uint8_t caseBits = applyCase ? e[12] : 0;
  std::u16string name = part(0, 8, caseBits & 0x08);
  const std::u16string ext = part(8, 3, caseBits & 0x10);
  if (!ext.empty()) name += u"." + ext;
  return name;
}

std::u16string AssembleLongName(std::span<const std::uint8_t> dir, std::size_t shortPos, std::size_t count) {
  std::u16string name;
  if (count == 0 || count * kDirEntrySize > shortPos) return name;
  for (std::size_t i = 1; i <= count; ++i) {
    const auto part = dir.subspan(shortPos - i * kDirEntrySize, kDirEntrySize);
    for (std::size_t off : kLongNameOffsets) {
      const char16_t c = static_cast<char16_t>(LoadLe16(part, off));
      if (c == 0x0000 || c == 0xFFFF || name.size() >= kMaxLongName) return name;
      name.push_back(c);
    }
  }
  return name;
}

bool IsFolderStart(SectorDevice& d, const FatVolume& v, std::uint32_t cluster, std::span<std::uint8_t> sector) {
  if (cluster > v.lastCluster || sector.size() < 64) return false;
  if (!d.ReadClusterSector(cluster, sector)) return false;
  if (sector[11] == kAttrVolume) return LoadLe16(sector, 20) == 0 && LoadLe16(sector, 26) == 0 && LoadLe32(sector, 28) == 0;
  return sector[0] == '.' && sector[32] == '.' && sector[33] == '.';
}

std::optional<std::u16string> ReadVolumeLabel(std::span<const std::uint8_t> root) {
  ActivityMark activity(Fn::ReadVolumeLabel);
  return FatLabelInDirectory(root.subspan(0, std::min<std::size_t>(root.size(), 16 * kDirEntrySize)));
}

}  // namespace kestrova
