#include "recovery/output_names.h"

#include "common/text.h"

#include <cstdio>

namespace kestrova {

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
  // Most Linux file systems take 255 bytes per name; keep the extension when cutting.
  while (ToUtf8(safe).size() > 255) {
    const std::size_t dot = safe.rfind(u'.');
    const std::size_t cut = (dot != std::u16string::npos && dot > 0 && safe.size() - dot <= 16) ? dot - 1 : safe.size() - 1;
    safe.erase(cut, 1);
  }
  return safe;
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
