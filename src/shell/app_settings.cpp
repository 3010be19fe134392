#include "shell/app_settings.h"
#include "common/activity.h"

#include "shell/profile.h"

namespace kestrova {

StatusColours DefaultColours(std::uint32_t windowText) {
  const std::uint32_t deleted = windowText > 0x808080 ? windowText - 0x808080 : windowText + 0x808080;
  return {deleted, windowText, 0x0000FF, 0xFF00FF, 0xFF0000, 0x13920D, 0x400080};
}

AppSettings LoadAppSettings(const std::string& settingsFile, std::uint32_t windowText,
                            const std::u16string& localeLanguage) {
  ActivityMark activity(Fn::LoadAppSettings);
  AppSettings s;
  s.colours = DefaultColours(windowText);
  Profile profile(settingsFile);
  profile.Read(u"MAIN", u"LANGUAGE", s.language);
  if (s.language.empty()) s.language = localeLanguage;
  profile.Read(u"MAIN", u"UPDATEHOST", s.updateHost);
  for (std::size_t i = 0; i < kColourKeys.size(); ++i) profile.Read(u"COLORS", kColourKeys[i], s.colours[i], ProfileType::Colour);
  return s;
}

bool SaveAppSettings(const std::string& settingsFile, const AppSettings& settings) {
  ActivityMark activity(Fn::SaveAppSettings);
  if (settingsFile.empty()) return false;
  Profile profile(settingsFile);
  for (std::size_t i = 0; i < kColourKeys.size(); ++i)
    profile.Write(u"COLORS", kColourKeys[i], settings.colours[i], ProfileType::Colour);
  profile.Write(u"MAIN", u"LANGUAGE", settings.language);
  return profile.Flush();
}

bool SaveColours(const std::string& settingsFile, const StatusColours& colours) {
  if (settingsFile.empty()) return false;
  Profile profile(settingsFile);
  for (std::size_t i = 0; i < kColourKeys.size(); ++i)
    profile.Write(u"COLORS", kColourKeys[i], colours[i], ProfileType::Colour);
  return profile.Flush();
}

}  // namespace kestrova
