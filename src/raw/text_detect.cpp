#include "raw/text_detect.h"

#include "raw/raw_scanner.h"
#include "scan/allocation_map.h"

#include <algorithm>
#include <string_view>

namespace kestrova {
namespace {

// Item indices of the text rows.
enum : std::uint16_t {
  kLws = 91, kSps = 92, kCs = 113, kPas = 115, kC = 116, kCpp = 117, kMht = 118, kXib = 119, kPlist = 120,
  kWsdl = 121, kRdf = 122, kDsp = 123, kDsw = 124, kSln = 125, kVcproj = 126, kSvg = 127, kPhp = 128,
  kHtml = 129, kXmp = 130, kXml = 131, kEml = 132, kRtf = 133, kBat = 134, kReg = 135, kUtxt = 136, kAtxt = 137,
};

constexpr std::size_t kFollowChunk = 16 * 1024;
constexpr std::uint64_t kMaxText = 0xFFFFFFFFu;
constexpr std::size_t kLeadingBlanksMax = 128;
constexpr std::size_t kOwnNameChars = 501;

bool TextByte(std::uint8_t b) { return b == 9 || b == 10 || b == 13 || b >= 32; }
// Short texts (padded with zeros to the sector end) must be plain: printable
// characters, tabs and line breaks; no 8-bit bytes.
bool Printable(std::uint8_t b) { return (b >= 32 && b <= 126) || b == 9 || b == 10 || b == 13; }
bool TextUnit(std::uint16_t u) { return u == 9 || u == 10 || u == 13 || u >= 32; }

std::size_t LeadingText(Bytes b, std::size_t n) {
  n = std::min(n, b.size());
  std::size_t i = 0;
  while (i < n && TextByte(b[i])) ++i;
  return i;
}

std::size_t LeadingUnits(Bytes b, std::size_t units) {
  units = std::min(units, b.size() / 2);
  std::size_t i = 0;
  while (i < units && TextUnit(LoadLe16(b, 2 * i))) ++i;
  return i;
}

// Zero bytes at the end of the sector.
std::size_t ZeroTail(Bytes sector) {
  std::size_t z = 0;
  while (z < sector.size() && sector[sector.size() - 1 - z] == 0) ++z;
  return z;
}

struct Stats {
  std::size_t blanks = 0, cr = 0, lf = 0, tabs = 0, equals = 0, blankSlash = 0;
};

Stats Count(Bytes text) {
  Stats s;
  for (std::size_t i = 0; i < text.size(); ++i) {
    switch (text[i]) {
      case ' ':
        ++s.blanks;
        if (i + 1 < text.size() && text[i + 1] == '/') ++s.blankSlash;
        break;
      case '\r': ++s.cr; break;
      case '\n': ++s.lf; break;
      case '\t': ++s.tabs; break;
      case '=': ++s.equals; break;
      default: break;
    }
  }
  return s;
}

char Lower(std::uint8_t c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); }

// Case-insensitive position of key in b[from, from + n), or npos.
std::size_t Find(Bytes b, std::string_view key, std::size_t from = 0, std::size_t n = std::string_view::npos) {
  if (from > b.size()) return std::string_view::npos;
  const std::size_t end = n == std::string_view::npos ? b.size() : std::min(b.size(), from + n);
  for (std::size_t i = from; i + key.size() <= end; ++i) {
    std::size_t k = 0;
    while (k < key.size() && Lower(b[i + k]) == Lower(static_cast<std::uint8_t>(key[k]))) ++k;
    if (k == key.size()) return i;
  }
  return std::string_view::npos;
}

bool Within(Bytes b, std::string_view key, std::size_t n, std::size_t from = 0) {
  return Find(b, key, from, n) != std::string_view::npos;
}
bool StartsWith(Bytes b, std::string_view key) { return Within(b, key, key.size()); }

// The sector after its leading blanks, tabs and line breaks; empty when more than 128 of them.
Bytes AfterBlanks(Bytes b) {
  std::size_t i = 0;
  while (i < b.size() && (b[i] == ' ' || b[i] == '\t' || b[i] == '\r' || b[i] == '\n')) {
    if (++i > kLeadingBlanksMax) return {};
  }
  return b.subspan(i);
}

bool Anywhere(Bytes b, std::string_view key) { return Find(b, key) != std::string_view::npos; }

// A project file's own name: the characters after the key, up to the next double quote.
std::u16string ProjectName(Bytes b, std::string_view key, std::size_t skip, std::u16string_view ext) {
  const std::size_t at = Find(b, key, 0, 256);
  if (at == std::string_view::npos) return {};
  std::u16string name;
  for (std::size_t i = at + skip; i < b.size() && b[i] != '"' && name.size() < kOwnNameChars; ++i)
    name.push_back(b[i]);
  if (name.empty()) return {};
  return name + std::u16string(ext);
}

bool IsCSource(Bytes a) {
  static constexpr std::string_view kKeys[] = {
      ".c ", "#include", "void", "\nchar ", "\nchar\t", "\rchar ", "\rchar\t", "\tchar ", "\tchar\t",
      " char ", " char\t", "#define", "#typedef", "#ifdef", "#ifndef",
  };
  return std::any_of(std::begin(kKeys), std::end(kKeys), [&](std::string_view k) { return Anywhere(a, k); });
}

// Follows a text over the sectors behind the first; false on a stop request.
template <typename SectorLength>
bool Follow(FindContext& c, std::uint64_t& size, SectorLength next) {
  RawScanner& s = c.scanner;
  const std::uint32_t ss = s.config.sectorSize;
  ReadAheadCursor cur = c.cursor;
  for (;;) {
    if (s.PauseOrStop()) return false;
    s.ShowRawProgress(size);
    cur.pos += ss;
    s.ReadAhead(cur, ss, kFollowChunk);
    const Bytes v = cur.view();
    if (v.size() < ss) return true;
    const std::size_t t = next(v.first(ss));
    size += t;
    if (t != ss || size > kMaxText - ss) return true;
  }
}

}  // namespace

TextClass ClassifyAnsiText(Bytes b, std::uint64_t size) {
  if (StartsWith(b, "FILE0") || StartsWith(b, "FILE*")) return {};  // a file-system record
  if (StartsWith(b, "data list list")) return {kSps, {}};
  if (StartsWith(b, "{\\rtf")) return {kRtf, {}};
  if (StartsWith(b, "REGEDIT4")) return {kReg, {}};
  if (Within(b, "<?php", 32)) return {kPhp, {}};
  if (Within(b, "!DOCTYPE HTML", 32) || Within(b, "<html", 32)) return {kHtml, {}};
  if (Within(b, "<RDF", 96)) return {kRdf, {}};
  if (Within(b, "<!DOCTYPE svg PUBLIC", 96)) return {kSvg, {}};
  if (Within(b, "<VisualStudioProject", 96)) return {kVcproj, ProjectName(b, "Name=", 6, u".vcproj")};
  if (size > 10 && Within(b, "Microsoft Visual Studio Solution File, Format Version", 96))
    return {kSln, ProjectName(b, "}\") = \"", 7, u".sln")};
  if (size > 10 && Within(b, "Microsoft Developer Studio Workspace File, Format Version", 96))
    return {kDsw, ProjectName(b, "Project: \"", 10, u".dsw")};
  if (size > 10 && Within(b, "Microsoft Developer Studio Project File", 96))
    return {kDsp, ProjectName(b, "Name=\"", 6, u".dsp")};
  if (b.size() >= 16 && (Within(b, "<?xml", 16) || Within(b, "xmlns", 96))) {
    if (Within(b, "<c:contact", 64, 32) || Within(b, ".xib", 128, 16) || Within(b, "NSIBObjectData", 128, 16))
      return {kXib, {}};
    if (Within(b, "/wsdl", 128, 16)) return {kWsdl, {}};
    if (Within(b, "//DTD PLIST", 128, 16)) return {kPlist, {}};
    return {kXml, {}};
  }
  if (Within(b, "@echo ", 96)) return {kBat, {}};
  if (Within(b, "Content-Type: multipart/related", 256)) return {kMht, {}};
  const Bytes a = AfterBlanks(b);
  if ((Anywhere(a, "From: ") && Anywhere(a, "To: ")) || Anywhere(a, "X-Account-Key: ") || Anywhere(a, "X-UIDL: "))
    return {kEml, {}};
  if (IsCSource(a)) {
    if (Anywhere(b, "stdafx.h") || Anywhere(b, "class") || Anywhere(b, ".cpp ")) return {kCpp, {}};
    return {kC, {}};
  }
  if (Anywhere(a, "using System")) return {kCs, {}};
  if (Anywhere(a, "unit ") && Anywhere(a, "interface")) return {kPas, {}};
  if (StartsWith(b, "LWSC\r\n")) return {kLws, {}};
  if (b.size() >= 7 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF && StartsWith(b.subspan(3), "<xml"))
    return {kXml, {}};
  if (StartsWith(b, "<x:xmpmeta")) return {kXmp, {}};
  const Stats st = Count(b.first(LeadingText(b, b.size())));
  if (st.equals > 10 || st.blankSlash > 5) return {};
  return {kAtxt, {}};
}

std::uint16_t ClassifyUnicodeText(Bytes b) {
  auto utf16At = [&](std::size_t off, std::string_view text) {
    if (b.size() < off + 2 * text.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
      if (b[off + 2 * i] != static_cast<std::uint8_t>(text[i]) || b[off + 2 * i + 1] != 0) return false;
    return true;
  };
  const bool bom = b.size() >= 2 && b[0] == 0xFF && b[1] == 0xFE;
  if (bom && utf16At(2, "Windows Registr")) return kReg;
  if (bom && utf16At(2, "<?xml")) return kXml;
  return kUtxt;
}

bool DetectAnsiText(FindContext& c, std::uint32_t& sizeOut) {
  sizeOut = 0;
  const std::uint32_t ss = c.scanner.config.sectorSize;
  const Bytes all = c.bytes();
  if (all.size() < ss || all[0] == 0) return false;
  const Bytes sector = all.first(ss);
  const std::size_t length = LeadingText(sector, ss);
  if (!length) return false;
  const std::size_t zeros = ZeroTail(sector);
  const bool shaped = zeros < 16 || (zeros == ss - length &&
                                     std::all_of(sector.begin(), sector.begin() + static_cast<std::ptrdiff_t>(length),
                                                 Printable));
  if (!shaped) return false;
  if (length <= 384 && (zeros < 16 || length < 4)) return false;
  const Stats st = Count(sector.first(length));
  if (st.blanks <= 2 && st.tabs <= 2 && st.cr < 2 && st.lf < 2 && zeros < 17) return false;

  std::uint64_t size = length;
  bool followed = false;
  if (length == ss) {
    followed = true;
    const bool ok = Follow(c, size, [ss](Bytes v) -> std::size_t {
      // A new file begins here.
      if (BytesEqual(v, 0, "<?xml") || BytesEqual(v, 0, "From: ") || BytesEqual(v, 0, "X-") ||
          BytesEqual(v, 0, "Message-ID: "))
        return 0;
      std::size_t t = LeadingText(v, ss);
      if (t == 0) {
        const std::size_t after = LeadingText(v.subspan(4), ss - 4);
        t = after ? after + 4 : 0;
      }
      return t;
    });
    if (!ok) return false;  // stopped: the find is abandoned
  }
  TextClass cls = ClassifyAnsiText(sector, size);
  if (!cls.item) return false;
  const ScanItem* row = ItemByIndex(c.scanner.table(), cls.item);
  if (!row) return false;
  c.scratch.ownName = std::move(cls.ownName);
  const auto size32 = static_cast<std::uint32_t>(std::min(size, kMaxText));
  c.scanner.RecordFind(*row, c.sector, size32, c.scratch, cluster_mark::kTextStart);
  if (followed) sizeOut = size32;
  return true;
}

bool DetectUnicodeText(FindContext& c, std::uint32_t& sizeOut) {
  sizeOut = 0;
  const std::uint32_t ss = c.scanner.config.sectorSize;
  const Bytes all = c.bytes();
  if (all.size() < ss || all[0] == 0) return false;
  const Bytes sector = all.first(ss);
  const std::size_t units = LeadingUnits(sector, ss / 2);
  const std::size_t zeros = ZeroTail(sector);
  bool shaped = zeros < 16;
  if (!shaped && zeros == ss + 1 - 2 * units) {
    shaped = true;
    for (std::size_t i = 0; i < units && shaped; ++i) {
      const std::uint16_t u = LoadLe16(sector, 2 * i);
      shaped = u == 0xFEFF || (u >= 32 && u <= 126) || u == 9 || u == 10 || u == 13;
    }
  }
  if (!shaped) return false;
  if (!(2 * units > 384 || (zeros > 15 && units > 3))) return false;
  Stats st;
  for (std::size_t i = 0; i < units; ++i) {
    switch (LoadLe16(sector, 2 * i)) {
      case ' ': ++st.blanks; break;
      case '\r': ++st.cr; break;
      case '\n': ++st.lf; break;
      case '\t': ++st.tabs; break;
      default: break;
    }
  }
  if (!(((st.blanks > 2 || st.tabs > 2) && st.cr > 1) || st.lf > 1 || zeros > 16)) return false;

  std::uint64_t size = 2 * units;
  bool followed = false;
  if (2 * units == ss) {
    followed = true;
    const bool ok = Follow(c, size, [ss](Bytes v) -> std::size_t {
      const std::size_t t = LeadingUnits(v, ss / 2);
      return t > 1 ? 2 * t : 0;
    });
    if (!ok) return false;
  }
  const ScanItem* row = ItemByIndex(c.scanner.table(), ClassifyUnicodeText(sector));
  if (!row) return false;
  c.scratch.ownName.clear();
  const auto size32 = static_cast<std::uint32_t>(std::min(size, kMaxText));
  c.scanner.RecordFind(*row, c.sector, size32, c.scratch, cluster_mark::kTextStart);
  if (followed) sizeOut = size32;
  return true;
}

}  // namespace kestrova
