#include "recovery/output_names.h"

#include "common/activity.h"

#include "common/safe_name.h"
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

std::u16string NumberedName(std::u16string_view safeName, unsigned n) {
  char number[16];
  const int tag = std::snprintf(number, sizeof number, "[%.3u]", n);
  return MakeCollisionName(CutNameToFit(std::u16string(safeName), static_cast<std::size_t>(tag > 0 ? tag : 0)), n);
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
