// Looks for a byte pattern in the pieces of one file as the recovery data
// paths deliver them. A match may straddle any number of pieces: the bytes
// that could still begin one are carried into the next piece.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova {

enum class DataKind : std::uint8_t { Ascii = 0, Unicode = 1, Hex = 2 };

struct ContentPattern {
  std::vector<std::uint8_t> bytes;  // ASCII: one byte a character; UNICODE: UTF-16LE; HEX: the bytes
  DataKind kind = DataKind::Ascii;
  bool caseSensitive = false;       // HEX is always exact
  bool wholeWords = false;          // ASCII and UNICODE only
};

enum class PatternError { None, Empty, HexParity, HexDigit };

// The data text as the dialog reads it: ASCII one byte a character (others
// as their UTF-8 bytes, as text files here hold them; folded only A-Z), UNICODE
// as UTF-16LE, HEX two digits a byte (blanks between bytes allowed).
PatternError CompilePattern(std::u16string_view text, DataKind kind, bool caseSensitive, bool wholeWords,
                            ContentPattern& out);

// A pattern shown again in its kind (HEX: two upper-case digits a byte, no separators).
std::u16string PatternText(const ContentPattern& pattern);

class ContentMatcher {
 public:
  explicit ContentMatcher(ContentPattern pattern);

  // Before each file.
  void Reset();
  // One piece of the file; true once the pattern was found (then stop reading).
  bool Feed(std::span<const std::uint8_t> piece);
  // The end of the file: a whole word that ends with the file counts now.
  bool Finish();
  bool found() const { return found_; }
  std::uint64_t searched() const { return searched_; }

 private:
  bool Scan(bool atEnd);
  bool Accept(std::size_t p, bool atEnd) const;
  bool SeparatorAt(std::size_t p) const;
  bool EqualAt(std::size_t p) const;

  ContentPattern pattern_;
  std::size_t unit_ = 1;      // bytes of one character (UNICODE: 2)
  std::vector<std::uint8_t> window_;  // carried bytes + the current piece
  std::uint64_t windowStart_ = 0;     // file offset of window_[0]
  std::uint64_t searched_ = 0;
  bool found_ = false;
};

}  // namespace kestrova
