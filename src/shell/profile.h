// Settings and language files: INI text ("[section]" and "key=value" lines)
// in UTF-8 or UTF-16 with a byte-order mark, and the typed values read from
// and written to them. Section and key names compare without case, as the
// files written by the original tools expect.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrova {

enum class ProfileType { Pair = 0, String = 1, Boolean = 2, Colour = 3, Integer = 4, Hex = 5 };

// A read value is cut to this many characters.
inline constexpr std::size_t kMaxProfileValue = 512;

class IniFile {
 public:
  // Reads a file; a missing or unreadable file is an empty profile.
  static IniFile Load(const std::string& path);
  static IniFile Parse(std::u16string_view text);

  // The raw value (cut to kMaxProfileValue); nothing when the key is absent
  // or its value is empty.
  std::optional<std::u16string> Get(std::u16string_view section, std::u16string_view key) const;
  void Set(std::u16string_view section, std::u16string_view key, std::u16string_view value);
  std::vector<std::u16string> Keys(std::u16string_view section) const;

  std::u16string Text() const;
  // Writes UTF-8 (UTF-16 LE with BOM when the file was read as UTF-16).
  bool Save(const std::string& path) const;

 private:
  struct Entry {
    std::u16string key, value;
  };
  struct Section {
    std::u16string name;
    std::vector<Entry> entries;
  };
  Section* Find(std::u16string_view name);
  const Section* Find(std::u16string_view name) const;

  std::vector<Section> sections_;
  bool utf16_ = false;
};

// Decoders of the text forms (pure, for the readers and the tests).
std::pair<int, int> ParsePairValue(std::u16string_view text);
std::u16string DecodeStringEscapes(std::u16string_view text);
int ParseBooleanValue(std::u16string_view text);
std::uint32_t ParseColourValue(std::u16string_view text);  // "#RRGGBB" -> COLORREF 0x00BBGGRR
int ParseIntegerValue(std::u16string_view text);           // "%i": decimal, 0x hex, 0 octal
std::uint32_t ParseHexValue(std::u16string_view text);

// Text forms written for each type.
std::u16string PairText(int a, int b);
std::u16string BooleanText(bool value);
std::u16string ColourText(std::uint32_t colorref);
std::u16string IntegerText(int value);
std::u16string HexText(std::uint32_t value);

// Typed reads and writes on a profile file. A path that is empty does
// nothing. A key that is absent leaves the destination alone and sets
// missing(), which callers test to keep built-in defaults.
class Profile {
 public:
  explicit Profile(std::string path) : path_(std::move(path)) {
    if (!path_.empty()) ini_ = IniFile::Load(path_);
  }
  const std::string& path() const { return path_; }
  bool missing() const { return missing_; }

  void Read(std::u16string_view section, std::u16string_view key, std::pair<int, int>& out);
  void Read(std::u16string_view section, std::u16string_view key, std::u16string& out);  // String
  // Boolean, Colour, Integer or Hex into an integer destination.
  void Read(std::u16string_view section, std::u16string_view key, std::uint32_t& out, ProfileType type);

  void Write(std::u16string_view section, std::u16string_view key, std::pair<int, int> value);
  void Write(std::u16string_view section, std::u16string_view key, std::u16string_view text);
  void Write(std::u16string_view section, std::u16string_view key, std::uint32_t value, ProfileType type);
  // Writes the file back; false when it cannot be written (or no path).
  bool Flush() const { return !path_.empty() && ini_.Save(path_); }

  IniFile& ini() { return ini_; }

 private:
  std::optional<std::u16string> Raw(std::u16string_view section, std::u16string_view key);

  std::string path_;
  IniFile ini_;
  bool missing_ = false;
};

}  // namespace kestrova
