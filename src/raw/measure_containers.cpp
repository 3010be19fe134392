#include "raw/measure_containers.h"

#include "common/safe_name.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace kestrova::measure {
namespace {

constexpr std::uint64_t kU32Max = 0xFFFFFFFFu;
constexpr std::uint32_t KiB = 1024;
constexpr std::uint32_t MiB = 1048576;

// A size that does not fit the 32-bit size field rejects (0).
std::uint32_t Fit(std::uint64_t size) { return size <= kU32Max ? static_cast<std::uint32_t>(size) : 0; }

std::uint16_t LoadBe16(Bytes b, std::size_t off) {
  if (off > b.size() || b.size() - off < 2) return 0;
  return static_cast<std::uint16_t>((b[off] << 8) | b[off + 1]);
}

char Lower(std::uint8_t c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); }
bool IsDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }

// A text occurs within n bytes counted from `from` when a match starts below
// from + n - its length (and lies wholly inside the loaded bytes).
bool Within(Bytes b, std::size_t from, std::size_t n, std::string_view text, bool ignoreCase = false) {
  if (text.empty() || n <= text.size()) return false;
  const std::size_t last = std::min(from + n - text.size(), b.size() >= text.size() ? b.size() - text.size() + 1 : 0);
  for (std::size_t i = from; i < last; ++i) {
    std::size_t k = 0;
    while (k < text.size() && (ignoreCase ? Lower(b[i + k]) == Lower(static_cast<std::uint8_t>(text[k]))
                                          : b[i + k] == static_cast<std::uint8_t>(text[k])))
      ++k;
    if (k == text.size()) return true;
  }
  return false;
}

// A name read from inside the file becomes the find's own name through the
// same rule as every name the recovery writes. An empty name, or one that
// starts with a dot, is left as it is: the scanner then names the find by its
// serial.
void SetOwnName(FindScratch& scratch, std::u16string name) {
  if (name.empty() || name[0] == u'.') {
    scratch.ownName = std::move(name);
    return;
  }
  scratch.ownName = SafeOutputName(name);
}

// Reads at offsets from the find's first byte through one of the scanner's
// read-ahead buffers. Offsets may jump forward freely; going back works only
// within the bytes still loaded (the look-behind the read-ahead keeps). Only
// one walker per buffer may be in use at a time.
class Walker {
 public:
  enum Buffer { kFirst, kSecond };
  Walker(FindContext& c, Buffer buffer, std::size_t chunk)
      : scanner_(c.scanner), cursor_(c.cursor), second_(buffer == kSecond), chunk_(chunk) {}

  // The loaded bytes from off on, at least n of them; empty when they cannot be had.
  Bytes At(std::uint64_t off, std::size_t n) {
    if (n > kReadAheadMaxNeed || off > kMaxOffset) return {};
    if (off >= base_) {
      cursor_.pos += static_cast<std::size_t>(off - base_);
    } else {
      const std::uint64_t back = base_ - off;
      if (back > cursor_.pos) return {};
      cursor_.pos -= static_cast<std::size_t>(back);
    }
    base_ = off;
    if (cursor_.available() < n) {
      if (second_) scanner_.ReadAheadAt(cursor_, n, chunk_);
      else scanner_.ReadAhead(cursor_, n, chunk_);
      if (cursor_.available() < n) return {};
    }
    return cursor_.view();
  }

 private:
  static constexpr std::uint64_t kMaxOffset = 1ull << 34;  // far past any 32-bit size
  RawScanner& scanner_;
  ReadAheadCursor cursor_;
  bool second_;
  std::size_t chunk_;
  std::uint64_t base_ = 0;  // file offset of cursor_.pos
};

std::u16string Widen(Bytes b, std::size_t off, std::size_t n) {
  std::u16string s;
  for (std::size_t i = 0; i < n && off + i < b.size(); ++i) s.push_back(static_cast<char16_t>(b[off + i]));
  return s;
}

}  // namespace

// ---- Simple header measures ------------------------------------------------

std::uint32_t MeasureCab(FindContext& c) {
  const Bytes h = c.bytes();
  if (LoadLe32(h, 4) != 0 || LoadLe32(h, 12) != 0) return 0;
  return LoadLe32(h, 8);
}

std::uint32_t Measure7z(FindContext& c) {
  const Bytes h = c.bytes();
  const std::uint64_t offset = LoadLe64(h, 12), length = LoadLe64(h, 20);
  // Each part alone must fit 32 bits, so the sum cannot wrap.
  if (offset > kU32Max || length > kU32Max) return 0;
  const std::uint64_t size = offset + length + 32;
  if (size > kU32Max || size > 500ull * MiB) return 0;
  return static_cast<std::uint32_t>(size);
}

std::uint32_t MeasureHlp(FindContext& c) { return LoadLe32(c.bytes(), 12); }

std::uint32_t MeasureDcu(FindContext& c) {
  const std::uint32_t size = LoadLe32(c.bytes(), 4);
  return size <= 25 * MiB ? size : 0;
}

std::uint32_t MeasurePfx(FindContext& c) {
  const Bytes h = c.bytes();
  // SEQUENCE of two length bytes, then INTEGER 3 (the version) and the next SEQUENCE.
  if (LoadLe32(h, 4) != 0x30030102u) return 0;
  return LoadBe16(h, 2) + 4u;
}

std::uint32_t MeasureAcp(FindContext& c) { return LoadLe32(c.bytes(), 20); }

std::uint32_t MeasureLwo(FindContext& c) {
  c.scratch.MarkEstimate();
  const Bytes h = c.bytes();
  if (!BytesEqual(h, 8, "LWO")) return 0;
  const std::uint64_t size = static_cast<std::uint64_t>(LoadBe32(h, 4)) + 8;
  return size >= 128 && size <= 0x10800000u ? static_cast<std::uint32_t>(size) : 0;
}

std::uint32_t MeasureCdr(FindContext& c) {
  const Bytes h = c.bytes();
  if (!BytesEqual(h, 8, "CDR")) return 0;
  return Fit(static_cast<std::uint64_t>(LoadLe32(h, 4)) + 8);
}

std::uint32_t MeasurePst(FindContext& c) {
  const std::uint32_t x = LoadLe32(c.bytes(), 192);
  if (x < 256) return 0;
  return Fit(static_cast<std::uint64_t>(x) + 0x3E000u);
}

std::uint32_t MeasureDbx(FindContext& c) {
  const Bytes h = c.bytes();
  const std::uint32_t x = LoadLe32(h, 124), y = LoadLe32(h, 36);
  const std::uint64_t size = static_cast<std::uint64_t>(x) + ((y - x) & 0xFFFFu);
  return size < 256 ? 0 : Fit(size);
}

namespace {
// The ITSF header's two class identifiers in their binary form.
constexpr std::uint8_t kChmGuids[32] = {
    0x10, 0xFD, 0x01, 0x7C, 0xAA, 0x7B, 0xD0, 0x11, 0x9E, 0x0C, 0x00, 0xA0, 0xC9, 0x22, 0xE6, 0xEC,
    0x11, 0xFD, 0x01, 0x7C, 0xAA, 0x7B, 0xD0, 0x11, 0x9E, 0x0C, 0x00, 0xA0, 0xC9, 0x22, 0xE6, 0xEC,
};
}  // namespace

bool ValidateChm(FindContext& c) {
  const Bytes h = c.bytes();
  return h.size() >= 56 && std::memcmp(h.data() + 24, kChmGuids, sizeof kChmGuids) == 0;
}

std::uint32_t MeasureChm(FindContext& c) {
  const Bytes h = c.bytes();
  // Lands on the file-size field of the header section behind the ITSF header.
  for (std::size_t i = 0; i < 16; ++i) {
    const std::size_t e = 56 + 16 * i;
    if (LoadLe32(h, e + 8) == 0 && LoadLe32(h, e + 12) == 0) return LoadLe32(h, e);
  }
  return 0;
}

bool ValidateLdf(FindContext& c) { return LoadU8(c.bytes(), 36) == 2; }
bool ValidateMdf(FindContext& c) { return LoadU8(c.bytes(), 36) == 1; }
bool ValidateAlways(FindContext&) { return true; }

std::uint32_t MeasureIso(FindContext& c) {
  const Bytes h = c.bytes();
  std::uint64_t size = static_cast<std::uint64_t>(LoadLe16(h, 128)) * LoadLe32(h, 80);
  if (size < 512) return 0;
  // The volume identifier, without the blanks that pad it to 32 characters.
  std::u16string name = Widen(h, 40, 32);
  if (const auto nul = name.find(u'\0'); nul != std::u16string::npos) name.resize(nul);
  while (!name.empty() && name.back() == u' ') name.pop_back();
  SetOwnName(c.scratch, name + u".iso");
  if (size > kU32Max) {
    // A disc image past 4 GiB: the part the size field can hold, as an estimate.
    c.scratch.MarkEstimate();
    size = kU32Max - kU32Max % 2048;
  }
  return static_cast<std::uint32_t>(size);
}

namespace {

// An EBML variable-size integer at off: its length in bytes (0 when there is
// none) and its value without the length marker; `unknown` when all value
// bits are set (a size the writer left open).
unsigned EbmlNumber(Bytes b, std::size_t off, std::uint64_t& value, bool& unknown) {
  const std::uint8_t first = LoadU8(b, off);
  if (first == 0 || off >= b.size()) return 0;
  unsigned length = 1;
  while (!(first & (0x80u >> (length - 1)))) ++length;
  if (b.size() - off < length) return 0;
  value = first & (0xFFu >> length);
  bool allOnes = value == (0xFFu >> length);
  for (unsigned i = 1; i < length; ++i) {
    value = (value << 8) | b[off + i];
    allOnes = allOnes && b[off + i] == 0xFF;
  }
  unknown = allOnes;
  return length;
}

// The EBML header's end (where the Segment begins), 0 when it is not a whole
// header within the first sector.
std::size_t EbmlHeaderEnd(Bytes h) {
  std::uint64_t size = 0;
  bool unknown = false;
  const unsigned n = EbmlNumber(h, 4, size, unknown);
  if (!n || unknown || size > 256) return 0;
  return 4 + n + static_cast<std::size_t>(size);
}

}  // namespace

bool ValidateMkv(FindContext& c) {
  const Bytes h = c.bytes();
  if (BytesEqual(h, 8, "matroska")) return true;
  // Most writers put the EBML version first and the DocType further on.
  const std::size_t end = EbmlHeaderEnd(h);
  return end && Within(h, 5, end - 5, std::string_view("\x42\x82\x88matroska", 11));
}

std::uint32_t MeasureMkv(FindContext& c) {
  const Bytes h = c.bytes();
  // The file is the EBML header and one Segment: its ID, its size, its data.
  const std::size_t segment = EbmlHeaderEnd(h);
  if (!segment || LoadBe32(h, segment) != 0x18538067u) return 0;
  std::uint64_t size = 0;
  bool unknown = false;
  const unsigned n = EbmlNumber(h, segment + 4, size, unknown);
  if (!n || unknown || size >= (1ull << 32)) return 0;
  return Fit(segment + 4 + n + size);
}

std::uint32_t MeasureIndd(FindContext& c) {
  c.scratch.MarkEstimate();
  const std::uint64_t size = (static_cast<std::uint64_t>(LoadLe32(c.bytes(), 280)) + 2) * 4096;
  // The second master page repeats the header's signature.
  Walker w(c, Walker::kSecond, 8192);
  const Bytes page = w.At(4096, 16);
  if (page.size() < 16 || !c.row || std::memcmp(page.data(), c.row->signature.data(), 16) != 0) return 0;
  return Fit(size);
}

std::uint32_t MeasureNdw(FindContext& c) {
  c.scratch.MarkEstimate();
  const Bytes h = c.bytes();
  for (std::size_t i = 16; i < 32; ++i)
    if (LoadU8(h, i) != 0) return 0;
  const std::uint32_t n = LoadLe16(h, 8);
  if (n <= 4) return 0x11000;
  const std::uint32_t b = n * 16384;
  unsigned digits = 0;
  for (std::uint32_t v = b; v; v >>= 4) ++digits;
  return b + (1u << (4 * digits - 8));
}

std::uint32_t MeasurePspImage(FindContext& c) {
  const Bytes h = c.bytes();
  if (!BytesEqual(h, 36, "~BK")) return 0;
  std::uint64_t size = static_cast<std::uint64_t>(LoadLe32(h, 42)) + 46;
  Walker w(c, Walker::kSecond, 16 * KiB);
  for (unsigned block = 0; block < 65536 && size <= kU32Max; ++block) {
    const Bytes b = w.At(size, 10);
    if (!BytesEqual(b, 0, "~BK")) break;
    size += static_cast<std::uint64_t>(LoadLe32(b, 6)) + 10;
  }
  return Fit(size);
}

// ---- PITy documents ---------------------------------------------------------

namespace {
constexpr std::uint32_t kPityFallback = 33554432;  // 32 MiB
bool IsPitySeparator(std::uint8_t ch) { return ch == ' ' || ch == '\n' || ch == '\r' || ch == '\t' || ch == 0xFE; }
}  // namespace

std::uint32_t MeasurePityText(FindContext& c) {
  const Bytes h = c.bytes();
  std::u16string name = u"PITY2013NG.index";
  if (Within(h, 0, 320, "2012NG", true)) name = u"PITY2012NG.index";
  else if (Within(h, 0, 320, "2014NG", true)) name = u"PITY2014NG.index";
  SetOwnName(c.scratch, std::move(name));
  for (std::size_t k = 508; k >= 32; --k)
    if (k + 4 <= h.size() && h[k] == '\r' && h[k + 1] == '\n' && h[k + 2] == '\r' && h[k + 3] == '\n')
      return static_cast<std::uint32_t>(k + 4);
  c.scratch.MarkEstimate();  // no blank line ends the index: a fixed guess
  return 1024;
}

std::uint32_t MeasurePityBinary(FindContext& c) {
  Walker w(c, Walker::kFirst, 4096);
  const Bytes b = w.At(0, 1024);
  auto fallback = [&c]() -> std::uint32_t {
    c.scratch.MarkEstimate();
    return kPityFallback;
  };
  if (b.size() < 1024) return fallback();
  std::size_t p = 15;
  for (std::size_t n = 0; p < b.size() && IsDigit(b[p]) && n < 64; ++n) ++p;
  ++p;  // the character after the digits
  for (unsigned run = 0; p < b.size() && (b[p] == 0xFE || b[p] == '\n' || b[p] == ' '); ++p)
    if (++run > 16) return fallback();
  if (BytesEqual(b, p, "F3I_TextZ")) c.scratch.retype = retype::kPity2012;
  p += 18;
  auto skipSeparators = [&] {
    for (unsigned n = 0; p < b.size() && n < 16 && IsPitySeparator(b[p]); ++n) ++p;
  };
  auto decimal = [&](std::uint64_t* value) {
    const std::size_t start = p;
    std::uint64_t v = 0;
    while (p < b.size() && IsDigit(b[p]) && p - start < 18) v = v * 10 + (b[p++] - '0');
    if (value) *value = v;
    return p > start;
  };
  std::uint64_t length = 0;
  skipSeparators();
  if (!decimal(nullptr)) return fallback();
  skipSeparators();
  if (!decimal(&length)) return fallback();
  skipSeparators();
  const std::size_t token = p;
  while (p < b.size() && !IsPitySeparator(b[p]) && p - token < 64) ++p;
  if (p == token) return fallback();
  for (unsigned n = 0; p < b.size() && n < 16 && (b[p] == ' ' || b[p] == '\n'); ++n) ++p;
  if (p >= b.size()) return fallback();
  const std::uint32_t size = Fit(length + p + 15);
  return size ? size : fallback();
}

// ---- Executables ------------------------------------------------------------

bool ValidateIcl(FindContext& c) { return LoadLe32(c.bytes(), 4) == 0; }

std::uint32_t MeasureIcl(FindContext& c) {
  const Bytes h = c.bytes();
  const std::uint64_t ne = LoadLe32(h, 60);
  if (ne > 65536) return 0;
  Walker w(c, Walker::kSecond, 16 * KiB);
  const Bytes header = w.At(ne + 36, 2);
  if (header.size() < 2) return 0;
  const std::uint64_t table = ne + LoadLe16(header, 0);
  const Bytes shiftField = w.At(table, 2);
  if (shiftField.size() < 2) return 0;
  const unsigned shift = LoadLe16(shiftField, 0);
  if (shift > 20) return 0;
  std::uint64_t size = 0;
  std::uint64_t at = table + 2;
  for (unsigned types = 0; types < 256; ++types) {
    const Bytes t = w.At(at, 8);
    if (t.size() < 2) return 0;
    const std::uint16_t type = LoadLe16(t, 0);
    if (type == 0) {
      // The resource names follow: nothing, or the length-prefixed "ICL".
      const Bytes names = w.At(at + 2, 4);
      const std::uint32_t first = LoadLe32(names, 0);
      if (names.size() < 4 || (first != 0 && first != 0x4C434903u)) return 0;
      return Fit(size);
    }
    if (t.size() < 8) return 0;
    const std::uint16_t count = LoadLe16(t, 2);
    if (type == 0x8003) {
      if (count) {
        const Bytes last = w.At(at + 8 + (count - 1u) * 12ull, 4);
        if (last.size() < 4) return 0;
        size = (static_cast<std::uint64_t>(LoadLe16(last, 0)) << shift) +
               (static_cast<std::uint64_t>(LoadLe16(last, 2)) << shift) + 2;
      }
    } else if (type != 0x800E) {
      return 0;
    }
    at += 8 + count * 12ull;
  }
  return 0;
}

namespace {

constexpr std::uint32_t kDosEstimate = 1048576;

std::uint32_t MeasurePe(FindContext& c, bool dll) {
  const Bytes h = c.bytes();
  const std::uint32_t e = LoadLe32(h, 60);
  if (e <= 16 || e > 4095) {
    if (!dll && LoadLe16(h, 12) == 0xFFFF && LoadLe16(h, 10) != 0) {
      c.scratch.MarkEstimate();  // an old DOS program: no table tells its end
      return kDosEstimate;
    }
    return 0;
  }
  Walker w(c, Walker::kSecond, 16 * KiB);
  const Bytes pe = w.At(e, 24);
  if (!BytesEqual(pe, 0, std::string_view("PE\0\0", 4))) {
    if (dll) return 0;
    c.scratch.MarkEstimate();
    return kDosEstimate;
  }
  const bool isDll = (LoadLe16(pe, 22) & 0x2000) != 0;
  if (isDll != dll) return 0;
  const std::uint32_t sections = LoadLe16(pe, 6);
  const std::uint64_t table = static_cast<std::uint64_t>(e) + 24 + LoadLe16(pe, 20);
  // The section whose raw data lies furthest in ends the file; anything
  // appended behind it (symbols, signatures, installers' payloads) is not counted.
  bool found = false;
  std::uint64_t end = 0;
  std::uint32_t furthest = 0;
  for (std::uint32_t i = 0; i < sections; ++i) {
    const Bytes s = w.At(table + 40ull * i, 40);
    if (s.size() < 40) return 0;
    const std::uint32_t pointer = LoadLe32(s, 20);
    if (!found || pointer > furthest) {
      found = true;
      furthest = pointer;
      end = static_cast<std::uint64_t>(pointer) + LoadLe32(s, 16);
    }
  }
  if (!found || end < static_cast<std::uint64_t>(e) + 24) return 0;
  return Fit(end);
}

}  // namespace

std::uint32_t MeasureExe(FindContext& c) { return MeasurePe(c, false); }
std::uint32_t MeasureDll(FindContext& c) { return MeasurePe(c, true); }

// ---- Compound files ---------------------------------------------------------

bool ValidateCfb(FindContext& c) {
  const Bytes h = c.bytes();
  return LoadU8(h, 8) == 0 && LoadU8(h, 23) == 0 && h.size() > 23;
}

namespace {

constexpr std::uint32_t kFreeSect = 0xFFFFFFFFu;

struct CfbType {
  std::u16string_view name;
  std::int32_t item;
};
constexpr CfbType kCfbTypes[] = {
    {u"Contents", retype::kFla},     {u"PowerPoint Document", retype::kPpt}, {u"PropData", retype::kMdb},
    {u"Scene", retype::kMax},        {u"Catalog", retype::kThumbs},          {u"VisioDocument", retype::kVsd},
    {u"WordDocument", retype::kDoc}, {u"StrIndex_StringTable", retype::kIlg}, {u"Book", retype::kXls},
    {u"CUFolder 1", retype::kUleadDat},
};

// The type a compound file's content names: first its sector 0, then the
// names of its first 64 directory entries. -1: it stays a plain compound file.
std::int32_t CfbSubType(FindContext& c, std::uint32_t sectorSize) {
  Walker w(c, Walker::kSecond, 16 * KiB);
  const std::uint32_t first = LoadLe32(w.At(sectorSize, 4), 0);
  if (first == 0xF01D46A0u || first == 0xF01E6E00u || first == 0xF01B2160u) return retype::kPpt;
  if (first == 0x00C1A5ECu || first == 0x0068A5DCu) return retype::kDoc;  // Word file-information blocks
  if (first == 0x00100809u) return retype::kXls;                        // an Excel BOF record
  const std::uint32_t dirSector = LoadLe32(c.bytes(), 48);
  if (dirSector >= 0xFFFFFFFAu) return -1;
  const Bytes dir = w.At((static_cast<std::uint64_t>(dirSector) + 1) * sectorSize, 8192);
  for (std::size_t k = 0; k < 64 && (k + 1) * 128 <= dir.size(); ++k) {
    std::u16string name;
    for (std::size_t i = 0; i < 32; ++i) {
      const char16_t ch = LoadLe16(dir, k * 128 + 2 * i);
      if (ch == 0) break;
      name.push_back(ch);
    }
    if (name.empty()) continue;
    if (name[0] == 0x4840) return retype::kMsi;
    if (name.size() >= 2 && name[0] == u'P' && name[1] == u'P') return retype::kPpt;
    for (const CfbType& t : kCfbTypes)
      if (name == t.name) return t.item;
  }
  return -1;
}

}  // namespace

std::uint32_t MeasureCfb(FindContext& c) {
  const Bytes h = c.bytes();
  const unsigned shift = LoadLe16(h, 30);
  if (shift < 9 || shift > 16) return 0;
  const std::uint32_t ss = 1u << shift;
  const std::uint64_t perSector = ss / 4;  // FAT entries per sector; a DIFAT sector's last one is its next

  c.scratch.retype = CfbSubType(c, ss);

  // Count the FAT sectors; remember the last one and its place in the FAT.
  const std::uint32_t n = LoadLe32(h, 72);
  std::uint64_t count = 0;
  std::uint64_t ordinal = 0;  // FAT sectors listed (not counting DIFAT links)
  std::uint32_t lastFat = kFreeSect;
  Walker w(c, Walker::kSecond, 16 * KiB);
  if (n == 0) {
    count = 109;
    for (std::uint32_t i = 0; i < 109; ++i) {
      const std::uint32_t v = LoadLe32(h, 76 + 4 * i);
      if (v == kFreeSect) {
        count = i;
        break;
      }
      lastFat = v;
    }
    ordinal = count;
  } else if (n <= 4096) {
    count = ordinal = 109;
    lastFat = LoadLe32(h, 76 + 4 * 108);
    const std::uint64_t most = perSector * n + 109;
    const std::uint64_t limit = std::min<std::uint64_t>(most, 1600);
    std::uint32_t sector = LoadLe32(h, 68);
    bool done = false;
    for (std::uint32_t step = 0; step < n && !done; ++step) {
      const Bytes d = w.At((static_cast<std::uint64_t>(sector) + 1) * ss, ss);
      if (d.size() < ss) break;
      for (std::uint64_t i = 0; i < perSector; ++i) {
        const std::uint32_t v = LoadLe32(d, 4 * i);
        if (v == kFreeSect) {
          done = true;
          break;
        }
        ++count;
        if (i + 1 < perSector) {
          ++ordinal;
          lastFat = v;
        }
        if (count >= limit) {
          done = true;
          break;
        }
      }
      if (done) break;
      const std::uint32_t next = LoadLe32(d, 4 * (perSector - 1));
      if (next >= 0xFFFFFFFCu) break;
      if (next > most * perSector) {
        count = limit;
        break;
      }
      sector = next;
    }
  } else {
    count = 16;
  }
  // What the FAT sectors can address: an upper bound of the file.
  std::uint64_t bound = count * perSector * ss;
  if (bound == 0) return 0;
  bool capped = false;
  if (bound > kU32Max) {
    bound = kU32Max - kU32Max % ss;
    capped = true;
  }
  // The exact end: the last sector the last FAT sector marks as used.
  if (lastFat < 0xFFFFFFFAu && ordinal > 0 && !capped) {
    const Bytes fat = w.At((static_cast<std::uint64_t>(lastFat) + 1) * ss, ss);
    if (fat.size() >= ss) {
      for (std::uint64_t i = perSector; i-- > 0;) {
        if (LoadLe32(fat, 4 * i) == kFreeSect) continue;
        const std::uint64_t exact = ((ordinal - 1) * perSector + i + 2) * ss;
        if (exact <= bound) return static_cast<std::uint32_t>(exact);
        break;
      }
    }
  }
  c.scratch.MarkEstimate();
  return static_cast<std::uint32_t>(bound);
}

// ---- Archives ---------------------------------------------------------------

namespace {

constexpr std::uint64_t kArchiveWalkLimit = 104857600;  // 100 MiB
// Records or blocks walked at most: far more than any archive holds, few
// enough that a run of tiny hostile records ends quickly.
constexpr unsigned kArchiveRecordLimit = 1u << 22;

// The sub-type the first local header names.
std::int32_t ZipFirstHeaderType(Bytes b) {
  if (Within(b, 0, 64, "META-INF/") || Within(b, 0, 512, ".class")) return retype::kJar;
  if (Within(b, 0, 64, "Metadata/Job_PT.xml")) return retype::kXps;
  if (Within(b, 32, 128, ".xfl")) return retype::kFla;
  if (Within(b, 0, 512, "opendocument.spreadsheet")) return retype::kOds;
  if (Within(b, 0, 512, "opendocument.text")) return retype::kOdt;
  if (Within(b, 0, 256, "corel.draw")) return retype::kCdr;
  if (Within(b, 0, 512, "Header/universalpositioningX")) return retype::kArtx;
  if (Within(b, 32, 64, "-idml-")) return retype::kIdml;
  return -1;
}

// The sub-type one record's first 512 bytes name.
std::int32_t ZipRecordType(Bytes b) {
  if (Within(b, 0, 256, "FixedDoc")) return retype::kXps;
  if (!Within(b, 0, 512, "[Content_Types].xml")) return -1;
  std::int32_t type = -1;
  if (Within(b, 0, 512, "word/")) type = retype::kDocx;
  if (Within(b, 0, 512, "/slideLayouts/")) type = retype::kPptx;
  if (Within(b, 0, 512, "xl/")) type = retype::kXlsx;
  return type;
}

}  // namespace

std::uint32_t MeasureZip(FindContext& c) {
  Walker w(c, Walker::kFirst, 16 * KiB);
  std::int32_t type = ZipFirstHeaderType(w.At(0, 1024));
  bool testing = type < 0;
  std::uint64_t total = 0;
  for (unsigned record = 0; record < kArchiveRecordLimit; ++record) {
    const Bytes r = w.At(total, 1024);
    if (r.size() < 4 || r[0] != 'P' || r[1] != 'K') break;
    if (testing && record < 32) {
      const std::int32_t t = ZipRecordType(r);
      if (t >= 0) {
        type = t;
        testing = false;
      }
    }
    std::uint64_t length = 0;
    bool last = false;
    switch (LoadLe16(r, 2)) {
      case 0x0403: {
        const std::uint32_t packed = LoadLe32(r, 18);
        // Sizes kept in a data descriptor behind the data: the end cannot be walked.
        if (packed == 0 && (LoadLe16(r, 6) & 0x0008)) return 0;
        length = 30ull + packed + LoadLe16(r, 26) + LoadLe16(r, 28);
        break;
      }
      case 0x0201: length = 46ull + LoadLe16(r, 28) + LoadLe16(r, 30) + LoadLe16(r, 32); break;
      case 0x0505: length = 6ull + LoadLe16(r, 4); break;
      case 0x0605:
        length = 22ull + LoadLe16(r, 20);
        last = true;
        break;
      case 0x0807: length = 16; break;
      default: break;
    }
    if (length == 0) break;
    if (total + length <= total) {
      c.scratch.MarkEstimate();
      break;
    }
    total += length;
    if (last || total > kArchiveWalkLimit) break;
  }
  if (total == 0) return 0;
  if (type >= 0) c.scratch.retype = type;
  return Fit(total);
}

std::uint32_t MeasureRar(FindContext& c) {
  // Only the marker block of the 1.5-to-4 format (the later format shares "Rar!").
  static constexpr std::uint8_t kMarker[7] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
  const Bytes h = c.bytes();
  if (h.size() < 7 || std::memcmp(h.data(), kMarker, 7) != 0) return 0;
  Walker w(c, Walker::kFirst, 32 * KiB);
  std::uint64_t total = 0;
  for (unsigned block = 0; block < kArchiveRecordLimit; ++block) {
    const Bytes b = w.At(total, 256);
    if (b.size() < 7) break;
    const std::uint8_t type = b[2];
    if (type <= 0x71 || type >= 0x80 || type == 0x7B) break;  // 0x7B: end of archive, not counted
    std::uint64_t size = LoadLe16(b, 5);
    if (LoadLe16(b, 3) & 0x8000) size += LoadLe32(b, 7);
    if (size == 0 || size > kArchiveWalkLimit) break;
    total += size;
    if (total > kArchiveWalkLimit) break;
  }
  return total > sizeof kMarker ? Fit(total) : 0;
}

std::uint32_t MeasureAce(FindContext& c) {
  std::uint64_t total = static_cast<std::uint64_t>(LoadLe16(c.bytes(), 2)) + 4;
  Walker w(c, Walker::kFirst, 16 * KiB);
  for (unsigned block = 0; block < kArchiveRecordLimit; ++block) {
    Bytes b = w.At(total, 4096);
    if (b.size() < 15) break;
    const std::uint8_t type = b[4];
    std::uint64_t add = 0;
    bool last = false;
    if (type == 1) {
      const std::size_t nameLength = LoadLe16(b, 33);
      if (nameLength == 0) break;
      if (b.size() < 35 + nameLength) b = w.At(total, 35 + nameLength);
      if (b.size() < 35 + nameLength) break;
      if (std::memchr(b.data() + 35, 0, nameLength)) break;
      add = static_cast<std::uint64_t>(LoadLe16(b, 2)) + LoadLe32(b, 7) + 4;
    } else if (type == 2 || type == 5) {
      if (LoadLe16(b, 5) & 1) add = LoadLe32(b, 11);
      add += static_cast<std::uint64_t>(LoadLe16(b, 2)) + LoadLe32(b, 7) + 4;
      last = true;
    } else {
      break;
    }
    if (total + add > kU32Max) {
      c.scratch.MarkEstimate();
      break;
    }
    total += add;
    if (last) break;
  }
  return Fit(total);
}

// ---- PDF ----------------------------------------------------------------------

std::uint32_t MeasurePdf(FindContext& c) {
  c.scratch.MarkEstimate();
  const Bytes h = c.bytes();
  // A linearised file states its length in its first object.
  for (std::size_t i = 0; i < 384 - 3 && i + 4 <= h.size(); ++i) {
    if (!BytesEqual(h, i, "/L ") || !IsDigit(h[i + 3])) continue;
    std::uint64_t v = 0;
    for (std::size_t k = i + 3; k < h.size() && k < i + 103 && IsDigit(h[k]) && v <= kU32Max; ++k)
      v = v * 10 + (h[k] - '0');
    if (v > 0 && v <= kU32Max) return static_cast<std::uint32_t>(v);
    break;
  }
  constexpr std::uint64_t kWalk = 12582912;  // 12 MiB
  constexpr std::size_t kLook = 1536 + 64;   // the furthest any test looks ahead
  Walker w(c, Walker::kFirst, 128 * KiB);
  std::uint64_t pos = 0;
  std::uint64_t eofEnd = 0;  // behind the latest "%EOF" and its line end
  while (pos < kWalk) {
    const Bytes b = w.At(pos, 2 * kLook);
    if (b.size() < 2 * kLook) break;
    const auto span = static_cast<std::size_t>(std::min<std::uint64_t>(b.size() - kLook, kWalk - pos));
    for (std::size_t j = 0; j < span; ++j) {
      const std::uint8_t ch = b[j];
      if (ch == 0) {
        if (b[j + 511] == 0 && b[j + 1023] == 0 && b[j + 1535] == 0 &&
            std::all_of(b.begin() + j + 1, b.begin() + j + 9, [](std::uint8_t v) { return v == 0; })) {
          // Blank space behind the data: the file has ended.
          return Fit(eofEnd ? eofEnd : pos + j + 1024);
        }
      } else if (ch == '%') {
        if (BytesEqual(b, j, "%EOF")) {
          // Incremental updates append further sections, each with its own
          // "%%EOF": the walk goes on and the last one counts.
          std::size_t k = j + 4;
          if (b[k] == '\r') ++k;
          if (b[k] == '\n') ++k;
          eofEnd = pos + k;
        } else if ((pos + j) % 512 == 0 && pos + j > 0 && BytesEqual(b, j, "%PDF-")) {
          // The next document begins at this sector.
          return Fit(eofEnd ? eofEnd : pos + j);
        }
      } else if (ch == ':' && BytesEqual(b, j, ":Creator") && BytesEqual(b, j + 8, "Tool>Adobe Illustrator")) {
        c.scratch.retype = retype::kAi;
      }
    }
    pos += span;
  }
  return eofEnd ? Fit(eofEnd) : 10 * MiB;
}

// ---- ISO base media ---------------------------------------------------------

namespace {
bool BoxTypeChar(std::uint8_t ch) { return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') || ch == ' '; }
}  // namespace

std::uint32_t MeasureMediaBoxes(FindContext& c) {
  c.scratch.MarkEstimate();
  std::uint64_t total = LoadBe32(c.bytes(), 0);
  if (total < 8) return 0;
  Walker w(c, Walker::kSecond, 16 * KiB);
  for (unsigned box = 0; box < 65536; ++box) {
    const Bytes b = w.At(total, 8);
    if (b.size() < 8) break;
    const std::uint32_t size = LoadBe32(b, 0);
    if (size < 8 || !std::all_of(b.begin() + 4, b.begin() + 8, BoxTypeChar)) break;
    if (BytesEqual(b, 4, "ftyp")) break;  // the next file's first box
    if (total + size > kU32Max) break;
    total += size;
  }
  return Fit(total);
}

}  // namespace kestrova::measure
