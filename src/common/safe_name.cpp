#include "common/safe_name.h"

namespace kestrova {

std::size_t Utf8Length(std::u16string_view s) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char16_t c = s[i];
    if (c < 0x80) n += 1;
    else if (c < 0x800) n += 2;
    else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      n += 4;
      ++i;
    } else n += 3;
  }
  return n;
}

std::u16string CutNameToFit(std::u16string s, std::size_t reserve) {
  const std::size_t limit = reserve < kMaxNameBytes ? kMaxNameBytes - reserve : 1;
  while (Utf8Length(s) > limit && s.size() > 1) {
    const std::size_t dot = s.rfind(u'.');
    // The character before the extension, or the last one.
    std::size_t end = (dot != std::u16string::npos && dot > 0 && s.size() - dot <= 16) ? dot : s.size();
    if (end == 0) end = s.size();
    std::size_t begin = end - 1;
    if (begin > 0 && s[begin] >= 0xDC00 && s[begin] <= 0xDFFF && s[begin - 1] >= 0xD800 && s[begin - 1] <= 0xDBFF) --begin;
    s.erase(begin, end - begin);
  }
  return s;
}

std::u16string SafeOutputName(std::u16string_view name) {
  std::u16string safe;
  for (char16_t c : name) safe.push_back((c < 0x20 || c == u'/' || c == u'\\' || c == 0x7F) ? u'_' : c);
  if (safe.empty()) return u"_";
  if (safe == u"." || safe == u"..") return u"_" + safe;
  return CutNameToFit(std::move(safe), 0);
}

}  // namespace kestrova
