// The update check at start: one request for "vernote.txt" on the update host
// named in the settings file (MAIN/UPDATEHOST). The host is empty unless the
// user or the distribution sets one, and then no request is made at all: a
// distribution updates the program itself. The request itself is the front
// end's; what to ask and what the answer means is decided here.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrova {

// At most this many bytes of the answer are read.
inline constexpr std::size_t kUpdateAnswerLimit = 31;

// "https://HOST/vernote.txt"; nothing for an empty (or blank) host, or one
// that is not a bare host name with an optional port.
std::optional<std::string> UpdateCheckUrl(std::u16string_view host);
// The page a user who accepts a new version is sent to: the host's root.
std::string UpdateDownloadUrl(std::u16string_view host);

// True when the answer (its first kUpdateAnswerLimit bytes) begins with
// "VERSION: " and the version after it differs from `current`.
bool AnswerOffersNewVersion(std::string_view answer, std::u16string_view current);

}  // namespace kestrova
