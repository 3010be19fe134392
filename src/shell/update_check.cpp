#include "shell/update_check.h"

#include "common/text.h"

#include <algorithm>

namespace kestrova {
namespace {

std::u16string_view Trimmed(std::u16string_view s) {
  while (!s.empty() && (s.front() == u' ' || s.front() == u'\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == u' ' || s.back() == u'\t')) s.remove_suffix(1);
  return s;
}

// Letters, digits, '-', '.' and one ":port": nothing that could change the
// request's path, user or scheme.
bool IsBareHost(std::u16string_view host) {
  const std::size_t colon = host.find(u':');
  const std::u16string_view name = host.substr(0, colon);
  if (name.empty() || name.front() == u'.' || name.front() == u'-') return false;
  for (char16_t c : name)
    if (!((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-' || c == u'.'))
      return false;
  if (colon == std::u16string_view::npos) return true;
  const std::u16string_view port = host.substr(colon + 1);
  if (port.empty() || port.size() > 5) return false;
  return std::all_of(port.begin(), port.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; });
}

}  // namespace

std::optional<std::string> UpdateCheckUrl(std::u16string_view host) {
  host = Trimmed(host);
  if (host.empty() || !IsBareHost(host)) return std::nullopt;
  return "https://" + ToUtf8(std::u16string(host)) + "/vernote.txt";
}

std::string UpdateDownloadUrl(std::u16string_view host) {
  host = Trimmed(host);
  if (host.empty() || !IsBareHost(host)) return {};
  return "https://" + ToUtf8(std::u16string(host)) + "/";
}

bool AnswerOffersNewVersion(std::string_view answer, std::u16string_view current) {
  answer = answer.substr(0, std::min(answer.size(), kUpdateAnswerLimit));
  constexpr std::string_view kPrefix = "VERSION: ";
  if (answer.substr(0, kPrefix.size()) != kPrefix) return false;
  std::string_view version = answer.substr(kPrefix.size());
  // The version ends at the line's end.
  version = version.substr(0, version.find_first_of("\r\n"));
  while (!version.empty() && (version.back() == ' ' || version.back() == '\t')) version.remove_suffix(1);
  if (version.empty()) return false;
  return version != ToUtf8(std::u16string(current));
}

}  // namespace kestrova
