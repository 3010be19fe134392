// The hex view's core: an entry's data read on demand through the readers'
// range reads, one block cached, and the rows of the classic dump (offset,
// sixteen bytes in hex, their characters). Nothing is recovered first.
#pragma once

#include "common/fs_type.h"
#include "scan/scan_entry.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestrova {

inline constexpr std::uint64_t kHexRowBytes = 16;

// The size the view shows: 64-bit on NTFS and exFAT, the low 32 bits on FAT.
std::uint64_t HexEntrySize(const ScanEntry& e, FsType fs);
// size / 16, plus one for a partial last row.
std::uint64_t HexTotalRows(std::uint64_t size);
// Rows per scroll-bar unit: 256 once the rows exceed 0x0FFFFFFF (the scroll bar's range is 32-bit).
std::uint64_t HexRowsPerScrollUnit(std::uint64_t totalRows);

struct HexRow {
  std::uint8_t bytes[kHexRowBytes] = {};
  unsigned length = 0;           // bytes of the entry in this row (the last row may be partial)
  std::uint16_t unreadable = 0;  // bit i: byte i could not be read (never stale data)
};

// One cached block of the entry's data (a cluster; four sectors for a RAW
// sector range). Moving within the block reads nothing.
class HexBlockCache {
 public:
  // length bytes from offset; fewer when the data cannot be read there.
  using ReadFn = std::function<std::vector<std::uint8_t>(std::uint64_t offset, std::uint64_t length)>;
  HexBlockCache(ReadFn read, std::uint64_t blockSize);

  // A new entry: nothing cached.
  void Reset(std::uint64_t entrySize);
  HexRow FetchRow(std::uint64_t row);
  std::uint64_t entrySize() const { return size_; }
  std::uint64_t reads() const { return reads_; }

 private:
  void Load(std::uint64_t block);

  ReadFn read_;
  std::uint64_t blockSize_;
  std::uint64_t size_ = 0;
  std::vector<std::uint8_t> block_;
  std::uint64_t blockIndex_ = ~std::uint64_t{0};  // -1: nothing cached
  std::uint64_t valid_ = 0;                       // bytes of the block that were read
  std::uint64_t reads_ = 0;
};

// "%010llX" of the row's offset.
std::u16string HexOffsetText(std::uint64_t row);
// The sixteen bytes "00 11 22 33 44 55 66 77  88 99 ..."; past the end blanks,
// unreadable bytes "??".
std::u16string HexBytesText(const HexRow& row);
// Below 32 and 128..159 as '.', others as the Latin-1 character; blank past
// the end and for unreadable bytes.
std::u16string HexCharsText(const HexRow& row);
// offset, two blanks, bytes, three blanks, characters.
std::u16string HexLine(std::uint64_t row, const HexRow& data);
// "Offset" and the column digits, aligned with HexLine.
std::u16string HexHeaderLine();

}  // namespace kestrova
