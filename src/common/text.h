// UTF-16 text helpers: names are UTF-16 in records and files, UTF-8 at the OS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace kestrova {

// Invalid input (lone surrogates, bad UTF-8) becomes U+FFFD rather than failing:
// names on a damaged disk must still be shown.
std::string ToUtf8(std::u16string_view text);
std::u16string ToUtf16(std::string_view utf8);
// UTF-8 text safe to print on a terminal: control characters (C0, DEL and the
// C1 range, which terminals take as commands) become \xHH / \u00HH.
std::string EscapeControls(std::string_view utf8);

// Simple case folding for the characters that file systems fold (ASCII, Latin-1,
// Latin Extended-A, Greek, Cyrillic). Enough for name comparison and matching.
char16_t LowerChar(char16_t c);
std::u16string ToLower(std::u16string_view text);

// <0, 0, >0 like wcsicmp.
int CompareNoCase(std::u16string_view a, std::u16string_view b);

// The name matcher used by listing masks, the display filter and the search.
bool MatchName(std::u16string_view name, std::u16string_view pattern);

// Text stored as 8-bit OEM/Latin-1 bytes on disk (FAT labels, ext labels):
// stops at the first NUL and drops trailing spaces.
std::u16string Latin1Field(std::span<const std::uint8_t> bytes);
// UTF-16LE text stored in a disk buffer, count characters, stopping at NUL.
std::u16string Utf16LeField(std::span<const std::uint8_t> bytes, std::size_t chars);

}  // namespace kestrova

namespace kestrova {

// Fills the printf-style placeholders of a localised text (%s, %i, %d, %u,
// %I64d, %I64u, %.3u ...) in order with already formatted arguments. "%%" is a
// percent sign. Missing arguments leave the placeholder empty; a language file
// can therefore never make the program read a wrong argument.
std::u16string FillPlaceholders(std::u16string_view pattern, std::initializer_list<std::u16string_view> args);

}  // namespace kestrova
