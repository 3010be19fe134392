// Carving a file out of a disk in memory with the program's own signature
// table: the file is put at a sector behind blank ones, followed by blank
// space (or by what the test puts there), and the whole disk is scanned.
#pragma once

#include "raw/raw_scanner.h"
#include "scan/allocation_map.h"
#include "scan/result_lists.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kestrova::test {

struct Carved {
  std::uint64_t firstSector = 0;
  std::uint32_t size = 0;
  std::uint8_t rating = 0;
  int item = -1;         // the row, when the find is named by its serial
  std::u16string name;   // the own name, when it has one
};

inline std::vector<Carved> CarveDisk(const std::vector<std::uint8_t>& disk,
                                     const ScanItemTable& table = DefaultScanItemTable(),
                                     std::uint32_t windowSectors = 64) {
  constexpr std::uint32_t ss = 512;
  MemorySectorReader reader(disk, ss);
  RawScanner scanner(reader, table);
  // One results model for every carve of the test program (a fresh one costs
  // tens of megabytes): each carve reads back what it appended.
  static ResultLists lists;
  static const bool created = lists.Reset();
  if (!created) return {};
  const std::size_t before = lists.raw.size();
  AllocationMap map;
  map.Create(static_cast<std::uint32_t>(disk.size() / ss + 1));
  scanner.sinks.raw = &lists.raw;
  scanner.sinks.map = &map;
  scanner.ResetScanItems();
  const std::uint64_t sectors = disk.size() / ss;
  for (std::uint64_t s = 0; s < sectors;) {
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(windowSectors, sectors - s));
    RawScanWindow w;
    w.firstSector = s;
    w.data = disk.data() + s * ss;
    w.dataEnd = w.data + static_cast<std::size_t>(n) * ss;
    w.nextSector = s + n;
    w.sectorCount = n;
    std::uint64_t done = 0;
    scanner.ScanRawWindow(w, done);
    s += done ? done : 1;
  }
  scanner.ClosePending(sectors);
  std::vector<Carved> out;
  for (std::size_t i = before; i < lists.raw.size(); ++i) {
    const ScanEntry e = lists.raw.at(i);
    Carved c;
    c.firstSector = e.RawFirstSector();
    c.size = static_cast<std::uint32_t>(e.size);
    c.rating = e.rating;
    if (e.name == kGeneratedName) c.item = e.RawSignature();
    else if (const std::u16string* n = lists.raw.NameOf(e)) c.name = *n;
    out.push_back(c);
  }
  return out;
}

// The file at sector `at` (blank sectors before it), then `after` (blank
// space by default) to a whole sector.
inline std::vector<std::uint8_t> DiskWith(const std::vector<std::uint8_t>& file, std::uint64_t at = 4,
                                          const std::vector<std::uint8_t>& after = std::vector<std::uint8_t>(262144, 0)) {
  std::vector<std::uint8_t> disk(at * 512, 0);
  disk.insert(disk.end(), file.begin(), file.end());
  disk.resize((disk.size() + 511) / 512 * 512, 0);
  disk.insert(disk.end(), after.begin(), after.end());
  disk.resize((disk.size() + 511) / 512 * 512 + 512, 0);
  return disk;
}

// The find that starts at sector `at`, if any.
inline const Carved* FindAt(const std::vector<Carved>& finds, std::uint64_t at) {
  for (const Carved& c : finds)
    if (c.firstSector == at) return &c;
  return nullptr;
}

}  // namespace kestrova::test
