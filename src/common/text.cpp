#include "common/text.h"

#include <algorithm>

namespace kestrova {

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

std::u16string ToUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<std::uint8_t>(s[i]);
    std::uint32_t cp = 0xFFFD;
    std::size_t len = 1;
    std::uint32_t min = 0;
    if (b0 < 0x80) {
      cp = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
      len = 2, cp = b0 & 0x1Fu, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      len = 3, cp = b0 & 0x0Fu, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      len = 4, cp = b0 & 0x07u, min = 0x10000;
    } else {
      len = 0;
    }
    if (len > 1) {
      bool ok = i + len <= s.size();
      for (std::size_t k = 1; ok && k < len; ++k) {
        const auto bk = static_cast<std::uint8_t>(s[i + k]);
        if ((bk & 0xC0) != 0x80) ok = false;
        else cp = (cp << 6) | (bk & 0x3Fu);
      }
      if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = 0xFFFD;
        len = 1;
      }
    } else if (len == 0) {
      cp = 0xFFFD;
      len = 1;
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

char16_t LowerChar(char16_t c) {
  if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 0x20) : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x130) return u'i';
    if (c == 0x178) return 0xFF;
    const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (oddUpper) return (c & 1) ? static_cast<char16_t>(c + 1) : c;
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    return (c & 1) ? c : static_cast<char16_t>(c + 1);
  }
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return static_cast<char16_t>(c + 0x20);
  if (c == 0x386) return 0x3AC;
  if (c >= 0x388 && c <= 0x38A) return static_cast<char16_t>(c + 0x25);
  if (c == 0x38C) return 0x3CC;
  if (c == 0x38E || c == 0x38F) return static_cast<char16_t>(c + 0x3F);
  if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 0x20);
  if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 0x50);
  if (c >= 0x460 && c <= 0x4BF) return (c & 1) ? c : static_cast<char16_t>(c + 1);
  if (c >= 0xFF21 && c <= 0xFF3A) return static_cast<char16_t>(c + 0x20);
  return c;
}

std::u16string ToLower(std::u16string_view text) {
  std::u16string out(text);
  std::transform(out.begin(), out.end(), out.begin(), LowerChar);
  return out;
}

int CompareNoCase(std::u16string_view a, std::u16string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t x = LowerChar(a[i]), y = LowerChar(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

namespace {

// A '?' in the name stands for the lost first character of a deleted entry.
bool CharMatches(char16_t nameChar, char16_t patternChar) {
  return nameChar == u'?' || nameChar == patternChar;
}

bool MatchAt(std::u16string_view name, std::size_t at, std::u16string_view pattern) {
  if (name.size() - at < pattern.size()) return false;
  for (std::size_t i = 0; i < pattern.size(); ++i)
    if (!CharMatches(name[at + i], pattern[i])) return false;
  return true;
}

// Wildcard match anchored at both ends; iterative with one backtrack point, so
// long names and many stars stay linear-ish and never recurse.
bool GlobMatch(std::u16string_view name, std::u16string_view pattern) {
  std::size_t n = 0, p = 0;
  std::size_t starP = std::u16string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() && CharMatches(name[n], pattern[p])) {
      ++n;
      ++p;
    } else if (starP != std::u16string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

}  // namespace

bool MatchName(std::u16string_view nameIn, std::u16string_view patternIn) {
  if (patternIn == u"*") return true;
  // Folded into buffers kept per thread: a search matches millions of names.
  thread_local std::u16string name, pattern;
  name.assign(nameIn);
  pattern.assign(patternIn);
  std::transform(name.begin(), name.end(), name.begin(), LowerChar);
  std::transform(pattern.begin(), pattern.end(), pattern.begin(), LowerChar);
  if (pattern.find(u'*') == std::u16string::npos) {
    if (pattern.empty()) return true;
    for (std::size_t at = 0; at + pattern.size() <= name.size(); ++at)
      if (MatchAt(name, at, pattern)) return true;
    return false;
  }
  return GlobMatch(name, pattern);
}

std::u16string Latin1Field(std::span<const std::uint8_t> bytes) {
  std::u16string out;
  for (std::uint8_t b : bytes) {
    if (b == 0) break;
    out += static_cast<char16_t>(b);
  }
  while (!out.empty() && out.back() == u' ') out.pop_back();
  return out;
}

std::u16string Utf16LeField(std::span<const std::uint8_t> bytes, std::size_t chars) {
  std::u16string out;
  for (std::size_t i = 0; i < chars && 2 * i + 1 < bytes.size(); ++i) {
    const auto c = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    if (c == 0) break;
    out += c;
  }
  return out;
}

}  // namespace kestrova

namespace kestrova {

std::u16string FillPlaceholders(std::u16string_view pattern, std::initializer_list<std::u16string_view> args) {
  std::u16string out;
  auto next = args.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != u'%' || i + 1 >= pattern.size()) {
      out += pattern[i];
      continue;
    }
    if (pattern[i + 1] == u'%') {
      out += u'%';
      ++i;
      continue;
    }
    // Skip flags, width, precision and the I64/l/h length modifiers up to the conversion letter.
    std::size_t j = i + 1;
    while (j < pattern.size() && std::u16string_view(u"-+ #0123456789.I64lhz").find(pattern[j]) != std::u16string_view::npos) ++j;
    if (j >= pattern.size() || std::u16string_view(u"sSdiuxXcf").find(pattern[j]) == std::u16string_view::npos) {
      out += pattern[i];
      continue;
    }
    if (next != args.end()) out += *next++;
    i = j;
  }
  return out;
}

std::string EscapeControls(std::string_view utf8) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) {
      // U+0080..U+009F: CSI (U+009B) and friends.
      const auto d = static_cast<unsigned char>(utf8[++i]);
      out += "\\u00";
      out.push_back(kHex[d >> 4]);
      out.push_back(kHex[d & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

}  // namespace kestrova
