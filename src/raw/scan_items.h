// The file types the RAW scan recognises: one static table of 160 rows. A RAW
// result stores its row's position (itemIndex) and session files keep it, so
// the order of the rows is fixed for good: new types go before ".last" only by
// replacing a spare row, never by moving one.
#pragma once

#include "common/le.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova {

struct FindContext;

// Validity test: non-zero accepts the sector. Size measure: the file's size in
// bytes, 0 to reject. Both are plain pointers; a row without a measure is a
// pending find that runs to the next header, at most its maxSize.
using ValidateFn = bool (*)(FindContext&);
using MeasureFn = std::uint32_t (*)(FindContext&);

// How a header row is recognised at a sector.
enum class HeaderTest : std::uint8_t {
  Signature,  // the signature from byte 0
  Mts,        // the signature at offset 4 (transport packet behind its time code)
  Ace,        // "**ACE**" at offset 7
  Mp4,        // "ftyp" at 4 and "mp4" (any case) within the 32 bytes from 8
  ThreeGp,    // "ftyp3g" at 4
  Mov,        // "ftypqt" or "moov" at 4
  Ndw,        // its own byte rules, else the stored signature
};

inline constexpr std::size_t kScanItemCount = 160;
inline constexpr std::size_t kSignatureMax = 32;

struct ScanItem {
  std::uint16_t itemIndex = 0;
  bool primary = true;  // represents its extension in the count rebuild
  std::array<std::uint8_t, kSignatureMax> signature{};
  std::uint8_t signatureLength = 0;
  HeaderTest test = HeaderTest::Signature;
  std::string_view extension;   // with its dot: ".jpg", ".A.txt"
  std::string_view folderName;  // sub-folder under "RAW files"
  ValidateFn validate = nullptr;
  MeasureFn measure = nullptr;
  bool derived = false;         // reached only by re-typing, never measured directly
  std::uint32_t maxSize = 0;    // pending finds: assumed size when no later header ends the file
  std::string_view description;

  std::string_view ExtensionNoDot() const { return extension.empty() ? extension : extension.substr(1); }
};

using ScanItemTable = std::array<ScanItem, kScanItemCount>;

// The program's table.
const ScanItemTable& DefaultScanItemTable();

// Rows the header test tries at every sector, in order: the first that accepts wins.
inline constexpr std::size_t kHeaderScanOrderCount = 87;
extern const std::array<std::uint16_t, kHeaderScanOrderCount> kHeaderScanOrder;
// Rows assigned only by a measure or a text classifier; the last element (item
// 90) is the end marker and not a member.
inline constexpr std::size_t kDerivedItemCount = 67;
extern const std::array<std::uint16_t, kDerivedItemCount + 1> kDerivedItems;
inline constexpr std::uint16_t kDerivedEndMarker = 90;

// Items the scan loop treats specially.
namespace item {
inline constexpr std::uint16_t kFirst = 0;
inline constexpr std::uint16_t kIso = 46;
inline constexpr std::uint16_t kMpegB9 = 47;
inline constexpr std::uint16_t kMpegBA = 48;
inline constexpr std::uint16_t kZip = 70;
inline constexpr std::uint16_t kMp3Sync = 73;
inline constexpr std::uint16_t kMp3Id3v2 = 74;
inline constexpr std::uint16_t kMp3Id3v3 = 75;
inline constexpr std::uint16_t kJpeg = 82;
inline constexpr std::uint16_t kLast = 159;
}  // namespace item

// The row of an index; null outside the table.
const ScanItem* ItemByIndex(const ScanItemTable& table, std::size_t index);
// "%0.9i%s": the serial as nine digits followed by the row's extension.
std::u16string AutoName(const ScanItemTable& table, std::uint32_t serial, std::size_t index);
// The extension without its dot, as UTF-16 and as 8-bit text.
std::u16string ExtensionNoDot16(const ScanItem& row);
std::string ExtensionNoDot8(const ScanItem& row);
// Extensions by item index, for the generated names of the explorer.
std::vector<std::u16string> ItemExtensions(const ScanItemTable& table);

// The table's own check: the last row must be ".last".
bool ScanItemTableIntact(std::span<const ScanItem> table);

// Bytes a row's test needs at the sector.
std::size_t HeaderBytesNeeded(const ScanItem& row);
// The row's signature or special test on the bytes at a sector (false when
// fewer bytes than needed are given).
bool HeaderFits(const ScanItem& row, Bytes at);

// The header test dispatched on the sector's first byte: each first byte has
// the list of HeaderScanOrder rows that can fit it (the ordinary rows with that
// first byte, and the special tests), in test order, so data that matches
// nothing costs a handful of compares instead of 87.
class HeaderMatcher {
 public:
  explicit HeaderMatcher(const ScanItemTable& table);

  struct Match {
    const ScanItem* row = nullptr;  // null: no (further) row fits
    bool needMore = false;          // fewer bytes than a candidate's test needs
  };
  // The next fitting row after *cursor (start with 0); the cursor moves past it,
  // so a row that its routines reject lets the walk go on with the next one.
  Match Next(Bytes at, std::size_t& cursor) const;
  // The candidates tried for a first byte, in test order.
  std::span<const std::uint16_t> Candidates(std::uint8_t firstByte) const;

 private:
  const ScanItemTable& table_;
  std::array<std::uint16_t, 257> start_{};  // candidates of byte b: flat_[start_[b] .. start_[b + 1])
  std::vector<std::uint16_t> flat_;         // item indices
};

// The first row of HeaderScanOrder whose test fits, or null.
const ScanItem* MatchHeader(const HeaderMatcher& matcher, Bytes at);

}  // namespace kestrova
