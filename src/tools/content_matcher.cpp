#include "tools/content_matcher.h"

#include "common/activity.h"
#include "common/text.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kestrova {
namespace {

constexpr std::array<std::uint8_t, 256> MakeAsciiFold() {
  std::array<std::uint8_t, 256> t{};
  for (int i = 0; i < 256; ++i) t[i] = static_cast<std::uint8_t>(i >= 'A' && i <= 'Z' ? i + 32 : i);
  return t;
}
constexpr std::array<std::uint8_t, 256> kFold = MakeAsciiFold();

bool IsSeparator(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

}  // namespace

PatternError CompilePattern(std::u16string_view text, DataKind kind, bool caseSensitive, bool wholeWords,
                            ContentPattern& out) {
  out = ContentPattern{};
  out.kind = kind;
  out.caseSensitive = caseSensitive || kind == DataKind::Hex;
  out.wholeWords = wholeWords && kind != DataKind::Hex;
  if (text.empty()) return PatternError::Empty;
  switch (kind) {
    case DataKind::Ascii: {
      const std::string utf8 = ToUtf8(text);
      out.bytes.assign(utf8.begin(), utf8.end());
      break;
    }
    case DataKind::Unicode:
      for (char16_t c : text) {
        out.bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.bytes.push_back(static_cast<std::uint8_t>(c >> 8));
      }
      break;
    case DataKind::Hex: {
      std::u16string digits;
      for (char16_t c : text)
        if (c != u' ' && c != u'\t') digits.push_back(c);
      if (digits.empty()) return PatternError::Empty;
      if (digits.size() % 2 != 0) return PatternError::HexParity;
      for (std::size_t i = 0; i < digits.size(); i += 2) {
        const int hi = HexValue(digits[i]), lo = HexValue(digits[i + 1]);
        if (hi < 0 || lo < 0) return PatternError::HexDigit;
        out.bytes.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
      }
      break;
    }
  }
  return out.bytes.empty() ? PatternError::Empty : PatternError::None;
}

std::u16string PatternText(const ContentPattern& p) {
  std::u16string out;
  switch (p.kind) {
    case DataKind::Ascii: return ToUtf16(std::string(p.bytes.begin(), p.bytes.end()));
    case DataKind::Unicode:
      for (std::size_t i = 0; i + 1 < p.bytes.size(); i += 2)
        out.push_back(static_cast<char16_t>(p.bytes[i] | p.bytes[i + 1] << 8));
      return out;
    case DataKind::Hex:
      for (std::uint8_t b : p.bytes) {
        static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 15]);
      }
      return out;
  }
  return out;
}

ContentMatcher::ContentMatcher(ContentPattern pattern) : pattern_(std::move(pattern)) {
  unit_ = pattern_.kind == DataKind::Unicode ? 2 : 1;
  if (!pattern_.caseSensitive) {
    if (pattern_.kind == DataKind::Ascii) {
      for (std::uint8_t& b : pattern_.bytes) b = kFold[b];
    } else if (pattern_.kind == DataKind::Unicode) {
      for (std::size_t i = 0; i + 1 < pattern_.bytes.size(); i += 2) {
        const char16_t c = LowerChar(static_cast<char16_t>(pattern_.bytes[i] | pattern_.bytes[i + 1] << 8));
        pattern_.bytes[i] = static_cast<std::uint8_t>(c & 0xFF);
        pattern_.bytes[i + 1] = static_cast<std::uint8_t>(c >> 8);
      }
    }
  }
}

void ContentMatcher::Reset() {
  window_.clear();
  windowStart_ = 0;
  searched_ = 0;
  found_ = false;
}

bool ContentMatcher::EqualAt(std::size_t p) const {
  const std::vector<std::uint8_t>& pat = pattern_.bytes;
  const std::uint8_t* w = window_.data() + p;
  if (pattern_.caseSensitive) return std::memcmp(w, pat.data(), pat.size()) == 0;
  if (pattern_.kind == DataKind::Ascii) {
    for (std::size_t i = 0; i < pat.size(); ++i)
      if (kFold[w[i]] != pat[i]) return false;
    return true;
  }
  for (std::size_t i = 0; i + 1 < pat.size(); i += 2) {
    const char16_t c = LowerChar(static_cast<char16_t>(w[i] | w[i + 1] << 8));
    if (c != static_cast<char16_t>(pat[i] | pat[i + 1] << 8)) return false;
  }
  return true;
}

bool ContentMatcher::SeparatorAt(std::size_t p) const {
  if (unit_ == 1) return IsSeparator(static_cast<char16_t>(window_[p]));
  return IsSeparator(static_cast<char16_t>(window_[p] | window_[p + 1] << 8));
}

// A match at window position p as a whole word: the file's start or a blank
// before it, the file's end or a blank after it. A match whose neighbour has
// not been read yet is left for the next piece, which sees it again.
bool ContentMatcher::Accept(std::size_t p, bool atEnd) const {
  if (!pattern_.wholeWords) return true;
  const std::size_t len = pattern_.bytes.size();
  if (windowStart_ + p != 0) {
    if (p < unit_) return false;  // judged in the earlier window, which held its neighbour
    if (!SeparatorAt(p - unit_)) return false;
  }
  const std::size_t after = p + len;
  if (after + unit_ <= window_.size()) return SeparatorAt(after);
  return atEnd && after == window_.size();
}

bool ContentMatcher::Scan(bool atEnd) {
  const std::size_t len = pattern_.bytes.size();
  if (len == 0 || window_.size() < len) return false;
  const std::size_t last = window_.size() - len;
  const std::uint8_t first = pattern_.bytes[0];
  const bool exactFirst = pattern_.caseSensitive || pattern_.kind == DataKind::Unicode ||
                          (kFold[first] == first && !(first >= 'a' && first <= 'z'));
  for (std::size_t p = 0; p <= last; ++p) {
    if (exactFirst && pattern_.kind != DataKind::Unicode) {
      const void* hit = std::memchr(window_.data() + p, first, last - p + 1);
      if (!hit) return false;
      p = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - window_.data());
    } else if (pattern_.kind == DataKind::Ascii && kFold[window_[p]] != first) {
      continue;
    }
    if (EqualAt(p) && Accept(p, atEnd)) return true;
  }
  return false;
}

bool ContentMatcher::Feed(std::span<const std::uint8_t> piece) {
  if (found_) return true;
  window_.insert(window_.end(), piece.begin(), piece.end());
  searched_ += piece.size();
  if (Scan(false)) return found_ = true;
  // Carry what may still start a match, with the character before it for the word test.
  const std::size_t keep = std::min(window_.size(), pattern_.bytes.size() + 2 * unit_);
  windowStart_ += window_.size() - keep;
  window_.erase(window_.begin(), window_.end() - static_cast<std::ptrdiff_t>(keep));
  return false;
}

bool ContentMatcher::Finish() {
  if (found_) return true;
  // Only a whole word that ends with the file is still open.
  if (pattern_.wholeWords && Scan(true)) found_ = true;
  return found_;
}

}  // namespace kestrova
