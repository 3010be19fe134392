#include "raw/measure_media.h"

#include "common/text.h"
#include "raw/raw_scanner.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace kestrova {
namespace {

constexpr std::uint64_t KiB = 1024;
constexpr std::uint64_t MiB = 1048576;
constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFu;  // sizes are stored in 32 bits

std::uint32_t SectorSize(const FindContext& c) {
  const std::uint32_t ss = c.scanner.config.sectorSize;
  return ss ? ss : 512;
}

// To the next sector boundary: a whole sector more when already on one.
std::uint32_t RoundedUp(const FindContext& c, std::uint64_t size) {
  const std::uint32_t ss = SectorSize(c);
  const std::uint64_t r = size + ss - size % ss;
  return static_cast<std::uint32_t>(std::min(r, kMaxFileSize));
}

// Products of header fields, saturated far above any file size.
std::uint64_t Mul(std::uint64_t a, std::uint64_t b) {
  constexpr std::uint64_t kCap = std::uint64_t{1} << 40;
  if (a && b > kCap / a) return kCap;
  return std::min(a * b, kCap);
}

std::uint32_t Fit(std::uint64_t size) { return size > kMaxFileSize ? 0 : static_cast<std::uint32_t>(size); }

// An estimate: the size so far, rounded up, with the rating of an estimate.
std::uint32_t Estimate(FindContext& c, std::uint64_t size) {
  c.scratch.MarkEstimate();
  return RoundedUp(c, size);
}

std::uint16_t LoadBe16(Bytes b, std::size_t off) {
  if (off > b.size() || b.size() - off < 2) return 0;
  return static_cast<std::uint16_t>((b[off] << 8) | b[off + 1]);
}

char Lower(std::uint8_t c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); }

// Case-insensitive search for key in the first n bytes of b.
bool ContainsNoCase(Bytes b, std::size_t n, std::string_view key) {
  n = std::min(n, b.size());
  if (key.empty() || key.size() > n) return key.empty();
  for (std::size_t i = 0; i + key.size() <= n; ++i) {
    std::size_t k = 0;
    while (k < key.size() && Lower(b[i + k]) == Lower(static_cast<std::uint8_t>(key[k]))) ++k;
    if (k == key.size()) return true;
  }
  return false;
}

// Advances a walk: the cursor moves by step relative to its loaded data.
void Advance(ReadAheadCursor& cur, std::uint64_t& size, std::uint64_t step) {
  cur.pos += static_cast<std::size_t>(step);
  size += step;
}

// ---- RIFF family ----

std::uint32_t MeasureRiff(FindContext& c, std::string_view form, std::string_view first) {
  const Bytes b = c.bytes();
  if (!BytesEqual(b, 8, form) || !BytesEqual(b, 12, first)) return 0;
  return Fit(std::uint64_t{LoadLe32(b, 4)} + 8);
}

// ---- TIFF and camera raw ----

namespace tiff {

constexpr std::size_t kHead = 16384;           // bytes read at the file start
constexpr std::uint64_t kMaxOffset = 256 * MiB;  // offsets beyond are not data of this file
constexpr std::uint32_t kMaxCount = 4096;
constexpr std::uint64_t kCr2RawIfdMax = 104857600;
constexpr std::uint64_t kBadWalkAllowance = 128 * KiB;
constexpr std::size_t kMaxIfds = 4096;  // IFDs walked per find, all lists together

// Item indices of the camera-raw rows.
enum : std::int32_t {
  kRw2 = 139, kRaw = 140, kSr2 = 141, kSrf = 142, kDcr = 144, kKdc = 145, kK25 = 146, kNrw = 147, kMos = 148,
  kSrw = 149, kPef = 150, kMef = 151, k3fr = 152, kErf = 153, kArw = 154, kDng = 155, kCr2 = 156, kOrf = 157,
  kNef = 158,
};

std::size_t TypeSize(std::uint16_t type) {
  switch (type) {
    case 1: case 2: case 6: case 7: return 1;
    case 3: case 8: return 2;
    case 4: case 9: case 11: case 13: return 4;
    case 5: case 10: case 12: return 8;
    default: return 0;
  }
}

struct Entry {
  std::uint16_t tag = 0;
  std::uint16_t type = 0;
  std::uint32_t count = 0;
  std::uint32_t value = 0;
  std::array<std::uint8_t, 4> field{};  // the value field as stored, for inline lists
};

class Walker {
 public:
  explicit Walker(FindContext& c) : c_(c), base_(c.cursor) {}

  bool Load() {
    ReadAheadCursor cur = base_;
    c_.scanner.ReadAheadAt(cur, kHead, kHead);
    const Bytes v = cur.view();
    if (v.size() < kHead) return false;
    std::memcpy(head_.data(), v.data(), kHead);
    be_ = head_[0] == 'M';
    return true;
  }

  std::uint16_t U16(Bytes b, std::size_t off) const { return be_ ? LoadBe16(b, off) : LoadLe16(b, off); }
  std::uint32_t U32(Bytes b, std::size_t off) const { return be_ ? LoadBe32(b, off) : LoadLe32(b, off); }
  Bytes Head() const { return Bytes(head_.data(), head_.size()); }

  // need bytes at a file offset: from the head when they lie in it, else read
  // ahead from the device (valid until the next call).
  Bytes At(std::uint64_t offset, std::size_t need) {
    if (offset > kMaxOffset || need > kReadAheadMaxNeed) return {};
    if (offset + need <= kHead) return Head().subspan(static_cast<std::size_t>(offset), need);
    ReadAheadCursor cur = base_;
    cur.pos = static_cast<std::size_t>(offset);
    if (!c_.scanner.ReadAheadAt(cur, need, std::max<std::size_t>(need, 4 * KiB))) return {};
    const Bytes v = cur.view();
    return v.size() >= need ? v.first(need) : Bytes();
  }

  void Extent(std::uint64_t end) {
    if (end <= kMaxOffset + kMaxOffset) extent_ = std::max(extent_, end);
  }
  void Retype(std::int32_t item) { c_.scratch.retype = item; }

  // One value of an entry's list (inline when the list fits the value field).
  bool Value(const Entry& e, std::uint32_t i, std::uint64_t& out) {
    const std::size_t size = TypeSize(e.type);
    if (size != 2 && size != 4) return false;
    if (std::uint64_t{e.count} * size <= 4) {
      const Bytes field(e.field.data(), e.field.size());
      out = size == 2 ? U16(field, i * 2) : U32(field, i * 4);
      return true;
    }
    const Bytes b = At(std::uint64_t{e.value} + std::uint64_t{i} * size, size);
    if (b.size() < size) return false;
    out = size == 2 ? U16(b, 0) : U32(b, 0);
    return true;
  }

  // The largest offset in 32..256 MiB with the length at its list position.
  bool DataExtent(const Entry* offsets, const Entry* lengths) {
    if (!offsets) return true;
    if (offsets->count > kMaxCount || (lengths && lengths->count > kMaxCount)) return false;
    std::uint64_t best = 0;
    std::uint32_t bestAt = 0;
    for (std::uint32_t i = 0; i < offsets->count; ++i) {
      std::uint64_t off = 0;
      if (!Value(*offsets, i, off)) return false;
      if (off < 32 || off > kMaxOffset) continue;  // not a candidate for the end (a first strip at 8 is fine)
      if (off > best) {
        best = off;
        bestAt = i;
      }
    }
    std::uint64_t length = 0;
    if (lengths && bestAt < lengths->count && !Value(*lengths, bestAt, length)) return false;
    if (best) Extent(best + length);
    return true;
  }

  void Make(const Entry& e) {
    if (e.value >= kHead) return;
    const Bytes v = Head().subspan(e.value);
    if (ContainsNoCase(v, 16, "NIKON")) {
      Retype(ContainsNoCase(v, 64, "COOLPIX") ? kNrw : kNef);
    } else if (ContainsNoCase(v, 16, "OLYMPUS")) {
      Retype(kOrf);
    } else if (ContainsNoCase(v, 16, "SONY")) {
      Retype(ContainsNoCase(v, 64, "F828") ? kSrf : ContainsNoCase(v, 64, "R1") ? kSr2 : kArw);
    } else if (ContainsNoCase(v, 16, "Canon")) {
      Retype(kCr2);
    } else if (ContainsNoCase(v, 16, "EPSON")) {
      Retype(kErf);
    } else if (ContainsNoCase(v, 16, "Hasselblad")) {
      Retype(k3fr);
    } else if (ContainsNoCase(v, 16, "Kodak")) {
      std::int32_t t = kKdc;
      if (ContainsNoCase(v, 64, "DC25"))
        t = kK25;
      else if (ContainsNoCase(v, 64, "DC40") || ContainsNoCase(v, 64, "DC50") || ContainsNoCase(v, 64, "P850"))
        t = kKdc;
      else if (ContainsNoCase(v, 64, "DSC"))
        t = kDcr;
      Retype(t);
    } else if (ContainsNoCase(v, 16, "Leica")) {
      Retype(kDng);
    } else if (ContainsNoCase(v, 16, "Mamiya")) {
      Retype(kMef);
    } else if (ContainsNoCase(v, 16, "Panasonic")) {
      Retype(PanasonicRw2(v) ? kRw2 : kRaw);
    } else if (ContainsNoCase(v, 16, "PENTAX")) {
      Retype(kPef);
    } else if (ContainsNoCase(v, 16, "SAMSUNG")) {
      Retype(kSrw);
    }
  }

  // "-LX" and a model digit 3..9, or 1 or 2 and another digit; or "DMC", in 32 bytes.
  static bool PanasonicRw2(Bytes v) {
    const std::size_t n = std::min<std::size_t>(32, v.size());
    for (std::size_t i = 0; i + 3 < n; ++i) {
      if (v[i] != '-' || Lower(v[i + 1]) != 'l' || Lower(v[i + 2]) != 'x') continue;
      const std::uint8_t d = v[i + 3];
      if (d >= '3' && d <= '9') return true;
      if ((d == '1' || d == '2') && i + 4 < n && v[i + 4] >= '0' && v[i + 4] <= '9') return true;
    }
    return ContainsNoCase(v, 32, "DMC");
  }

  // An EPSON maker note: its own IFD holds the raw data as tag 640.
  void EpsonNote(const Entry& e) {
    const Bytes note = At(e.value, 10);
    if (!BytesEqual(note, 0, "EPSON")) return;
    Retype(kErf);
    const std::uint16_t count = U16(note, 8);
    if (count > kMaxCount) {
      bad_ = true;
      return;
    }
    const Bytes entries = At(std::uint64_t{e.value} + 10, std::size_t{count} * 12);
    if (entries.size() < std::size_t{count} * 12) return;
    for (std::size_t i = 0; i < count; ++i) {
      if (U16(entries, i * 12) != 640) continue;
      const std::uint64_t off = U32(entries, i * 12 + 8);
      if (off >= 32 && off <= kMaxOffset) Extent(off + U32(entries, i * 12 + 4));
    }
  }

  // Walks one IFD; sub-IFDs found in it are queued. False when it had to stop
  // on a bad count or offset.
  bool Ifd(std::uint64_t offset) {
    const Bytes countBytes = At(offset, 2);
    if (countBytes.size() < 2) return false;
    const std::uint16_t count = U16(countBytes, 0);
    if (count == 0 || count > kMaxCount) return false;
    const std::size_t bytes = std::size_t{count} * 12 + 4;
    // The directory itself and what it points to belong to the file too.
    Extent(offset + 2 + bytes);
    std::array<const Entry*, 6> data{};  // 273, 279, 324, 325, 513, 514
    std::array<Entry, 6> dataEntries{};
    std::uint64_t next = 0;
    std::vector<Entry> subIfds;
    std::vector<Entry> notes;
    {
      const Bytes list = At(offset + 2, bytes);
      if (list.size() < bytes) return false;
      for (std::size_t i = 0; i < count; ++i) {
        Entry e;
        e.tag = U16(list, i * 12);
        e.type = U16(list, i * 12 + 2);
        e.count = U32(list, i * 12 + 4);
        e.value = U32(list, i * 12 + 8);
        std::memcpy(e.field.data(), list.data() + i * 12 + 8, 4);
        const std::size_t size = TypeSize(e.type);
        const std::uint64_t valueBytes = std::uint64_t{e.count} * size;
        if (valueBytes > 4 && e.value <= kMaxOffset && valueBytes <= kMaxOffset) Extent(e.value + valueBytes);
        int slot = -1;
        switch (e.tag) {
          case 273: slot = 0; break;
          case 279: slot = 1; break;
          case 324: slot = 2; break;
          case 325: slot = 3; break;
          case 513: slot = 4; break;
          case 514: slot = 5; break;
          case 271: Make(e); break;
          case 700:
            if (e.value < kHead && ContainsNoCase(Head().subspan(e.value), std::min<std::size_t>(4096, e.count), "leaf"))
              Retype(kMos);
            break;
          case 50706: Retype(kDng); break;
          case 330:
          case 34665: subIfds.push_back(e); break;
          case 37500: notes.push_back(e); break;  // read once the list is done with (it may be moved)
          default: break;
        }
        if (slot >= 0) {
          dataEntries[static_cast<std::size_t>(slot)] = e;
          data[static_cast<std::size_t>(slot)] = &dataEntries[static_cast<std::size_t>(slot)];
        }
      }
      next = U32(list, std::size_t{count} * 12);
    }
    for (const Entry& e : notes) EpsonNote(e);
    bool ok = true;
    for (std::size_t pair = 0; pair < 3 && ok; ++pair)
      ok = DataExtent(data[pair * 2], data[pair * 2 + 1]);
    for (const Entry& e : subIfds) {
      if (e.count > kMaxCount) {
        ok = false;
        continue;
      }
      for (std::uint32_t i = 0; i < e.count; ++i) {
        std::uint64_t off = 0;
        if (e.count == 1) {
          off = e.value;
        } else {
          const Bytes b = At(std::uint64_t{e.value} + std::uint64_t{i} * 4, 4);
          if (b.size() < 4) break;
          off = U32(b, 0);
        }
        Queue(off);
      }
    }
    // Further pages of a multi-page file.
    if (next) Queue(next);
    return ok;
  }

  void Queue(std::uint64_t offset) {
    if (offset < 8 || offset > kMaxOffset) return;
    if (std::find(visited_.begin(), visited_.end(), offset) != visited_.end()) return;
    if (visited_.size() >= kMaxIfds) return;
    visited_.push_back(offset);
    pending_.push_back(offset);
  }

  // Walks everything queued; true when no walk had to stop early.
  void Run() {
    while (!pending_.empty()) {
      const std::uint64_t off = pending_.back();
      pending_.pop_back();
      if (!Ifd(off)) bad_ = true;
    }
  }

  std::uint64_t extent() const { return extent_; }
  bool bad() const { return bad_; }

 private:
  FindContext& c_;
  ReadAheadCursor base_;
  std::array<std::uint8_t, kHead> head_{};
  bool be_ = false;
  std::uint64_t extent_ = 0;
  bool bad_ = false;
  std::vector<std::uint64_t> visited_;
  std::vector<std::uint64_t> pending_;
};

}  // namespace tiff

// ---- MP3 ----

namespace mp3 {

constexpr std::uint16_t kBitrates[2][3][16] = {
    // MPEG-1: layer III, II, I
    {{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0}},
    // MPEG-2 and 2.5: layer III, II, I
    {{0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0}}};
constexpr std::uint32_t kRates[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};

constexpr std::size_t kSearch = 12288;
constexpr std::size_t kChunk = 32 * KiB;
constexpr std::uint64_t kTagWalkMax = 64 * MiB;
constexpr std::size_t kNameMax = 256;

bool IdChar(std::uint8_t c) { return c >= 33 && c <= 122; }

// ID3 text: encoding byte, then Latin-1, UTF-16 with its byte-order mark, or UTF-8.
std::u16string TextFrame(Bytes b) {
  if (b.empty()) return {};
  const std::uint8_t encoding = b[0];
  Bytes t = b.subspan(1);
  std::u16string out;
  if (encoding == 1 || encoding == 2 || (!t.empty() && t[0] == 0xFF) || (!t.empty() && t[0] == 0xFE)) {
    bool bigEndian = encoding == 2;
    std::size_t i = 0;
    if (t.size() >= 2 && t[0] == 0xFF && t[1] == 0xFE) {
      bigEndian = false;
      i = 2;
    } else if (t.size() >= 2 && t[0] == 0xFE && t[1] == 0xFF) {
      bigEndian = true;
      i = 2;
    }
    for (; i + 1 < t.size() && out.size() < kNameMax; i += 2) {
      const char16_t u = bigEndian ? static_cast<char16_t>((t[i] << 8) | t[i + 1])
                                   : static_cast<char16_t>(t[i] | (t[i + 1] << 8));
      if (u == 0) break;
      out.push_back(u);
    }
  } else if (encoding == 3) {
    std::string utf8;
    for (std::size_t i = 0; i < t.size() && t[i] && utf8.size() < kNameMax * 3; ++i) utf8.push_back(static_cast<char>(t[i]));
    out = ToUtf16(utf8);
  } else {
    for (std::size_t i = 0; i < t.size() && t[i] && out.size() < kNameMax; ++i) out.push_back(t[i]);
  }
  while (!out.empty() && out.back() == u' ') out.pop_back();
  return out;
}

// ID3v1 field: Latin-1, NUL-padded or blank-padded.
std::u16string V1Field(Bytes b) {
  std::u16string out;
  for (std::uint8_t ch : b) {
    if (!ch) break;
    out.push_back(ch);
  }
  while (!out.empty() && out.back() == u' ') out.pop_back();
  return out;
}

}  // namespace mp3

}  // namespace

// ---- Simple measures ----

bool ValidateBmp(FindContext& c) { return LoadLe32(c.bytes(), 10) <= 4096; }

std::uint32_t MeasureBmp(FindContext& c) {
  const std::uint32_t s = LoadLe32(c.bytes(), 2);
  if (s > 40) return s <= 50 * MiB ? s : 0;
  c.scratch.MarkEstimate();
  return 5 * MiB;
}

std::uint32_t MeasureSwf(FindContext& c) {
  const Bytes b = c.bytes();
  const std::uint32_t s = LoadLe32(b, 4);
  if (LoadU8(b, 3) > 16 || s <= 16 || s > 500 * MiB) return 0;
  return s;
}

std::uint32_t MeasureRaf(FindContext& c) {
  const Bytes b = c.bytes();
  return Fit(std::uint64_t{LoadBe32(b, 100)} + LoadBe32(b, 104));
}

std::uint32_t MeasureWav(FindContext& c) { return MeasureRiff(c, "WAVE", "fmt "); }
std::uint32_t MeasureAvi(FindContext& c) { return MeasureRiff(c, "AVI ", "LIST"); }
std::uint32_t MeasureCdxa(FindContext& c) { return MeasureRiff(c, "CDXA", "fmt "); }

bool ValidateTga(FindContext& c) {
  const Bytes b = c.bytes();
  const std::uint8_t depth = LoadU8(b, 16);
  if (depth != 8 && depth != 16 && depth != 24 && depth != 32) return false;
  const std::uint32_t w = LoadLe16(b, 12);
  const std::uint32_t h = LoadLe16(b, 14);
  if (w < 2 || w > 9999 || h < 2 || h > 9999) return false;
  return std::max(w, h) / std::min(w, h) < 100;
}

std::uint32_t MeasureTga(FindContext& c) {
  if (!ValidateTga(c)) return 0;
  const Bytes b = c.bytes();
  const std::uint64_t depth = LoadU8(b, 16);
  // Header, image identification (its length is byte 0), pixels.
  std::uint64_t size =
      std::uint64_t{LoadLe16(b, 12)} * LoadLe16(b, 14) * (depth < 8 ? 3 : depth / 8) + 18 + LoadU8(b, 0);
  if (size > 20 * MiB) return 0;
  if (LoadU8(b, 2) == 0x0A) {
    // Run-length encoded: the uncompressed size is only an upper estimate.
    c.scratch.MarkEstimate();
    return static_cast<std::uint32_t>(size);
  }
  // A version 2 file ends in a 26-byte footer right behind the pixels.
  ReadAheadCursor cur = c.cursor;
  cur.pos += static_cast<std::size_t>(size);
  c.scanner.ReadAhead(cur, 26, 4 * KiB);
  if (BytesEqual(cur.view(), 8, "TRUEVISION-XFILE.")) size += 26;
  return static_cast<std::uint32_t>(size);
}

// ---- GIF ----

bool ValidateGif(FindContext& c) {
  const Bytes b = c.bytes();
  return (LoadU8(b, 4) == '7' || LoadU8(b, 4) == '9') && LoadU8(b, 5) == 'a';
}

std::uint32_t MeasureGif(FindContext& c) {
  constexpr std::size_t kStepNeed = 4096;
  constexpr std::size_t kChunk = 16 * KiB;
  constexpr std::uint32_t kMaxSubBlocks = 16384;
  RawScanner& s = c.scanner;
  ReadAheadCursor cur = c.cursor;
  const Bytes head = cur.view();
  std::uint64_t size = 13;
  const std::uint8_t flags = LoadU8(head, 10);
  if (flags & 0x80) size += 3u << (1 + (flags & 7));
  cur.pos += static_cast<std::size_t>(size);
  std::uint8_t previous = LoadU8(head, static_cast<std::size_t>(size - 1));
  for (;;) {
    if (size > kMaxFileSize) return Estimate(c, size);
    s.ReadAhead(cur, kStepNeed, kChunk);
    Bytes v = cur.view();
    // A run of extension blocks.
    while (LoadU8(v, 0) == '!') {
      std::uint64_t length = 0;
      switch (LoadU8(v, 1)) {
        case 0x01: length = 17; break;
        case 0x70:
        case 0x9E: length = 4; break;
        case 0xF9: length = 8; break;
        case 0xFE: length = std::uint64_t{LoadU8(v, 2)} + 4; break;
        case 0xFF:
          if (LoadU8(v, 2) == 0 && LoadU8(v, 3) == ';')
            length = 3;
          else
            length = BytesEqual(v, 3, "GIFC") ? 44 : std::uint64_t{LoadU8(v, 14)} + 16;
          break;
        default: length = 0; break;
      }
      if (!length) break;
      previous = LoadU8(v, static_cast<std::size_t>(length - 1));
      Advance(cur, size, length);
      if (size > kMaxFileSize) return Estimate(c, size);
      s.ReadAhead(cur, kStepNeed, kChunk);
      v = cur.view();
    }
    const std::uint8_t block = LoadU8(v, 0);
    if (block == ',') {
      const std::uint8_t local = LoadU8(v, 9);
      // The local colour table's size takes the low three bits, as the global one's.
      std::uint64_t step = (local & 0x80) ? (3u << (1 + (local & 7))) : 0;
      step += 11;
      Advance(cur, size, step);
      s.ReadAhead(cur, kStepNeed, kChunk);
      v = cur.view();
      if (LoadU8(v, 0) == 0) return Fit(size);
      std::uint32_t blocks = 0;
      for (;;) {
        s.ReadAhead(cur, 256, kChunk);
        const std::uint8_t n = LoadU8(cur.view(), 0);
        if (n == 0) {
          Advance(cur, size, 1);
          break;
        }
        if (++blocks > kMaxSubBlocks) return Estimate(c, size);
        Advance(cur, size, std::uint64_t{n} + 1);
      }
      previous = 0;
      s.ReadAhead(cur, kStepNeed, kChunk);
      if (LoadU8(cur.view(), 0) == ';') return Fit(size + 1);
      continue;
    }
    if (block == ';') return Fit(size + 1);
    if (previous == ';') return Fit(size);
    return Estimate(c, size);
  }
}

// ---- PNG ----

bool ValidatePng(FindContext& c) { return BytesEqual(c.bytes(), 12, "IHDR"); }

std::uint32_t MeasurePng(FindContext& c) {
  constexpr std::uint64_t kMaxChunk = 10 * MiB;
  RawScanner& s = c.scanner;
  ReadAheadCursor cur = c.cursor;
  std::uint64_t size = 33;
  cur.pos += 33;
  for (;;) {
    s.ReadAhead(cur, 32, 4 * KiB);
    const Bytes v = cur.view();
    if (BytesEqual(v, 4, "IEND")) return Fit(size + 12);
    const std::uint64_t length = std::uint64_t{LoadBe32(v, 0)} + 12;
    bool valid = v.size() >= 8;
    for (std::size_t i = 4; i < 8 && valid; ++i) valid = v[i] >= 33 && v[i] <= 122;
    if (!valid || length > kMaxChunk || size + length > kMaxFileSize) return Estimate(c, size);
    Advance(cur, size, length);
  }
}

// ---- PCX ----

bool ValidatePcx(FindContext& c) { return LoadU8(c.bytes(), 64) == 0; }

std::uint32_t MeasurePcx(FindContext& c) {
  const Bytes b = c.bytes();
  const std::int64_t width = std::int64_t{LoadLe16(b, 8)} - LoadLe16(b, 4) + 1;
  const std::int64_t height = std::int64_t{LoadLe16(b, 10)} - LoadLe16(b, 6) + 1;
  if (width <= 0 || height <= 0 || width > 10000 || height > 10000) return 0;
  const std::uint64_t pixels = static_cast<std::uint64_t>(width * height);
  // Every byte pair can be a run of no pixels: a walk longer than two bytes a
  // pixel is not an image.
  const std::uint64_t maxWalk = 2 * pixels + 64 * KiB;
  RawScanner& s = c.scanner;
  ReadAheadCursor cur = c.cursor;
  cur.pos += 128;
  std::uint64_t walked = 0;
  std::uint64_t done = 0;
  while (done < pixels) {
    if (walked > maxWalk) return 0;
    if (cur.available() < 2) s.ReadAhead(cur, 2, 64 * KiB);
    const Bytes v = cur.view();
    const std::size_t n = v.size() >= 2 ? v.size() - 1 : 0;
    if (!n) return 0;
    std::size_t i = 0;
    while (i < n && done < pixels) {
      if (v[i] < 192) {
        ++done;
        ++i;
      } else {
        done += v[i] & 0x3F;
        i += 2;
      }
    }
    cur.pos += i;
    walked += i;
  }
  return Fit(128 + walked + 769);
}

// ---- JPEG ----

bool AcceptAll(FindContext&) { return true; }

std::uint32_t MeasureJpeg(FindContext& c) {
  constexpr std::uint64_t kSearchMax = 10 * MiB;
  const Bytes b = c.bytes();
  if (LoadU8(b, 3) == 0xC3 || LoadU8(b, 3) == 0xC4) return 0;
  RawScanner& s = c.scanner;
  ReadAheadCursor cur = c.cursor;
  std::uint64_t size = 2;
  cur.pos += 2;
  for (;;) {
    s.ReadAhead(cur, 32, 4 * KiB);
    const Bytes v = cur.view();
    if (LoadU8(v, 0) != 0xFF) return 0;
    const std::uint8_t marker = LoadU8(v, 1);
    if (marker == 0xDA) break;
    if (marker == 0xE0 && BytesEqual(v, 4, "AVI")) return 0;  // a frame of a motion-JPEG stream
    // The header segments are jumped over, so a thumbnail inside them is not a second find.
    if (marker == 0xDB) c.scratch.requestedSkip = static_cast<std::uint32_t>(std::min(size, kMaxFileSize));
    const std::uint16_t length = LoadBe16(v, 2);
    if (length == 0) {
      c.scratch.MarkEstimate();
      return size > 32 ? Fit(size) : 0;
    }
    Advance(cur, size, std::uint64_t{length} + 2);
    if (size > kSearchMax) {
      c.scratch.MarkEstimate();
      return Fit(size);
    }
  }
  Advance(cur, size, 2);
  // The entropy-coded data ends at the end-of-image marker.
  std::uint64_t searched = 0;
  for (;;) {
    s.ReadAhead(cur, 2, 128 * KiB);
    const Bytes v = cur.view();
    if (v.size() < 2) break;
    const std::size_t n = v.size() - 1;
    const void* hit = nullptr;
    std::size_t from = 0;
    while (from < n) {
      hit = std::memchr(v.data() + from, 0xFF, n - from);
      if (!hit) break;
      const auto k = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - v.data());
      if (v[k + 1] == 0xD9) {
        if (searched + k > kSearchMax) break;
        return Fit(size + searched + k + 2);
      }
      from = k + 1;
    }
    searched += n;
    cur.pos += n;
    if (searched > kSearchMax) break;
  }
  // No end marker within reach: the size reached, as an estimate.
  c.scratch.MarkEstimate();
  return Fit(size + std::min(searched, kSearchMax));
}

// ---- JPEG 2000 codestream ----

std::uint32_t MeasureJpeg2000(FindContext& c) {
  constexpr std::uint64_t kSearchMax = 8 * MiB;
  RawScanner& s = c.scanner;
  ReadAheadCursor cur = c.cursor;
  std::uint64_t size = 2;
  cur.pos += 2;
  for (;;) {
    s.ReadAhead(cur, 32, 4 * KiB);
    const Bytes v = cur.view();
    if (LoadU8(v, 0) != 0xFF) return 0;
    if (LoadU8(v, 1) == 0x93) break;  // start of data
    const std::uint16_t length = LoadBe16(v, 2);
    if (length == 0) {
      c.scratch.MarkEstimate();
      return size > 4 ? Fit(size) : 0;
    }
    Advance(cur, size, std::uint64_t{length} + 2);
    if (size > kSearchMax) return 0;
  }
  Advance(cur, size, 2);
  std::uint64_t searched = 0;
  for (;;) {
    s.ReadAhead(cur, 2, 128 * KiB);
    const Bytes v = cur.view();
    if (v.size() < 2) return 0;
    const std::size_t n = v.size() - 1;
    for (std::size_t k = 0; k < n; ++k) {
      if (v[k] == 0xFF && v[k + 1] == 0xD9) {
        if (searched + k > kSearchMax) return 0;
        const std::uint64_t total = size + searched + k + 2;
        return total > 4 ? Fit(total) : 0;
      }
    }
    searched += n;
    cur.pos += n;
    if (searched > kSearchMax) return 0;
  }
}

// ---- TIFF and camera raw ----

std::uint32_t MeasureTiff(FindContext& c) {
  tiff::Walker w(c);
  if (!w.Load()) return 0;
  const Bytes head = w.Head();
  const std::uint32_t first = w.U32(head, 4);
  if (w.U16(head, 8) == 0x5243) {  // "CR": Canon's raw IFD is named in the header
    w.Retype(tiff::kCr2);
    const std::uint32_t raw = w.U32(head, 12);
    if (raw > tiff::kCr2RawIfdMax) return 0;
    w.Queue(raw);
  }
  w.Queue(first);
  w.Run();
  if (first > tiff::kHead && w.extent() <= first + 2) {
    // No directory where the header points: the layout of a DNG whose
    // directory follows its data.
    c.scratch.retype = tiff::kDng;
    c.scratch.MarkEstimate();
    return Fit(std::uint64_t{first} + tiff::kHead);
  }
  std::uint64_t size = w.extent();
  if (w.bad()) size += tiff::kBadWalkAllowance;
  if (size < 8) return 0;
  return Fit(size);
}

// ---- MP3 ----

std::uint32_t Mp3FrameLength(std::uint8_t h1, std::uint8_t h2) {
  const unsigned version = (h1 >> 3) & 3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
  const unsigned layer = (h1 >> 1) & 3;    // 1: III, 2: II, 3: I
  const unsigned rateIndex = (h2 >> 2) & 3;
  if (version == 1 || layer == 0 || rateIndex == 3) return 0;  // reserved
  const unsigned bitrate = mp3::kBitrates[version == 3 ? 0 : 1][layer - 1][h2 >> 4];
  const std::uint32_t rate = mp3::kRates[version][rateIndex];
  if (!bitrate || !rate) return 0;
  std::uint32_t length = bitrate * 144000u / rate;
  if (!(version & 1) && layer != 3) length /= 2;
  if (h2 & 2) ++length;
  return length;
}

bool ValidateMp3(FindContext& c) {
  const Bytes b = c.bytes();
  return !(LoadU8(b, 0) == 0xFF && LoadU8(b, 1) == 0xFF);
}

std::uint32_t MeasureMp3(FindContext& c) {
  RawScanner& s = c.scanner;
  ReadAheadCursor cur = c.cursor;
  const Bytes b = c.bytes();
  std::uint64_t size = 0;
  std::u16string artist;
  std::u16string title;
  if (LoadU8(b, 0) != 0xFF) {
    const std::uint8_t version = LoadU8(b, 3);
    Advance(cur, size, 10);
    const bool v34 = version == 3 || version == 4;
    if (v34 || version == 2) {
      const std::size_t header = v34 ? 10 : 6;
      for (;;) {
        s.ReadAhead(cur, 32, mp3::kChunk);
        const Bytes v = cur.view();
        const std::size_t idLength = v34 ? 4 : 3;
        bool ok = v.size() >= header;
        for (std::size_t i = 0; i < idLength && ok; ++i) ok = mp3::IdChar(v[i]);
        if (!ok) break;
        std::uint64_t frame = 0;
        if (v34) {
          if (v[4] != 0) break;
          frame = LoadBe32(v, 4);
        } else {
          frame = (std::uint64_t{v[3]} << 16) | (std::uint64_t{v[4]} << 8) | v[5];
        }
        const bool isArtist = v34 ? BytesEqual(v, 0, "TPE1") : BytesEqual(v, 0, "TP1");
        const bool isTitle = v34 ? BytesEqual(v, 0, "TIT2") : BytesEqual(v, 0, "TT2");
        if ((isArtist || isTitle) && frame) {
          const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(frame, 2 * mp3::kNameMax + 4));
          s.ReadAhead(cur, header + take, mp3::kChunk);
          const Bytes loaded = cur.view();
          if (loaded.size() >= header + take) (isArtist ? artist : title) = mp3::TextFrame(loaded.subspan(header, take));
        }
        Advance(cur, size, header + frame);
        if (size > mp3::kTagWalkMax) return 0;
      }
    }
  }
  // The first audio frame.
  s.ReadAhead(cur, mp3::kSearch + 2, mp3::kChunk);
  {
    const Bytes v = cur.view();
    const std::size_t n = std::min(v.size(), mp3::kSearch + 2);
    // Any layer III frame header opens the audio: MPEG-1 (FB/FA), MPEG-2 (F3/F2)
    // or MPEG-2.5 (E3/E2). Taking only FB and E3 cut every MPEG-2 file (the
    // usual encoding at 24 kHz and below) to a one-sector estimate.
    std::size_t k = 0;
    for (; k + 2 < n; ++k)
      if (v[k] == 0xFF && (v[k + 1] & 0xE6) == 0xE2 && Mp3FrameLength(v[k + 1], v[k + 2]) != 0) break;
    if (k + 2 >= n) {
      // A bare frame-sync find without a frame is no MP3 (it would shadow
      // every later row for sectors that start with FF).
      if (LoadU8(b, 0) == 0xFF) return 0;
      return Estimate(c, size);
    }
    Advance(cur, size, k);
  }
  // The frame walk.
  std::uint32_t frames = 0;
  int firstVersion = -1;
  for (;;) {
    if (size > kMaxFileSize) return 0;
    s.ReadAhead(cur, 4, mp3::kChunk);
    const Bytes v = cur.view();
    if (v.size() < 4 || v[0] != 0xFF || (v[1] & 0xE0) != 0xE0) break;
    const int version = (v[1] >> 3) & 3;
    if (firstVersion < 0) firstVersion = version;
    if (version != firstVersion || (v[2] >> 4) == 15) break;
    const std::uint32_t length = Mp3FrameLength(v[1], v[2]);
    if (!length) break;
    Advance(cur, size, length);
    ++frames;
    s.ReadAhead(cur, 2, mp3::kChunk);
    const Bytes w = cur.view();
    if (w.size() < 2 || w[0] != 0xFF || (w[1] & 0xE0) != 0xE0) break;
  }
  if (frames < 16) return 0;
  // ID3v1 behind the audio, or inside its last kilobyte.
  s.ReadAhead(cur, 128, mp3::kChunk);
  auto fill = [&](Bytes tag) {
    if (title.empty()) title = mp3::V1Field(tag.subspan(3, 30));
    if (artist.empty()) artist = mp3::V1Field(tag.subspan(33, 30));
  };
  const Bytes v = cur.view();
  if (BytesEqual(v, 0, "TAG") && !BytesEqual(v, 0, "TAG+")) {
    fill(v.first(128));
    size += 128;
  } else if (cur.data) {
    const std::size_t back = static_cast<std::size_t>(std::min<std::uint64_t>({1024, size, cur.pos}));
    const Bytes before(cur.data + cur.pos - back, back);
    for (std::size_t i = 0; i + 128 <= before.size(); ++i) {
      if (BytesEqual(before, i, "TAG") && !BytesEqual(before, i, "TAG+")) {
        fill(before.subspan(i, 128));
        break;
      }
    }
  }
  std::u16string name = !artist.empty() && !title.empty() ? artist + u" - " + title : artist + title;
  const bool endsMp3 = name.size() >= 3 && (name[name.size() - 3] | 0x20) == u'm' &&
                       (name[name.size() - 2] | 0x20) == u'p' && name[name.size() - 1] == u'3';
  if (!endsMp3) name += u".mp3";
  c.scratch.ownName = std::move(name);
  return Fit(size);
}

// ---- MPEG program stream ----

namespace {

// Length of the pack header at the cursor (00 00 01 BA): 12 bytes for MPEG-1,
// 14 and its stuffing for MPEG-2; 0 when the byte after the code fits neither.
std::uint64_t PackHeaderLength(Bytes v) {
  const std::uint8_t mark = LoadU8(v, 4);
  if ((mark & 0xC0) == 0x40) return 14 + (LoadU8(v, 13) & 7);
  if ((mark & 0xF0) == 0x20) return 12;
  return 0;
}

}  // namespace

// A program stream is nothing but pack headers, system headers and packets
// that carry their own lengths, so the walk steps from one to the next and the
// stream ends at the first byte that starts none of them, or behind its end
// code. Searching for the next pack header instead cuts a stream whose packs
// lie further apart than the search reaches (an MPEG-1 mux puts a pack header
// only every few packets) into several finds.
std::uint32_t MeasureMpeg(FindContext& c) {
  constexpr std::uint64_t kLimit = 0xFFFF0000u;
  RawScanner& s = c.scanner;
  ReadAheadCursor cur = c.cursor;
  std::uint64_t size = 0;
  for (;;) {
    if (s.PauseOrStop()) return Fit(size);
    s.ShowRawProgress(size);
    s.ReadAhead(cur, 16, 128 * KiB);
    const Bytes v = cur.view();
    if (v.size() < 6 || v[0] != 0 || v[1] != 0 || v[2] != 1) break;
    const std::uint8_t code = v[3];
    if (code == 0xB9) {
      Advance(cur, size, 4);
      if (size > 4) break;  // the end code; one at the very start is the row's own header
      continue;
    }
    std::uint64_t step = 0;
    if (code == 0xBA)
      step = PackHeaderLength(v);
    else if (code >= 0xBB)
      step = 6 + std::uint64_t{LoadBe16(v, 4)};  // system header, padding or a stream's packet
    if (step == 0) break;                        // a start code of the video inside no packet: not ours
    Advance(cur, size, step);
    if (size > kLimit) break;
  }
  return size >= 16384 ? Fit(size) : 0;
}

// ---- DDS ----

bool ValidateDds(FindContext& c) {
  const Bytes b = c.bytes();
  const std::uint32_t h = LoadLe32(b, 12);
  const std::uint32_t w = LoadLe32(b, 16);
  return h && w && !(h & 1) && !(w & 1);
}

std::uint32_t MeasureDds(FindContext& c) {
  constexpr std::uint32_t kMaxLevels = 32;  // a 2^32 side halves to one pixel in 32 steps
  if (!ValidateDds(c)) return 0;
  const Bytes b = c.bytes();
  std::uint64_t h = LoadLe32(b, 12);
  std::uint64_t w = LoadLe32(b, 16);
  std::uint64_t depth = LoadLe32(b, 24);
  const std::uint32_t mips = LoadLe32(b, 28);
  const bool fourCc = LoadLe32(b, 80) & 4;
  const std::uint64_t block = BytesEqual(b, 84, "DXT1") ? 8 : 16;
  const std::uint64_t bits = LoadLe32(b, 88);
  const std::uint32_t caps2 = LoadLe32(b, 112);
  const bool volume = caps2 & 0x200000;
  const std::uint32_t levels = mips ? mips : 1;
  if (levels > kMaxLevels + 1) return 0;
  std::uint64_t sum = 0;
  for (std::uint32_t i = 0; i < levels; ++i) {
    std::uint64_t level = fourCc ? Mul(Mul(std::max<std::uint64_t>(1, w / 4), std::max<std::uint64_t>(1, h / 4)), block)
                                 : Mul(Mul(bits / 8, w), h);
    if (volume) level = Mul(level, std::max<std::uint64_t>(1, depth));
    sum += level;
    if (sum > kMaxFileSize) return 0;
    w = std::max<std::uint64_t>(1, w / 2);
    h = std::max<std::uint64_t>(1, h / 2);
    depth = std::max<std::uint64_t>(1, depth / 2);
  }
  std::uint64_t size = sum;
  if (caps2 & 0x200) {
    // A cube map stores each face present (flags 0x400..0x8000) with all its levels.
    unsigned faces = 0;
    for (std::uint32_t bit = 0x400; bit <= 0x8000; bit <<= 1)
      if (caps2 & bit) ++faces;
    size *= faces ? faces : 6;
  }
  return Fit(size + 128);
}

}  // namespace kestrova
