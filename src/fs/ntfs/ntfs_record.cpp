#include "fs/ntfs/ntfs_record.h"

#include "common/activity.h"

#include "common/le.h"

#include <string>

namespace kestrova {

namespace {

std::optional<AttributeRef> AttributeAt(std::span<const std::uint8_t> r, std::size_t at) {
  if (at + 0x18 > r.size()) return std::nullopt;
  AttributeRef a;
  a.header = at;
  a.length = LoadLe32(r, at + 4);
  if (a.length < 0x18 || a.length > r.size() - at) return std::nullopt;
  a.resident = r[at + 8] == 0;
  a.nameLength = r[at + 9];
  a.nameOffset = at + LoadLe16(r, at + 10);
  a.instance = LoadLe16(r, at + 0x0E);
  a.flags = LoadLe16(r, at + 0x0C);
  if (a.resident) {
    a.valueLength = LoadLe32(r, at + 0x10);
    a.valueOffset = at + LoadLe16(r, at + 0x14);
  } else {
    if (a.length < 0x40) return std::nullopt;
    a.runsOffset = at + LoadLe16(r, at + 0x20);
    a.dataSize = LoadLe64(r, at + 0x30);
    a.lowestVcn = LoadLe64(r, at + 0x10);
  }
  return a;
}

}  // namespace

std::optional<AttributeRef> FindAttribute(std::span<const std::uint8_t> r, std::uint32_t type, bool unnamed) {
  const auto h = ReadRecordHeader(r);
  if (!h) return std::nullopt;
  std::size_t at = h->firstAttribute;
  std::uint64_t sum = at;
  for (int guard = 0; guard < 256; ++guard) {
    if (at + 8 > r.size()) return std::nullopt;
    const std::uint32_t t = LoadLe32(r, at);
    if (t == 0xFFFFFFFF || t == 0 || t % 16 != 0) return std::nullopt;
    const auto a = AttributeAt(r, at);
    if (!a) return std::nullopt;
    if (t == type && (!unnamed || a->nameLength == 0)) {
      // A DOS-namespace name gives way to the long name that follows it.
      if (t == kAttrFileName && a->resident) {
        const auto v = ResidentValue(r, *a);
        if (v.size() > 0x41 && v[0x41] == 2) {
          const std::size_t nextAt = at + a->length;
          if (nextAt + 8 <= r.size() && LoadLe32(r, nextAt) == kAttrFileName) {
            if (auto next = AttributeAt(r, nextAt)) return next;
          }
        }
      }
      return a;
    }
    sum += a->length;
    if (sum >= h->bytesInUse) return std::nullopt;
    at += a->length;
  }
  return std::nullopt;
}

void ForEachAttribute(std::span<const std::uint8_t> r,
                      const std::function<bool(std::uint32_t, const AttributeRef&)>& f) {
  const auto h = ReadRecordHeader(r);
  if (!h) return;
  std::size_t at = h->firstAttribute;
  std::uint64_t sum = at;
  for (int guard = 0; guard < 256; ++guard) {
    if (at + 8 > r.size()) return;
    const std::uint32_t t = LoadLe32(r, at);
    if (t == 0xFFFFFFFF || t == 0 || t % 16 != 0) return;
    const auto a = AttributeAt(r, at);
    if (!a || f(t, *a)) return;
    sum += a->length;
    if (sum >= h->bytesInUse) return;
    at += a->length;
  }
}

std::span<const std::uint8_t> ResidentValue(std::span<const std::uint8_t> r, const AttributeRef& a) {
  if (!a.resident || a.valueLength > kMaxResidentValue || a.valueOffset > r.size() ||
      a.valueLength > r.size() - a.valueOffset || a.valueOffset + a.valueLength > a.header + a.length)
    return {};
  return r.subspan(a.valueOffset, a.valueLength);
}

std::span<const std::uint8_t> RunListOf(std::span<const std::uint8_t> r, const AttributeRef& a) {
  ActivityMark activity(Fn::RunListOf);
  if (a.resident || a.runsOffset >= a.header + a.length || a.runsOffset - a.header > 256) return {};
  return r.subspan(a.runsOffset, a.header + a.length - a.runsOffset);
}

std::u16string AttributeName(std::span<const std::uint8_t> r, const AttributeRef& a) {
  std::u16string name;
  for (std::size_t i = 0; i < a.nameLength && a.nameOffset + 2 * i + 2 <= r.size(); ++i)
    name.push_back(static_cast<char16_t>(LoadLe16(r, a.nameOffset + 2 * i)));
  return name;
}

std::u16string FileNameText(std::span<const std::uint8_t> value) {
  std::u16string name;
  const std::size_t length = value.size() > 0x40 ? value[0x40] : 0;
  for (std::size_t i = 0; i < length && 0x42 + 2 * i + 2 <= value.size(); ++i)
    name.push_back(static_cast<char16_t>(LoadLe16(value, 0x42 + 2 * i)));
  return name;
}

}  // namespace kestrova
