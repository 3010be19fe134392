// Number and size texts shown to the user.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrova {

// "200000" -> "200 000". Anything that is not a plain digit string is returned as is.
std::string GroupDigits(std::string_view digits);
std::string GroupNumber(std::uint64_t value);

// "%0.2f %s" with TB/GB/MB/kB for values above 2^40/2^30/2^20/1024, else bytes as "%0.2f B".
std::string SizeText(std::uint64_t bytes);

}  // namespace kestrova
