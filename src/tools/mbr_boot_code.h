// The standard MBR boot code the partition repair writes over bytes 0..445 of
// sector 0: our own, assembled from tools/boot/mbr.asm. It finds the one
// active partition, loads its boot sector and jumps to it; on failure it
// prints one line and halts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrova {

inline constexpr std::size_t kMbrBootCodeSize = 446;
// The code ends before this offset: bytes 440..445 of sector 0 hold the disk
// signature (and two reserved bytes) that an installed system may identify
// its disk by, so a repair can keep them as they are on the disk.
inline constexpr std::size_t kMbrDiskSignatureOffset = 440;

// 446 bytes, beginning 33 C0 8E D0 BC 00 7C (the mark of standard code),
// zero from kMbrDiskSignatureOffset on.
std::span<const std::uint8_t, kMbrBootCodeSize> StandardMbrBootCode();

}  // namespace kestrova
