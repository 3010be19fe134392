#include "shell/profile.h"

#include "common/text.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>

namespace kestrova {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && (IsBlank(s.front()) || s.front() == u'\r')) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == u'\r')) s.remove_suffix(1);
  return s;
}

bool SameName(std::u16string_view a, std::u16string_view b) { return CompareNoCase(a, b) == 0; }

std::string Ascii(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::u16string Decode(const std::string& bytes, bool& utf16) {
  utf16 = false;
  auto u16 = [&](bool bigEndian) {
    std::u16string out;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      const auto lo = static_cast<unsigned char>(bytes[i + (bigEndian ? 1 : 0)]);
      const auto hi = static_cast<unsigned char>(bytes[i + (bigEndian ? 0 : 1)]);
      out.push_back(static_cast<char16_t>(lo | hi << 8));
    }
    return out;
  };
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    utf16 = true;
    return u16(false);
  }
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE && static_cast<unsigned char>(bytes[1]) == 0xFF) {
    utf16 = true;
    return u16(true);
  }
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return ToUtf16(bytes.substr(3));
  return ToUtf16(bytes);
}

int ClampInt(long long v) {
  if (v > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (v < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(v);
}

std::uint32_t SwapRgb(std::uint32_t v) {
  return ((v & 0xFF) << 16) | (v & 0xFF00) | ((v >> 16) & 0xFF);
}

}  // namespace

IniFile IniFile::Parse(std::u16string_view text) {
  IniFile ini;
  Section* current = nullptr;
  while (!text.empty()) {
    const std::size_t nl = text.find(u'\n');
    std::u16string_view line = Trim(text.substr(0, nl));
    text = nl == std::u16string_view::npos ? std::u16string_view() : text.substr(nl + 1);
    if (line.empty() || line.front() == u';') continue;
    if (line.front() == u'[') {
      const std::size_t close = line.find(u']');
      const std::u16string_view name = Trim(line.substr(1, close == std::u16string_view::npos ? line.size() - 1 : close - 1));
      current = ini.Find(name);
      if (!current) {
        ini.sections_.push_back({std::u16string(name), {}});
        current = &ini.sections_.back();
      }
      continue;
    }
    const std::size_t eq = line.find(u'=');
    if (!current || eq == std::u16string_view::npos) continue;
    const std::u16string_view key = Trim(line.substr(0, eq));
    std::u16string_view value = Trim(line.substr(eq + 1));
    // One pair of enclosing quotes is not part of the value.
    if (value.size() >= 2 && value.front() == u'"' && value.back() == u'"') value = value.substr(1, value.size() - 2);
    bool replaced = false;
    for (Entry& e : current->entries) {
      if (SameName(e.key, key)) {
        replaced = true;  // the first occurrence wins, as in private profiles
        break;
      }
    }
    if (!replaced) current->entries.push_back({std::u16string(key), std::u16string(value)});
  }
  return ini;
}

IniFile IniFile::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  bool utf16 = false;
  IniFile ini = Parse(Decode(bytes, utf16));
  ini.utf16_ = utf16;
  return ini;
}

IniFile::Section* IniFile::Find(std::u16string_view name) {
  for (Section& s : sections_)
    if (SameName(s.name, name)) return &s;
  return nullptr;
}

const IniFile::Section* IniFile::Find(std::u16string_view name) const {
  for (const Section& s : sections_)
    if (SameName(s.name, name)) return &s;
  return nullptr;
}

std::optional<std::u16string> IniFile::Get(std::u16string_view section, std::u16string_view key) const {
  const Section* s = Find(section);
  if (!s) return std::nullopt;
  for (const Entry& e : s->entries) {
    if (!SameName(e.key, key)) continue;
    if (e.value.empty()) return std::nullopt;
    return e.value.substr(0, kMaxProfileValue);
  }
  return std::nullopt;
}

void IniFile::Set(std::u16string_view section, std::u16string_view key, std::u16string_view value) {
  Section* s = Find(section);
  if (!s) {
    sections_.push_back({std::u16string(section), {}});
    s = &sections_.back();
  }
  for (Entry& e : s->entries) {
    if (SameName(e.key, key)) {
      e.value = value;
      return;
    }
  }
  s->entries.push_back({std::u16string(key), std::u16string(value)});
}

std::vector<std::u16string> IniFile::Keys(std::u16string_view section) const {
  std::vector<std::u16string> keys;
  if (const Section* s = Find(section))
    for (const Entry& e : s->entries) keys.push_back(e.key);
  return keys;
}

std::u16string IniFile::Text() const {
  std::u16string out;
  for (const Section& s : sections_) {
    out += u"[" + s.name + u"]\n";
    for (const Entry& e : s.entries) out += e.key + u"=" + e.value + u"\n";
    out += u"\n";
  }
  return out;
}

bool IniFile::Save(const std::string& path) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  const std::u16string text = Text();
  if (utf16_) {
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
      bytes.push_back(static_cast<char>(c & 0xFF));
      bytes.push_back(static_cast<char>(c >> 8));
    }
    out << bytes;
  } else {
    out << ToUtf8(text);
  }
  return static_cast<bool>(out.flush());
}

std::pair<int, int> ParsePairValue(std::u16string_view text) {
  // Before and after the first comma: blanks skipped, at most four characters kept.
  auto part = [](std::u16string_view s) {
    std::u16string kept;
    for (char16_t c : s) {
      if (IsBlank(c)) continue;
      if (kept.size() < 4) kept.push_back(c);
    }
    return ParseIntegerValue(kept);
  };
  const std::size_t comma = text.find(u',');
  if (comma == std::u16string_view::npos) return {part(text), 0};
  return {part(text.substr(0, comma)), part(text.substr(comma + 1))};
}

std::u16string DecodeStringEscapes(std::u16string_view s) {
  std::u16string out;
  for (std::size_t i = 0; i < s.size();) {
    const char16_t c = s[i];
    if (c == u'<') {
      // "<t>" is a TAB; any other "<" swallows itself and the next two characters.
      if (i + 1 < s.size() && s[i + 1] == u't') out.push_back(u'\t');
      i += 3;
      continue;
    }
    if (c == u'`') {
      out.push_back(u'"');
    } else if (c == u'|') {
      out.push_back(u'\0');
    } else if (c == u'\u00A6') {
      out += u"\r\n";
    } else {
      out.push_back(c);
    }
    ++i;
  }
  return out;
}

int ParseBooleanValue(std::u16string_view text) {
  return text.size() >= 4 && CompareNoCase(text.substr(0, 4), u"TRUE") == 0 ? 1 : 0;
}

std::uint32_t ParseColourValue(std::u16string_view text) {
  std::u16string rest;
  for (char16_t c : text)
    if (c != u'#') rest.push_back(c);
  return SwapRgb(ParseHexValue(rest) & 0xFFFFFF);
}

int ParseIntegerValue(std::u16string_view text) {
  const std::string a = Ascii(text);
  return ClampInt(std::strtoll(a.c_str(), nullptr, 0));
}

std::uint32_t ParseHexValue(std::u16string_view text) {
  const std::string a = Ascii(text);
  return static_cast<std::uint32_t>(std::strtoull(a.c_str(), nullptr, 16));
}

std::u16string PairText(int a, int b) { return ToUtf16(std::to_string(a) + "," + std::to_string(b)); }
std::u16string BooleanText(bool value) { return value ? u"TRUE" : u"FALSE"; }

std::u16string ColourText(std::uint32_t colorref) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "#%.6X", SwapRgb(colorref & 0xFFFFFF));
  return ToUtf16(buf);
}

std::u16string IntegerText(int value) { return ToUtf16(std::to_string(value)); }

std::u16string HexText(std::uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%X", value);
  return ToUtf16(buf);
}

std::optional<std::u16string> Profile::Raw(std::u16string_view section, std::u16string_view key) {
  if (path_.empty()) return std::nullopt;
  auto value = ini_.Get(section, key);
  missing_ = !value.has_value();
  return value;
}

void Profile::Read(std::u16string_view section, std::u16string_view key, std::pair<int, int>& out) {
  if (auto v = Raw(section, key)) out = ParsePairValue(*v);
}

void Profile::Read(std::u16string_view section, std::u16string_view key, std::u16string& out) {
  if (auto v = Raw(section, key)) out = DecodeStringEscapes(*v);
}

void Profile::Read(std::u16string_view section, std::u16string_view key, std::uint32_t& out, ProfileType type) {
  const auto v = Raw(section, key);
  if (!v) return;
  switch (type) {
    case ProfileType::Boolean: out = static_cast<std::uint32_t>(ParseBooleanValue(*v)); break;
    case ProfileType::Colour: out = ParseColourValue(*v); break;
    case ProfileType::Integer: out = static_cast<std::uint32_t>(ParseIntegerValue(*v)); break;
    case ProfileType::Hex: out = ParseHexValue(*v); break;
    default: break;
  }
}

void Profile::Write(std::u16string_view section, std::u16string_view key, std::pair<int, int> value) {
  if (!path_.empty()) ini_.Set(section, key, PairText(value.first, value.second));
}

void Profile::Write(std::u16string_view section, std::u16string_view key, std::u16string_view text) {
  if (!path_.empty()) ini_.Set(section, key, text);
}

void Profile::Write(std::u16string_view section, std::u16string_view key, std::uint32_t value, ProfileType type) {
  if (path_.empty()) return;
  switch (type) {
    case ProfileType::Boolean: ini_.Set(section, key, BooleanText(value != 0)); break;
    case ProfileType::Colour: ini_.Set(section, key, ColourText(value)); break;
    case ProfileType::Integer: ini_.Set(section, key, IntegerText(static_cast<int>(value))); break;
    case ProfileType::Hex: ini_.Set(section, key, HexText(value)); break;
    default: break;
  }
}

}  // namespace kestrova
