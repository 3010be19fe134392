#include "scanner/scan_resume.h"

#include "common/le.h"

#include <algorithm>
#include <cstring>

namespace kestrova {
namespace {

constexpr char kMagic[4] = {'K', 'V', 'S', 'P'};
constexpr std::uint32_t kVersion = 1;
// NTFS names are at most 255 UTF-16 units; anything far beyond is damage.
constexpr std::uint32_t kMaxNameUnits = 4096;

class Writer {
 public:
  void Raw(const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    bytes.insert(bytes.end(), b, b + n);
  }
  void U8(std::uint8_t v) { bytes.push_back(v); }
  void U16(std::uint16_t v) { Le(v, 2); }
  void U32(std::uint32_t v) { Le(v, 4); }
  void U64(std::uint64_t v) { Le(v, 8); }
  std::vector<std::uint8_t> bytes;

 private:
  void Le(std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
};

// Reads forward; every read checks the bytes left and fails for good once short.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> b) : b_(b) {}
  bool Has(std::size_t n) const { return ok_ && b_.size() - at_ >= n; }
  std::size_t left() const { return b_.size() - at_; }
  bool ok() const { return ok_; }
  std::uint8_t U8() { return Take(1) ? LoadU8(b_, at_ - 1) : 0; }
  std::uint16_t U16() { return Take(2) ? LoadLe16(b_, at_ - 2) : 0; }
  std::uint32_t U32() { return Take(4) ? LoadLe32(b_, at_ - 4) : 0; }
  std::uint64_t U64() { return Take(8) ? LoadLe64(b_, at_ - 8) : 0; }
  bool Raw(void* p, std::size_t n) {
    if (!Take(n)) return false;
    std::memcpy(p, b_.data() + at_ - n, n);
    return true;
  }

 private:
  bool Take(std::size_t n) {
    if (!Has(n)) {
      ok_ = false;
      return false;
    }
    at_ += n;
    return true;
  }
  std::span<const std::uint8_t> b_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

}  // namespace

std::vector<std::uint8_t> EncodeScanState(const ScanPendingState& s) {
  Writer w;
  w.Raw(kMagic, 4);
  w.U32(kVersion);
  w.U32(static_cast<std::uint32_t>(s.raw.foundCounts.size()));
  for (std::uint32_t c : s.raw.foundCounts) w.U32(c);
  w.U8(s.raw.pendingOpen ? 1 : 0);
  if (s.raw.pendingOpen) {
    w.U16(s.raw.pendingRow);
    w.U64(s.raw.pendingFirstSector);
    w.U32(s.raw.pendingSize);
    w.U64(s.raw.pendingLimitSector);
    w.Raw(&s.raw.pendingEntry, sizeof s.raw.pendingEntry);
  }
  w.U32(static_cast<std::uint32_t>(s.ntfsBatch.size()));
  for (const ParsedRecord& r : s.ntfsBatch) {
    w.Raw(&r.entry, sizeof r.entry);
    const std::size_t units = std::min<std::size_t>(r.name.size(), kMaxNameUnits);
    w.U32(static_cast<std::uint32_t>(units));
    for (std::size_t i = 0; i < units; ++i) w.U16(static_cast<std::uint16_t>(r.name[i]));
  }
  return std::move(w.bytes);
}

bool DecodeScanState(std::span<const std::uint8_t> bytes, ScanPendingState& out) {
  Reader r(bytes);
  char magic[4] = {};
  if (!r.Raw(magic, 4) || std::memcmp(magic, kMagic, 4) != 0) return false;
  if (r.U32() != kVersion) return false;
  // Counts of another signature table would name the finds to come wrongly.
  if (r.U32() != kScanItemCount) return false;
  ScanPendingState s;
  for (std::uint32_t& c : s.raw.foundCounts) c = r.U32();
  const std::uint8_t open = r.U8();
  if (open > 1) return false;
  s.raw.pendingOpen = open == 1;
  if (s.raw.pendingOpen) {
    s.raw.pendingRow = r.U16();
    s.raw.pendingFirstSector = r.U64();
    s.raw.pendingSize = r.U32();
    s.raw.pendingLimitSector = r.U64();
    if (!r.Raw(&s.raw.pendingEntry, sizeof s.raw.pendingEntry)) return false;
    if (s.raw.pendingRow >= kScanItemCount || s.raw.pendingLimitSector < s.raw.pendingFirstSector) return false;
  }
  const std::uint32_t count = r.U32();
  if (!r.ok()) return false;
  // Each record takes at least its entry and its name length.
  if (count > r.left() / (sizeof(ScanEntry) + 4)) return false;
  s.ntfsBatch.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    ParsedRecord p;
    if (!r.Raw(&p.entry, sizeof p.entry)) return false;
    const std::uint32_t units = r.U32();
    if (units > kMaxNameUnits || !r.Has(std::size_t{units} * 2)) return false;
    p.name.resize(units);
    for (std::uint32_t u = 0; u < units; ++u) p.name[u] = static_cast<char16_t>(r.U16());
    s.ntfsBatch.push_back(std::move(p));
  }
  if (!r.ok() || r.left() != 0) return false;
  out = std::move(s);
  return true;
}

}  // namespace kestrova
