// Text files have no signature: the RAW scan's second pass offers sectors to
// these detectors, which decide whether a text starts there, follow it over
// the next sectors while they are text, classify it by keywords into one of
// the text rows and record the find (cluster-map code 4).
#pragma once

#include "common/le.h"

#include <cstdint>
#include <string>

namespace kestrova {

struct FindContext;

// 8-bit text. True on a find, which is recorded; size is set (non-zero) only
// when the text filled its first sector and ran on, so the scan skips it.
bool DetectAnsiText(FindContext& c, std::uint32_t& size);
// UTF-16LE text, the same way.
bool DetectUnicodeText(FindContext& c, std::uint32_t& size);

// The classification of 8-bit text: the row's item index (0: not a text
// find after all) and, for project files, the name read from inside.
struct TextClass {
  std::uint16_t item = 0;
  std::u16string ownName;
};
TextClass ClassifyAnsiText(Bytes sector, std::uint64_t size);
// The row of a UTF-16 text by its first bytes.
std::uint16_t ClassifyUnicodeText(Bytes sector);

}  // namespace kestrova
