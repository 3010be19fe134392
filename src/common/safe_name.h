// The rule that makes a name safe to create as one path component. Names read
// from a disk are hostile; the recovery writer and the RAW scan (names taken
// from inside found files) both go through it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrova {

// Most Linux file systems take 255 bytes per name.
inline constexpr std::size_t kMaxNameBytes = 255;

// Bytes of the UTF-8 form (a surrogate pair counts 4, a lone half 3).
std::size_t Utf8Length(std::u16string_view s);

// Cuts whole characters (a surrogate pair never loses one half) before a short
// extension, else at the end, until the UTF-8 form plus `reserve` bytes fits.
std::u16string CutNameToFit(std::u16string s, std::size_t reserve);

// A single path component that is safe to create: "/", "\", NUL and control
// characters become "_", "." and ".." get a leading "_", an empty name becomes
// "_", and the UTF-8 form is cut to 255 bytes (keeping the extension).
std::u16string SafeOutputName(std::u16string_view name);

}  // namespace kestrova
