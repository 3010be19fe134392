// NTFS file records: the attribute walk and the record header fields. Records
// come from disk (or from free space): every offset is checked against the
// record before it is used.
#pragma once

#include "fs/ntfs/ntfs_format.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace kestrova {

inline constexpr std::uint32_t kAttrStandardInformation = 0x10;
inline constexpr std::uint32_t kAttrAttributeList = 0x20;
inline constexpr std::uint32_t kAttrFileName = 0x30;
inline constexpr std::uint32_t kAttrData = 0x80;
inline constexpr std::uint32_t kAttrIndexRoot = 0x90;
inline constexpr std::uint32_t kAttrIndexAllocation = 0xA0;
inline constexpr std::uint32_t kAttrLoggedUtilityStream = 0x100;
inline constexpr std::size_t kMaxResidentValue = 0x80000;

struct AttributeRef {
  std::size_t header = 0;  // offset of the attribute in the record
  std::uint32_t length = 0;
  bool resident = true;
  std::uint16_t instance = 0;
  std::uint16_t flags = 0;  // 0x0001 compressed
  bool compressed() const { return flags & 1; }
  // resident
  std::size_t valueOffset = 0;  // in the record
  std::uint32_t valueLength = 0;
  // non-resident
  std::size_t runsOffset = 0;  // in the record
  std::uint64_t dataSize = 0;
  std::uint64_t lowestVcn = 0;  // the first virtual cluster this extent maps
  std::uint8_t nameLength = 0;
  std::size_t nameOffset = 0;
};

// The first attribute of the type (unnamed only when `unnamed`). A $FILE_NAME
// in the DOS namespace is passed over for a following $FILE_NAME (the long
// name). Nothing when the walk ends first or a length is out of bounds.
std::optional<AttributeRef> FindAttribute(std::span<const std::uint8_t> record, std::uint32_t type,
                                          bool unnamed = false);

// Calls `f(type, attribute)` for each attribute of the record, in order, with
// the same bounds as FindAttribute, until it returns true.
void ForEachAttribute(std::span<const std::uint8_t> record,
                      const std::function<bool(std::uint32_t, const AttributeRef&)>& f);

// The attribute's value when it is resident and within the record.
std::span<const std::uint8_t> ResidentValue(std::span<const std::uint8_t> record, const AttributeRef& a);
// The run list of a non-resident attribute (up to the attribute's end).
std::span<const std::uint8_t> RunListOf(std::span<const std::uint8_t> record, const AttributeRef& a);
// The name in a $FILE_NAME value (length at 0x40, UTF-16 at 0x42), cut at the value's end.
std::u16string FileNameText(std::span<const std::uint8_t> fileNameValue);
// The attribute's name (UTF-16).
std::u16string AttributeName(std::span<const std::uint8_t> record, const AttributeRef& a);

using RecordHeader = NtfsRecordHeader;
inline std::optional<RecordHeader> ReadRecordHeader(std::span<const std::uint8_t> record) {
  return ParseNtfsRecordHeader(record);
}

}  // namespace kestrova
