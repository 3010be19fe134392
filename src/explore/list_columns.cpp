#include "explore/list_columns.h"

#include "common/text.h"
#include "resources/strings.h"
#include "scan/entry_ops.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

namespace kestrova {

namespace {

std::u16string Ascii(const char* text) {
  std::u16string out;
  for (const char* p = text; *p; ++p) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*p)));
  return out;
}

bool Navigation(const ScanEntry& e) { return e.kind >= static_cast<std::uint8_t>(EntryKind::ParentLink); }

std::uint64_t SizeOf(const ScanEntry& e, FsType fs) {
  return fs == FsType::Exfat || fs == FsType::Ntfs ? e.size : (e.size & 0xFFFFFFFFu);
}

std::u16string_view Extension(std::u16string_view name) {
  const auto dot = name.rfind(u'.');
  if (dot == std::u16string_view::npos || dot + 1 >= name.size()) return {};
  return name.substr(dot + 1);
}

std::uint64_t DateKey(const ScanEntry& e, FsType fs) {
  if (fs == FsType::Ntfs) return e.FileTime();
  if (fs == FsType::Exfat) return e.ExfatTime();
  return e.FatDate();
}

template <typename T>
int Order(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace

std::u16string ListSizeText(const ScanEntry& e, FsType fs, bool folder) {
  if (folder || Navigation(e)) return {};
  const std::uint64_t size = SizeOf(e, fs);
  const char* unit = "B";
  std::uint64_t value = size;
  if (size >= 0x40000000ull) {
    value = size / 0x40000000ull;
    unit = "GB";
  } else if (size >= 0x100000ull) {
    value = size / 0x100000ull;
    unit = "MB";
  } else if (size >= 1024) {
    value = size / 1024;
    unit = "kB";
  }
  char buf[40];
  std::snprintf(buf, sizeof buf, "%llu %s", static_cast<unsigned long long>(value), unit);
  return Ascii(buf);
}

std::u16string ListTypeText(std::u16string_view name, bool folder) {
  if (folder) return {};
  std::u16string ext(Extension(name));
  for (char16_t& c : ext)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return ext;
}

std::u16string ListDateText(const ScanEntry& e, FsType fs) {
  if (Navigation(e)) return {};
  if (e.Kind() == EntryKind::Raw) return Text(StringId::NotAvailable);
  char buf[40];
  if (fs == FsType::Ntfs) {
    CivilTime t;
    if (!FileTimeToCivil(e.FileTime(), t)) return {};
    std::snprintf(buf, sizeof buf, "%d-%.2d-%.2d", t.year, t.month, t.day);
    return Ascii(buf);
  }
  if (fs == FsType::Exfat) {
    const std::uint32_t t = e.ExfatTime();
    if (t == 0) return {};
    std::snprintf(buf, sizeof buf, "%u-%.2u-%.2u %.2u:%.2u", (t >> 25) + 1980u, (t >> 21) & 0x0Fu, (t >> 16) & 0x1Fu,
                  (t >> 11) & 0x1Fu, (t >> 5) & 0x3Fu);
    return Ascii(buf);
  }
  const std::uint16_t d = e.FatDate();
  if (d == 0) return {};
  std::snprintf(buf, sizeof buf, "%u-%.2u-%.2u", (d >> 9) + 1980u, (d >> 5) & 0x0Fu, d & 0x1Fu);
  return Ascii(buf);
}

std::optional<int> ShownRating(const ScanEntry& e, FsType fs, bool folder) {
  if (e.kind > 5) return std::nullopt;  // navigation and virtual items
  if (fs == FsType::Ntfs && folder) return std::nullopt;
  if (e.rating == rating::kInUse) return 100;
  if (e.rating == rating::kRawClosed) return 110;
  return e.rating;
}

int CompareByColumn(const ScanEntry& a, std::u16string_view aName, bool aFolder, const ScanEntry& b,
                    std::u16string_view bName, bool bFolder, ListColumn column, FsType fs) {
  switch (column) {
    case ListColumn::Name:
      return CompareNoCase(aName, bName);
    case ListColumn::Size:
      return Order(SizeOf(a, fs), SizeOf(b, fs));
    case ListColumn::Type:
      return CompareNoCase(aFolder ? std::u16string_view{} : Extension(aName),
                           bFolder ? std::u16string_view{} : Extension(bName));
    case ListColumn::Date:
      return Order(DateKey(a, fs), DateKey(b, fs));
    case ListColumn::Rating:
      return Order(a.rating, b.rating);
  }
  return 0;
}

namespace {

template <typename Less>
std::vector<std::size_t> StableOrder(std::size_t count, bool ascending, Less less) {
  std::vector<std::size_t> order(count);
  std::iota(order.begin(), order.end(), std::size_t{0});
  if (ascending)
    std::stable_sort(order.begin(), order.end(), less);
  else
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return less(b, a); });
  return order;
}

}  // namespace

std::vector<std::size_t> SortedOrder(std::span<const ListSortItem> items, ListColumn column, bool ascending,
                                     FsType fs) {
  const std::size_t n = items.size();
  if (column == ListColumn::Name || column == ListColumn::Type) {
    // All folded texts in one buffer: one allocation instead of one per item.
    std::vector<std::size_t> start(n + 1);
    std::size_t total = 0;
    for (std::size_t i = 0; i < n; ++i) {
      start[i] = total;
      const ListSortItem& it = items[i];
      total += column == ListColumn::Name ? it.name.size() : (it.folder ? 0 : Extension(it.name).size());
    }
    start[n] = total;
    std::u16string folded(total, u'\0');
    for (std::size_t i = 0; i < n; ++i) {
      const ListSortItem& it = items[i];
      const std::u16string_view text =
          column == ListColumn::Name ? it.name : (it.folder ? std::u16string_view{} : Extension(it.name));
      std::transform(text.begin(), text.end(), folded.begin() + static_cast<std::ptrdiff_t>(start[i]), LowerChar);
    }
    const std::u16string_view all(folded);
    // Names in a folder often share a start ("IMG_"); past the part common to
    // all of them, the next eight characters packed into two numbers settle most
    // comparisons without reaching into the text buffer.
    std::size_t common = n == 0 ? 0 : start[1] - start[0];
    for (std::size_t i = 1; i < n && common > 0; ++i) {
      const std::size_t len = std::min(common, start[i + 1] - start[i]);
      std::size_t k = 0;
      while (k < len && folded[start[i] + k] == folded[k]) ++k;
      common = k;
    }
    struct Key {
      std::uint64_t head[2];  // characters common..common+7, zero past the end
      std::size_t index;
    };
    std::vector<Key> keys(n);
    for (std::size_t i = 0; i < n; ++i) {
      Key& key = keys[i];
      key.index = i;
      for (std::size_t k = 0; k < 8; ++k) {
        const std::size_t at = start[i] + common + k;
        std::uint64_t& part = key.head[k / 4];
        part = (part << 16) | (at < start[i + 1] ? folded[at] : 0u);
      }
    }
    // Code-unit order, shorter first on a common prefix: the same as CompareNoCase.
    const auto rest = [&](std::size_t i) { return all.substr(start[i] + common, start[i + 1] - start[i] - common); };
    const auto less = [&](const Key& a, const Key& b) {
      if (a.head[0] != b.head[0]) return a.head[0] < b.head[0];
      if (a.head[1] != b.head[1]) return a.head[1] < b.head[1];
      return rest(a.index) < rest(b.index);
    };
    if (ascending)
      std::stable_sort(keys.begin(), keys.end(), less);
    else
      std::stable_sort(keys.begin(), keys.end(), [&](const Key& a, const Key& b) { return less(b, a); });
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = keys[i].index;
    return order;
  }
  std::vector<std::uint64_t> keys(n);
  for (std::size_t i = 0; i < n; ++i) {
    const ScanEntry& e = *items[i].entry;
    switch (column) {
      case ListColumn::Size: keys[i] = SizeOf(e, fs); break;
      case ListColumn::Date: keys[i] = DateKey(e, fs); break;
      default: keys[i] = e.rating; break;
    }
  }
  return StableOrder(n, ascending, [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
}

}  // namespace kestrova
