// Fuzz target: every archive, container, document and executable routine over
// the bytes at a sector, with the read-ahead going on over the same input (and
// past it into zeros). Whatever the bytes, a routine stays inside what it was
// handed or read ahead, ends its walks, and names and re-types finds only
// with names safe to create and rows that exist.
#include "common/safe_name.h"
#include "raw/measure_containers.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

using namespace kestrova;

// The rows whose routines are under test.
constexpr std::uint16_t kRows[] = {6,  7,  8,  9,  27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,
                                   41, 43, 44, 45, 46, 64, 65, 66, 67, 68, 69, 70, 71, 85, 88, 89};

void Check(const FindScratch& s) {
  if (s.retype < -1 || s.retype >= static_cast<std::int32_t>(kScanItemCount)) std::abort();
  if (s.rating != rating::kIntact && s.rating != rating::kRawClosed) std::abort();
  if (!s.ownName.empty() && s.ownName[0] != u'.') {
    if (SafeOutputName(s.ownName) != s.ownName) std::abort();  // already through the name rule
    if (Utf8Length(s.ownName) > kMaxNameBytes) std::abort();
  }
}

void RunAll(RawScanner& scanner, const std::vector<std::uint8_t>& disk, std::size_t windowBytes) {
  const ScanItemTable& table = DefaultScanItemTable();
  for (std::uint16_t index : kRows) {
    const ScanItem& row = table[index];
    FindScratch scratch;
    ReadAheadCursor cursor;
    cursor.data = disk.data();
    cursor.size = windowBytes;
    cursor.nextSector = windowBytes / 512;
    FindContext c{scanner, &row, 0, cursor, scratch};
    if (row.validate) (void)row.validate(c);
    scratch.Clear();
    c.cursor = cursor;
    if (row.measure) (void)row.measure(c);
    Check(scratch);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (4u << 20)) return 0;
  // The bytes at the sector: at least one whole sector, the rest of the input behind it.
  std::vector<std::uint8_t> disk(data, data + size);
  disk.resize(std::max<std::size_t>(512, (disk.size() + 511) / 512 * 512), 0);
  MemorySectorReader reader(disk, 512);
  static RawScanner* scanner = new RawScanner(reader);
  scanner->SetReader(reader);
  scanner->config.sectorSize = 512;
  // The whole input in the window, then only its first sector (all else read ahead).
  RunAll(*scanner, disk, disk.size());
  RunAll(*scanner, disk, 512);
  return 0;
}

// Smoke inputs: a row's signature at the start, small numbers planted where
// the layouts keep offsets, counts and sizes, and sometimes chains of records.
void FuzzSmokeInput(std::mt19937& rng, std::vector<std::uint8_t>& input) {
  const std::size_t size = 512 + rng() % 8192;
  input.assign(size, 0);
  const auto fill = static_cast<unsigned>(rng() % 3);
  for (auto& b : input) b = fill == 0 ? 0 : fill == 1 ? static_cast<std::uint8_t>(rng()) : static_cast<std::uint8_t>(' ' + rng() % 90);
  const ScanItem& row = DefaultScanItemTable()[kRows[rng() % std::size(kRows)]];
  if (row.test == HeaderTest::Ace) std::memcpy(input.data() + 7, "**ACE**", 7);
  else std::memcpy(input.data(), row.signature.data(), row.signatureLength);
  if (row.test == HeaderTest::Mp4 || row.test == HeaderTest::Mov || row.test == HeaderTest::ThreeGp) {
    input[0] = input[1] = 0;
    input[2] = static_cast<std::uint8_t>(rng() % 4);
    input[3] = static_cast<std::uint8_t>(rng());
    std::memcpy(input.data() + 4, "ftypmp42", 8);
  }
  for (int k = 0; k < 40; ++k) {
    const std::size_t at = (rng() % std::min<std::size_t>(size - 4, 1024)) & ~std::size_t{1};
    const std::uint32_t v = rng() % 4 == 0 ? static_cast<std::uint32_t>(rng()) : rng() % 4096;
    std::memcpy(input.data() + at, &v, 4);
  }
  if (rng() % 4 == 0) {
    // A chain of ZIP, RAR or ISO media records.
    std::size_t at = 0;
    while (at + 64 < size) {
      const auto len = static_cast<std::uint32_t>(16 + rng() % 300);
      if (row.itemIndex == 70) std::memcpy(input.data() + at, "PK\x03\x04", 4);
      else input[at + 2] = static_cast<std::uint8_t>(0x72 + rng() % 12);
      std::memcpy(input.data() + at + 18, &len, 4);
      at += len + 30;
    }
  }
}
