#include "raw/content_checks.h"

#include "common/activity.h"

#include "common/le.h"
#include "common/text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <vector>

namespace kestrova {

enum class Tail { None, Pdf, Jpg, Rtf, ThreeDs };

// header(sector, L, size): L = min(size, sector size).
struct ContentRule {
  std::array<std::u16string_view, 5> extensions;
  bool (*header)(Bytes s, std::size_t L, std::uint64_t size);
  Tail tail = Tail::None;
};

namespace {

bool At(Bytes s, std::size_t off, std::string_view text) { return BytesEqual(s, off, text); }
bool AtBytes(Bytes s, std::size_t off, std::initializer_list<std::uint8_t> bytes) {
  if (off + bytes.size() > s.size()) return false;
  std::size_t i = off;
  for (std::uint8_t b : bytes)
    if (s[i++] != b) return false;
  return true;
}
bool SizeIs(std::uint64_t value, std::uint64_t size) { return size <= 0xFFFFFFFFu && value == size; }

bool IsText(Bytes s, std::size_t L) {
  for (std::size_t i = 0; i < L && i < s.size(); ++i) {
    const std::uint8_t c = s[i];
    if (!(c == 9 || c == 10 || c == 13 || c >= 32)) return false;
  }
  return true;
}

// Case-insensitive search within the first L bytes.
bool Has(Bytes s, std::size_t L, std::string_view key) {
  L = std::min(L, s.size());
  if (key.size() > L) return false;
  for (std::size_t i = 0; i + key.size() <= L; ++i) {
    std::size_t k = 0;
    while (k < key.size() && std::tolower(s[i + k]) == std::tolower(static_cast<unsigned char>(key[k]))) ++k;
    if (k == key.size()) return true;
  }
  return false;
}
bool HasAny(Bytes s, std::size_t L, std::initializer_list<std::string_view> keys) {
  return std::any_of(keys.begin(), keys.end(), [&](std::string_view k) { return Has(s, L, k); });
}
bool StartsWith(Bytes s, std::string_view text) { return At(s, 0, text); }

bool CHeader(Bytes s, std::size_t L) {
  return IsText(s, L) && (StartsWith(s, "/*") || HasAny(s, L, {"#include", "void", "void\t", "[]=", "char ", "char\t",
                                                               "#define", "#typedef", "#ifdef", "#ifndef"}));
}

const ContentRule kRules[] = {
    {{u"AVI"}, [](Bytes s, std::size_t, std::uint64_t) { return At(s, 0, "RIFF") && At(s, 8, "AVI"); }},
    {{u"ASF", u"WMV", u"WMA"},
     [](Bytes s, std::size_t, std::uint64_t) { return AtBytes(s, 0, {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11}); }},
    {{u"AX", u"DLL", u"EXE", u"OCX", u"SCR"},
     [](Bytes s, std::size_t, std::uint64_t) { return At(s, 0, "MZ") && At(s, LoadLe16(s, 60), "PE"); }},
    {{u"BMP"}, [](Bytes s, std::size_t, std::uint64_t n) { return At(s, 0, "BM") && SizeIs(LoadLe32(s, 2), n); }},
    {{u"BAT"},
     [](Bytes s, std::size_t L, std::uint64_t) {
       return IsText(s, L) && HasAny(s, L, {"@echo", "\r\npause", "\r\ncls", "set ", "path="});
     }},
    {{u"BIK"}, [](Bytes s, std::size_t, std::uint64_t) { return At(s, 0, "BIK"); }},
    {{u"C"}, [](Bytes s, std::size_t L, std::uint64_t) { return CHeader(s, L); }},
    {{u"CPP"},
     [](Bytes s, std::size_t L, std::uint64_t) { return CHeader(s, L) || (IsText(s, L) && HasAny(s, L, {"class ", "class\t"})); }},
    {{u"H"},
     [](Bytes s, std::size_t L, std::uint64_t) {
       return IsText(s, L) &&
              (StartsWith(s, "/*") || HasAny(s, L, {"#define", "#extern", "#if", "#pragma", "#ifdef", "#ifndef"}));
     }},
    {{u"ASM"},
     [](Bytes s, std::size_t L, std::uint64_t) {
       return IsText(s, L) && HasAny(s, L, {"86\r\n", "86p\r\n", ".code", ".data", "eax,", ",eax", " struct", "\tstruct",
                                            ".if", "invoke", "push ", "push\t", ":dword", "\tdb", "\tdd", "\tdw", "proc ",
                                            "proc\t", "cmp"});
     }},
    {{u"CSS"},
     [](Bytes s, std::size_t L, std::uint64_t) {
       return IsText(s, L) && HasAny(s, L, {"@charset", "text- ", "margin-", "border-", "font-", "!important"});
     }},
    {{u"HTM"},
     [](Bytes s, std::size_t L, std::uint64_t) {
       return IsText(s, L) && HasAny(s, L, {"<!DOCTYPE", "<html>", " charset=iso", "\"http://www.\""});
     }},
    {{u"INI", u"INF"},
     [](Bytes s, std::size_t L, std::uint64_t) { return IsText(s, L) && HasAny(s, L, {"]\r\n", "\r\n["}); }},
    {{u"PAS"},
     [](Bytes s, std::size_t L, std::uint64_t) {
       return IsText(s, L) && (StartsWith(s, "/*") || HasAny(s, L, {"unit ", "\ninterface", "\ntype ", "\nuses "}));
     }},
    {{u"JS"},
     [](Bytes s, std::size_t L, std::uint64_t) {
       return StartsWith(s, "var") || (IsText(s, L) && HasAny(s, L, {"\nvar ", "\nvar\t"}));
     }},
    {{u"DPR"},
     [](Bytes s, std::size_t L, std::uint64_t) {
       return StartsWith(s, "prog") || (IsText(s, L) && HasAny(s, L, {"\nprogram ", "\nprogram\t"}));
     }},
    {{u"DFM"}, [](Bytes s, std::size_t L, std::uint64_t) { return StartsWith(s, "var") || Has(s, L, "Font."); }},
    {{u"CHM"}, [](Bytes s, std::size_t, std::uint64_t) { return At(s, 0, "ITSF"); }},
    {{u"CUR"}, [](Bytes s, std::size_t, std::uint64_t) { return s.size() >= 4 && LoadLe32(s, 0) == 0x00020000; }},
    {{u"ICO"}, [](Bytes s, std::size_t, std::uint64_t) { return s.size() >= 4 && LoadLe32(s, 0) == 0x00010000; }},
    {{u"DDS"}, [](Bytes s, std::size_t, std::uint64_t) { return At(s, 0, "DDS "); }},
    {{u"DOC"}, [](Bytes s, std::size_t, std::uint64_t) { return AtBytes(s, 0, {0xD0, 0xCF, 0x11, 0xE0}); }},
    {{u"DOCX", u"ZIP"}, [](Bytes s, std::size_t, std::uint64_t) { return At(s, 0, "PK"); }},
    {{u"EMF"}, [](Bytes s, std::size_t, std::uint64_t) { return s.size() >= 4 && LoadLe32(s, 0) == 1; }},
    {{u"FLC"}, [](Bytes s, std::size_t, std::uint64_t) { return s.size() >= 2 && LoadLe16(s, 0) == 0xAF12; }},
    {{u"GIF"}, [](Bytes s, std::size_t, std::uint64_t) { return At(s, 0, "GIF8"); }},
    {{u"HLP"}, [](Bytes s, std::size_t, std::uint64_t) { return AtBytes(s, 0, {0x3F, 0x5F, 0x03, 0x00}); }},
    {{u"IFF"}, [](Bytes s, std::size_t, std::uint64_t) { return At(s, 0, "FOR4"); }},
    {{u"JPG"}, [](Bytes s, std::size_t, std::uint64_t) { return AtBytes(s, 0, {0xFF, 0xD8, 0xFF}); }, Tail::Jpg},
    {{u"LWO"},
     [](Bytes s, std::size_t, std::uint64_t n) {
       return At(s, 0, "FORM") && SizeIs(std::uint64_t{LoadBe32(s, 4)} + 8, n);
     }},
    {{u"MP4"}, [](Bytes s, std::size_t, std::uint64_t) { return At(s, 4, "ftyp"); }},
    {{u"MOV"},
     [](Bytes s, std::size_t, std::uint64_t n) {
       if (At(s, 4, "moov")) return SizeIs(LoadLe32(s, 0), n);
       return At(s, 4, "mdat") || At(s, 4, "free") || At(s, 4, "wide") || At(s, 4, "pnot") || At(s, 4, "skip");
     }},
    {{u"MPG", u"VOB"},
     [](Bytes s, std::size_t, std::uint64_t) {
       return AtBytes(s, 0, {0x00, 0x00, 0x01, 0xBA}) || AtBytes(s, 0, {0x47, 0x40, 0x00, 0x30});
     }},
    {{u"MID"}, [](Bytes s, std::size_t, std::uint64_t) { return At(s, 0, "MThd"); }},
    {{u"MP3"}, [](Bytes s, std::size_t, std::uint64_t) { return At(s, 0, "ID3"); }},
    {{u"MHT"}, [](Bytes s, std::size_t, std::uint64_t) { return At(s, 0, "Cont"); }},
    {{u"MPQ"},
     [](Bytes s, std::size_t, std::uint64_t n) { return AtBytes(s, 0, {0x4D, 0x50, 0x51, 0x1A}) && SizeIs(LoadLe32(s, 8), n); }},
    {{u"OGG"}, [](Bytes s, std::size_t, std::uint64_t) { return At(s, 0, "OggS"); }},
    {{u"PDF"}, [](Bytes s, std::size_t, std::uint64_t) { return At(s, 0, "%PDF"); }, Tail::Pdf},
    {{u"PCX"}, [](Bytes s, std::size_t, std::uint64_t) { return AtBytes(s, 0, {0x0A, 0x05, 0x01, 0x08}); }},
    {{u"PNG"}, [](Bytes s, std::size_t, std::uint64_t) { return AtBytes(s, 0, {0x89, 0x50, 0x4E, 0x47}); }},
    {{u"RAR"}, [](Bytes s, std::size_t, std::uint64_t) { return At(s, 0, "Rar!"); }},
    {{u"RTF"}, [](Bytes s, std::size_t, std::uint64_t) { return At(s, 0, "{\\rt"); }, Tail::Rtf},
    {{u"S3M"}, [](Bytes, std::size_t, std::uint64_t) { return false; }},
    {{u"SMK"}, [](Bytes s, std::size_t, std::uint64_t) { return At(s, 0, "SMK"); }},
    {{u"SWF"},
     [](Bytes s, std::size_t, std::uint64_t n) { return (At(s, 0, "FWS") && SizeIs(LoadLe32(s, 4), n)) || At(s, 0, "CWS"); }},
    {{u"TIF"}, [](Bytes s, std::size_t, std::uint64_t) { return AtBytes(s, 0, {0x49, 0x49, 0x2A, 0x00}); }},
    {{u"TGA"}, [](Bytes s, std::size_t, std::uint64_t) { return AtBytes(s, 0, {0x00, 0x02}); }},
    {{u"WAV"},
     [](Bytes s, std::size_t, std::uint64_t n) {
       return At(s, 0, "RIFF") && At(s, 8, "WAVE") && SizeIs(std::uint64_t{LoadLe32(s, 4)} + 8, n);
     }},
    {{u"WMF"},
     [](Bytes s, std::size_t, std::uint64_t n) {
       const std::uint32_t magic = LoadLe32(s, 0);
       return s.size() >= 10 && (magic == 0x9AC6CDD7 || magic == 0x00090001) && SizeIs(LoadLe32(s, 6), n);
     }},
    {{u"XM"}, [](Bytes s, std::size_t, std::uint64_t) { return At(s, 0, "Extended Module:"); }},
    {{u"XML", u"XSD"},
     [](Bytes s, std::size_t, std::uint64_t) {
       static const std::uint8_t kBomXml[] = {0xFF, 0xFE, '<', 0, '?', 0, 'x', 0, 'm', 0, 'l'};
       static const std::uint8_t kXml16[] = {'<', 0, '?', 0, 'x', 0, 'm', 0, 'l'};
       auto starts = [&](std::span<const std::uint8_t> p) {
         return s.size() >= p.size() && std::equal(p.begin(), p.end(), s.begin());
       };
       return starts(kBomXml) || starts(kXml16) || At(s, 0, "<?xml");
     }},
    {{u"3DS"}, [](Bytes s, std::size_t, std::uint64_t n) { return At(s, 0, "MM") && SizeIs(LoadLe32(s, 2), n); },
     Tail::ThreeDs},
};

bool TailMatches(Tail tail, Bytes end) {
  // end: the file's last bytes.
  const std::size_t n = end.size();
  switch (tail) {
    case Tail::Pdf: return n >= 4 && BytesEqual(end, n - 4, "EOF\n");
    case Tail::Jpg: return n >= 2 && end[n - 2] == 0xFF && end[n - 1] == 0xD9;
    case Tail::Rtf: return n >= 1 && end[n - 1] == '}';
    case Tail::ThreeDs: {
      if (n < 8) return false;
      const std::uint32_t a = LoadLe32(end, n - 8), b = LoadLe32(end, n - 4);
      return a == b && a != 0 && a != 0xFFFFFFFFu;
    }
    default: return false;
  }
}

// Reads the two sectors that hold the file's last bytes, assuming the file is
// stored contiguously from the cluster, and tests them.
void CheckTail(const ContentRule& rule, CheckContext& ctx, std::uint64_t cluster, CheckedFile& file,
               Bytes firstSector) {
  SectorDevice& d = ctx.device;
  const std::uint64_t ss = d.sectorSize ? d.sectorSize : 512;
  bool matched;
  if (file.size <= ss) {
    matched = TailMatches(rule.tail, firstSector.subspan(0, static_cast<std::size_t>(std::min<std::uint64_t>(file.size, firstSector.size()))));
  } else {
    const std::uint64_t k = file.size / ss;  // the sector holding the byte at `size`
    std::vector<std::uint8_t> two(static_cast<std::size_t>(2 * ss));
    if (d.ReadSectors(d.ClusterSector(cluster) + k - 1, two, 2) != ReadOk) return;
    const std::uint64_t endInBuffer = file.size - (k - 1) * ss;  // 1 .. 2 * ss
    matched = TailMatches(rule.tail, Bytes(two).subspan(0, static_cast<std::size_t>(endInBuffer)));
  }
  if (!matched) return;
  file.tailVerified = true;
  const std::uint64_t bpc = std::uint64_t{d.sectorsPerCluster ? d.sectorsPerCluster : 1} * ss;
  if (ctx.markRange) ctx.markRange(cluster, (file.size + bpc - 1) / bpc);
}

}  // namespace

ContentCheck ContentCheckFor(std::u16string_view name) {
  ActivityMark activity(Fn::ContentCheckFor);
  const std::size_t dot = name.rfind(u'.');
  if (name.empty() || dot == std::u16string_view::npos || dot + 1 == name.size()) return nullptr;
  const std::u16string_view ext = name.substr(dot + 1);
  for (const ContentRule& rule : kRules) {
    for (std::u16string_view e : rule.extensions)
      if (!e.empty() && CompareNoCase(e, ext) == 0) return &rule;
  }
  return nullptr;
}

bool HeaderMatches(std::u16string_view extension, std::span<const std::uint8_t> sector, std::uint64_t size) {
  const ContentCheck check = ContentCheckFor(u"x." + std::u16string(extension));
  if (!check) return false;
  const std::size_t L = static_cast<std::size_t>(std::min<std::uint64_t>(size, sector.size()));
  return check->header(sector, L, size);
}

bool RunContentCheck(ContentCheck check, CheckContext& ctx, std::uint64_t cluster, CheckedFile& file,
                     std::span<std::uint8_t> buffer) {
  if (!check) return false;
  const std::size_t ss = std::max<std::size_t>(ctx.device.sectorSize, 512);
  if (buffer.size() < ss) return false;
  const auto sector = buffer.subspan(0, ss);
  // A failed read leaves the buffer as it is; the check judges what it sees.
  ctx.device.ReadClusterSector(cluster, sector);
  const std::size_t L = static_cast<std::size_t>(std::min<std::uint64_t>(file.size, ss));
  if (!check->header(sector, L, file.size)) return false;
  if (check->tail != Tail::None) CheckTail(*check, ctx, cluster, file, sector);
  return true;
}

}  // namespace kestrova
