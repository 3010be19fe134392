// The settings file "Kestrova.cfg": the language and the seven status colours,
// read at start and written back at exit (only when a settings folder is set).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrova {

// COLORS keys, in the order of the configurable colour categories.
inline constexpr std::array<std::u16string_view, 7> kColourKeys{
    u"DELETED", u"EXISTING", u"OVERWRITTEN", u"NOTDETECTED", u"COMPRESSED", u"ENCRYPTED", u"SPECIAL"};

using StatusColours = std::array<std::uint32_t, 7>;  // COLORREF 0x00BBGGRR

// Defaults: fixed colours, EXISTING = the window-text colour and DELETED a
// grey derived from it.
StatusColours DefaultColours(std::uint32_t windowText);

struct AppSettings {
  std::u16string language;
  StatusColours colours{};
  // MAIN/UPDATEHOST: where the update check asks; empty (the default): no check.
  // Read only: a value set by hand or by a distribution stays as it is.
  std::u16string updateHost;
};

// Defaults, then the file's values. The language falls back to the locale's.
AppSettings LoadAppSettings(const std::string& settingsFile, std::uint32_t windowText,
                            const std::u16string& localeLanguage);
bool SaveAppSettings(const std::string& settingsFile, const AppSettings& settings);
// "Set all colors as default": the COLORS section written at once, the other
// values of the file left as they are. False when the file cannot be written.
bool SaveColours(const std::string& settingsFile, const StatusColours& colours);

}  // namespace kestrova
