#include "scan/entry_ops.h"

#include "common/civil_date.h"
#include "common/number_text.h"
#include "common/text.h"
#include "resources/strings.h"

#include <cstdio>
#include <optional>

namespace kestrova {
namespace {

std::u16string U16(const char* s) { return ToUtf16(s); }

std::optional<std::u16string> MonthName(int month) {
  if (month < 1 || month > 12) return std::nullopt;
  return Text(static_cast<StringId>(static_cast<std::size_t>(StringId::Month1) + static_cast<std::size_t>(month - 1)));
}

// "%u %s %.2u": year, month name, day.
std::u16string YearMonthDay(int year, int month, int day) {
  const std::optional<std::u16string> name = MonthName(month);
  if (!name) return Text(StringId::NotAvailable);
  char y[16], d[16];
  std::snprintf(y, sizeof y, "%u", static_cast<unsigned>(year));
  std::snprintf(d, sizeof d, "%.2u", static_cast<unsigned>(day));
  return U16(y) + u" " + *name + u" " + U16(d);
}


}  // namespace

bool IsFolder(const ScanEntry& e, FsType fs) {
  if (e.attributes & kAttrDirectory) return true;
  return fs == FsType::Ntfs && (e.NtfsFlags() & kNtfsDirectory);
}

std::u16string DisplayName(const ScanEntry& e, const std::u16string* storedName, const SignatureExtensions& exts) {
  if (e.name == kGeneratedName) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%.9u", e.RawSequence());
    return U16(digits) + exts.Of(e.RawSignature());
  }
  return storedName ? *storedName : std::u16string();
}

ColourCategory CategoryOf(const ScanEntry& e, FsType fs, std::u16string_view name) {
  const auto kind = e.Kind();
  ColourCategory c;
  if (fs == FsType::Ntfs) {
    if (e.kind >= static_cast<std::uint8_t>(EntryKind::ParentLink)) {
      c = ColourCategory::Existing;
    } else if (e.rating < rating::kIntact) {
      c = ColourCategory::Overwritten;
    } else {
      if (!name.empty() && name[0] == u'$' && kind != EntryKind::Raw)
        c = ColourCategory::Special;
      else if (e.NtfsFlags() & kNtfsEncrypted)
        c = ColourCategory::Encrypted;
      else if (e.NtfsFlags() & kNtfsCompressed)
        c = ColourCategory::Compressed;
      else if (e.rating == rating::kIntact || e.rating == rating::kNotComputed)
        c = ColourCategory::Deleted;
      else
        c = ColourCategory::Existing;
      if (kind == EntryKind::NotDetected) c = ColourCategory::NotDetected;
    }
  } else {
    c = (e.DeletedMark() == 1 || e.clusterInUse == 0) ? ColourCategory::Deleted : ColourCategory::Existing;
    if (kind == EntryKind::Overwritten) c = ColourCategory::Overwritten;
    if (kind == EntryKind::NotDetected) c = ColourCategory::NotDetected;
  }
  if (kind == EntryKind::VirtualFolder || kind == EntryKind::VirtualParentLink) c = ColourCategory::VirtualFolder;
  if (e.rating == rating::kRawClosed) c = ColourCategory::Deleted;
  return c;
}

EntryStatus StatusOf(const ScanEntry& e, FsType fs) {
  EntryStatus s;
  if (fs == FsType::Ntfs) {
    s.deleted = e.rating <= rating::kIntact;
    s.detected = s.deleted && e.rating == rating::kIntact;
    s.overwritten = s.deleted && e.rating != rating::kIntact;
  } else if (e.Kind() == EntryKind::Overwritten) {
    s.deleted = s.overwritten = true;
  } else if (e.DeletedMark() == 1 || e.clusterInUse == 0) {
    s.deleted = s.detected = true;
  }
  return s;
}

bool FileTimeToCivil(std::uint64_t filetime, CivilTime& out) {
  if (filetime == 0) return false;
  constexpr std::uint64_t kTicksPerSecond = 10000000;
  constexpr std::int64_t kSecondsTo1970 = 11644473600;
  const auto seconds = static_cast<std::int64_t>(filetime / kTicksPerSecond) - kSecondsTo1970;
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  const CivilDate date = CivilFromDays(days);
  out.year = date.year;
  out.month = date.month;
  out.day = date.day;
  out.hour = static_cast<int>(rest / 3600);
  out.minute = static_cast<int>(rest / 60 % 60);
  out.second = static_cast<int>(rest % 60);
  return true;
}

std::u16string PropertiesDate(const ScanEntry& e, FsType fs) {
  const auto kind = e.Kind();
  if (kind == EntryKind::Raw || kind == EntryKind::VirtualFolder) return Text(StringId::NotAvailable);
  if (fs == FsType::Ntfs) {
    CivilTime t;
    if (!FileTimeToCivil(e.FileTime(), t)) return Text(StringId::NotAvailable);
    const std::optional<std::u16string> month = MonthName(t.month);
    if (!month) return Text(StringId::NotAvailable);
    char day[16], rest[48];
    std::snprintf(day, sizeof day, "%i", t.day);
    std::snprintf(rest, sizeof rest, "%i, %.2i:%.2i:%.2i", t.year, t.hour, t.minute, t.second);
    return U16(day) + u" " + *month + u" " + U16(rest);
  }
  if (fs == FsType::Exfat) {
    const std::uint32_t t = e.ExfatTime();
    if (t == 0) return Text(StringId::NotAvailable);
    return YearMonthDay(static_cast<int>((t >> 25) + 1980), static_cast<int>((t >> 21) & 0x0F),
                        static_cast<int>((t >> 16) & 0x1F));
  }
  const std::uint16_t d = e.FatDate();
  if (d == 0) return Text(StringId::NotAvailable);
  return YearMonthDay((d >> 9) + 1980, (d >> 5) & 0x0F, d & 0x1F);
}

std::u16string DisplaySize(std::uint64_t bytes) {
  std::uint64_t shown = bytes;
  StringId unit = StringId::UnitBytes;
  if (bytes >= 0x40000000) {
    shown = bytes / 0x40000000;
    unit = StringId::UnitGb;
  } else if (bytes >= 0x100000) {
    shown = bytes / 0x100000;
    unit = StringId::UnitMb;
  } else if (bytes >= 1024) {
    shown = bytes / 1024;
    unit = StringId::UnitKb;
  }
  return FillPlaceholders(Text(StringId::DisplaySize),
                          {ToUtf16(GroupNumber(shown)), Text(unit), ToUtf16(GroupNumber(bytes))});
}

}  // namespace kestrova
