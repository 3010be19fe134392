// Partition-table entries as identification receives them.
#pragma once

#include "common/le.h"

#include <cstdint>

namespace kestrova {

struct MbrEntry {
  std::uint8_t bootFlag = 0;
  std::uint8_t startHead = 0;
  std::uint8_t startSector = 0;    // sector | cylinder bits 8-9
  std::uint8_t startCylinder = 0;  // cylinder low
  std::uint8_t type = 0;
  std::uint8_t endHead = 0;
  std::uint8_t endSector = 0;
  std::uint8_t endCylinder = 0;
  std::uint32_t firstSector = 0;
  std::uint32_t sectorCount = 0;

  // The 16 bytes at bytes (e.g. sector + 446 + 16 * i).
  static MbrEntry Parse(Bytes bytes) {
    MbrEntry e;
    e.bootFlag = LoadU8(bytes, 0);
    e.startHead = LoadU8(bytes, 1);
    e.startSector = LoadU8(bytes, 2);
    e.startCylinder = LoadU8(bytes, 3);
    e.type = LoadU8(bytes, 4);
    e.endHead = LoadU8(bytes, 5);
    e.endSector = LoadU8(bytes, 6);
    e.endCylinder = LoadU8(bytes, 7);
    e.firstSector = LoadLe32(bytes, 8);
    e.sectorCount = LoadLe32(bytes, 12);
    return e;
  }
};

inline constexpr std::uint8_t kGptProtectiveType = 0xEE;

struct GptEntry {
  std::uint64_t firstSector = 0;
  std::uint64_t lastSector = 0;
};

}  // namespace kestrova
