#include "tools/hex_view.h"

#include "common/activity.h"
#include "resources/strings.h"

#include <algorithm>
#include <cstdio>

namespace kestrova {

std::uint64_t HexEntrySize(const ScanEntry& e, FsType fs) {
  if (fs == FsType::Ntfs || fs == FsType::Exfat) return e.size;
  return e.size & 0xFFFFFFFFull;
}

std::uint64_t HexTotalRows(std::uint64_t size) { return size / kHexRowBytes + (size % kHexRowBytes ? 1 : 0); }

std::uint64_t HexRowsPerScrollUnit(std::uint64_t totalRows) { return totalRows > 0x0FFFFFFFull ? 256 : 1; }

HexBlockCache::HexBlockCache(ReadFn read, std::uint64_t blockSize)
    : read_(std::move(read)), blockSize_(std::max<std::uint64_t>(kHexRowBytes, blockSize / kHexRowBytes * kHexRowBytes)) {}

void HexBlockCache::Reset(std::uint64_t entrySize) {
  size_ = entrySize;
  blockIndex_ = ~std::uint64_t{0};
  valid_ = 0;
  block_.clear();
}

void HexBlockCache::Load(std::uint64_t block) {
  ActivityMark activity(Fn::HexViewFetch);
  const std::uint64_t start = block * blockSize_;
  const std::uint64_t want = std::min(blockSize_, size_ - start);
  // What the read does not deliver is unreadable: the old block is dropped
  // first so none of its bytes can show for this one.
  block_.clear();
  valid_ = 0;
  blockIndex_ = block;
  ++reads_;
  std::vector<std::uint8_t> got = read_ ? read_(start, want) : std::vector<std::uint8_t>{};
  if (got.size() > want) got.resize(static_cast<std::size_t>(want));
  valid_ = got.size();
  block_ = std::move(got);
}

HexRow HexBlockCache::FetchRow(std::uint64_t row) {
  HexRow r;
  if (row >= HexTotalRows(size_)) return r;
  const std::uint64_t offset = row * kHexRowBytes;
  r.length = static_cast<unsigned>(std::min<std::uint64_t>(kHexRowBytes, size_ - offset));
  const std::uint64_t block = offset / blockSize_;
  if (block != blockIndex_) Load(block);
  const std::uint64_t within = offset % blockSize_;
  for (unsigned i = 0; i < r.length; ++i) {
    if (within + i < valid_) {
      r.bytes[i] = block_[static_cast<std::size_t>(within + i)];
    } else {
      r.unreadable |= static_cast<std::uint16_t>(1u << i);
    }
  }
  return r;
}

std::u16string HexOffsetText(std::uint64_t row) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%010llX", static_cast<unsigned long long>(row * kHexRowBytes));
  return std::u16string(buf, buf + std::char_traits<char>::length(buf));
}

std::u16string HexBytesText(const HexRow& row) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string out;
  for (unsigned i = 0; i < kHexRowBytes; ++i) {
    if (i > 0) out += i == 8 ? u"  " : u" ";
    if (i >= row.length) {
      out += u"  ";
    } else if (row.unreadable & (1u << i)) {
      out += u"??";
    } else {
      out += kDigits[row.bytes[i] >> 4];
      out += kDigits[row.bytes[i] & 15];
    }
  }
  return out;
}

std::u16string HexCharsText(const HexRow& row) {
  std::u16string out;
  for (unsigned i = 0; i < kHexRowBytes; ++i) {
    if (i >= row.length || (row.unreadable & (1u << i))) {
      out += u' ';
      continue;
    }
    const std::uint8_t b = row.bytes[i];
    out += (b < 32 || (b >= 128 && b <= 159)) ? u'.' : static_cast<char16_t>(b);
  }
  return out;
}

std::u16string HexLine(std::uint64_t row, const HexRow& data) {
  return HexOffsetText(row) + u"  " + HexBytesText(data) + u"   " + HexCharsText(data);
}

std::u16string HexHeaderLine() {
  std::u16string head = Text(StringId::HexOffsetHeader);
  if (head.size() < 10) head.append(10 - head.size(), u' ');
  return head + u"  0  1  2  3  4  5  6  7   8  9  A  B  C  D  E  F";
}

}  // namespace kestrova
