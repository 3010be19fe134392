#include "recovery/output_names.h"

#include "common/activity.h"

#include "common/text.h"

#include <cstdio>

namespace kestrova {
namespace {

// Most Linux file systems take 255 bytes per name. Cuts whole characters (a
// surrogate pair never loses one half) before a short extension, else at the
// end, until the UTF-8 form plus `reserve` bytes fits.
constexpr std::size_t kMaxNameBytes = 255;

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

std::u16string CutToFit(std::u16string s, std::size_t reserve) {
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

}  // namespace

std::u16string MakeCollisionName(std::u16string_view name, unsigned n) {
  char number[16];
  std::snprintf(number, sizeof number, "[%.3u]", n);
  const std::u16string tag = ToUtf16(number);
  // The last dot between index 1 and the second-to-last character.
  for (std::size_t i = name.size() >= 2 ? name.size() - 2 : 0; i >= 1 && i < name.size(); --i) {
    if (name[i] == u'.')
      return std::u16string(name.substr(0, i)) + tag + u"." + std::u16string(name.substr(i + 1));
  }
  return std::u16string(name) + tag;
}

std::u16string SafeOutputName(std::u16string_view name) {
  std::u16string safe;
  for (char16_t c : name) safe.push_back((c < 0x20 || c == u'/' || c == u'\\' || c == 0x7F) ? u'_' : c);
  if (safe.empty()) return u"_";
  if (safe == u"." || safe == u"..") return u"_" + safe;
  return CutToFit(std::move(safe), 0);
}

std::u16string NumberedName(std::u16string_view safeName, unsigned n) {
  char number[16];
  const int tag = std::snprintf(number, sizeof number, "[%.3u]", n);
  return MakeCollisionName(CutToFit(std::u16string(safeName), static_cast<std::size_t>(tag > 0 ? tag : 0)), n);
}

std::u16string RecoveryFolderName(std::u16string_view currentFolder) {
  std::u16string name;
  for (std::size_t i = 0; i < currentFolder.size(); ++i) {
    const char16_t c = currentFolder[i];
    if (c == u':' || c == u'\\') continue;
    name.push_back(i == 0 && c == u'?' ? u'_' : c);
  }
  return name + u" (RECOVERY)";
}

}  // namespace kestrova
