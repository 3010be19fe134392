// A disk in memory with files placed at chosen sectors, scanned by the RAW
// scanner with the program's own table and text detectors.
#pragma once

#include "raw/raw_scanner.h"
#include "scan/entry_ops.h"
#include "support/recording_ui.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace kestrova::test {

struct RawDisk {
  static constexpr std::uint32_t kSs = 512;

  explicit RawDisk(std::size_t sectors) : bytes(sectors * kSs, 0), reader(bytes, kSs), scanner(reader) {
    lists.Reset();
    map.Create(sectors);
    scanner.sinks.raw = &lists.raw;
    scanner.sinks.map = &map;
    scanner.sinks.ui = &ui;
    scanner.ResetScanItems();
  }
  // A disk holding data at sector 8, with room behind it.
  static std::size_t SectorsFor(std::size_t size, std::size_t slack = 256 * 1024) {
    return 8 + (size + slack + kSs - 1) / kSs;
  }

  void Put(std::uint64_t sector, const std::string& data) {
    std::memcpy(bytes.data() + sector * kSs, data.data(), std::min(data.size(), bytes.size() - sector * kSs));
  }
  void Put(std::uint64_t sector, const std::vector<std::uint8_t>& data) {
    std::memcpy(bytes.data() + sector * kSs, data.data(), std::min(data.size(), bytes.size() - sector * kSs));
  }

  // Windows of `window` sectors over the whole disk, each starting where the last pass left off.
  void Scan(std::uint32_t window = 64) {
    const std::uint64_t total = bytes.size() / kSs;
    for (std::uint64_t s = 0; s < total;) {
      const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(window, total - s));
      RawScanWindow w;
      w.firstSector = s;
      w.data = bytes.data() + s * kSs;
      w.dataEnd = w.data + static_cast<std::size_t>(n) * kSs;
      w.nextSector = s + n;
      w.sectorCount = n;
      std::uint64_t done = 0;
      scanner.ScanRawWindow(w, done);
      s += std::max<std::uint64_t>(done, 1);
    }
    scanner.ClosePending(total);
  }

  std::vector<ScanEntry> Entries() const {
    std::vector<ScanEntry> out;
    for (std::size_t i = 0; i < lists.raw.size(); ++i) out.push_back(lists.raw.at(i));
    return out;
  }
  // The find starting at a sector, if any.
  bool FindAt(std::uint64_t sector, ScanEntry& out) const {
    for (const ScanEntry& e : Entries())
      if (e.RawFirstSector() == sector) {
        out = e;
        return true;
      }
    return false;
  }
  std::u16string NameOf(const ScanEntry& e) const {
    SignatureExtensions exts;
    exts.Set(ItemExtensions(scanner.table()));
    return DisplayName(e, lists.raw.NameOf(e), exts);
  }

  std::vector<std::uint8_t> bytes;
  MemorySectorReader reader;
  RawScanner scanner;
  ResultLists lists;
  AllocationMap map;
  RecordingUi ui;
};

// gtest binds references: packed fields are copied out first.
template <typename T>
T Field(T value) {
  return value;
}

}  // namespace kestrova::test
