// PLACEHOLDER until the real boot code lands: 446 bytes that only halt
// (cli; hlt; jmp $-1). Not a usable boot loader.
#include <array>
#include <cstdint>
#include <span>

namespace kestrova {

std::span<const std::uint8_t, 446> StandardMbrBootCode() {
  static const std::array<std::uint8_t, 446> code = [] {
    std::array<std::uint8_t, 446> c{};
    c[0] = 0xFA;
    c[1] = 0xF4;
    c[2] = 0xEB;
    c[3] = 0xFD;
    return c;
  }();
  return code;
}

}  // namespace kestrova
