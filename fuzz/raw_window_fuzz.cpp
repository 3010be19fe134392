// Fuzz target: the RAW window scan over an arbitrary buffer. The buffer is
// both the windows and the device behind them, so read-ahead runs on into the
// following bytes (and past them into zeros). Stand-in routines driven by the
// data exercise the read-ahead, re-typing, own names, skips and estimates.
#include "raw/raw_scanner.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

using namespace kestrova;

std::uint32_t FuzzMeasure(FindContext& c) {
  const Bytes b = c.bytes();
  const unsigned steps = b[5] % 6;
  for (unsigned i = 0; i < steps; ++i) {
    const std::size_t jump = LoadLe32(b, 24 + 4 * i) % (3u << 20);
    const std::size_t need = static_cast<std::size_t>(b[6 + i]) * 1100;
    const std::size_t chunk = static_cast<std::size_t>(b[12 + i]) * 1500;
    c.cursor.pos += jump;
    const bool ok = (i % 2) ? c.scanner.ReadAheadAt(c.cursor, need, chunk) : c.scanner.ReadAhead(c.cursor, need, chunk);
    if (ok != (need <= kReadAheadMaxNeed)) std::abort();
    if (ok && need) {
      if (c.cursor.available() < need) std::abort();
      volatile std::uint8_t last = c.cursor.data[c.cursor.pos + need - 1];
      (void)last;
    }
  }
  c.scratch.retype = b[18] < 200 ? b[18] : -1;  // indices past the table too
  if (b[19] & 1) c.scratch.MarkEstimate();
  c.scratch.requestedSkip = LoadLe32(b, 48);
  if (b[19] & 2) c.scratch.ownName.assign(b[20] % 8 ? u"own.bin" : u".dot");
  if (b[19] & 4) c.scratch.ownName.assign(400, u'x');
  return LoadLe32(b, 52);
}

bool FuzzValidate(FindContext& c) { return (c.bytes()[3] & 3) != 0; }

bool FuzzText(FindContext& c, std::uint32_t& size) {
  const Bytes b = c.bytes();
  if (b[1] != 'T') return false;
  FindScratch s;
  c.scanner.RecordFind(c.scanner.table()[137], c.sector, LoadLe16(b, 2) * 7u + 1, s, cluster_mark::kTextStart);
  size = b[4] & 1 ? LoadLe16(b, 2) * 7u : 0;
  return true;
}

const ScanItemTable& FuzzTable() {
  static const ScanItemTable table = [] {
    ScanItemTable t = DefaultScanItemTable();
    for (std::uint16_t i : kHeaderScanOrder) {
      if (i % 3 == 0) t[i].measure = FuzzMeasure;
      if (i % 3 != 2) t[i].validate = FuzzValidate;
    }
    return t;
  }();
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size > (4u << 20)) return 0;
  static const std::uint32_t kSizes[] = {512, 1024, 2048, 4096};
  const std::uint32_t ss = kSizes[data[0] & 3];
  const std::uint32_t windowSectors = 1 + data[1] % 64;
  const std::span<const std::uint8_t> disk(data + 2, size - 2);

  static ResultLists lists;
  static AllocationMap map;
  static unsigned round = 0;
  if (round++ % 128 == 0) {
    lists.Reset();
    map.Create(1u << 16);
  }
  MemorySectorReader reader(disk, ss);
  static RawScanner scanner(reader, FuzzTable());
  scanner.SetReader(reader);
  scanner.config.sectorSize = ss;
  scanner.config.reverse = data[0] & 4;
  scanner.config.rawAnalysis = (data[0] & 8) == 0;
  scanner.config.sectorsPerCluster = 1u << ((data[0] >> 4) & 3);
  scanner.textDetectors.ansi = (data[0] & 0x40) ? FuzzText : nullptr;
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
    w.stride = 1;
    std::uint64_t done = 0;
    scanner.ScanRawWindow(w, done);
    if (done == 0) std::abort();  // a driver would never get past this window
    s += done;
  }
  scanner.ClosePending(sectors);

  std::scoped_lock lock(lists.raw.lock);
  for (std::size_t i = 0; i < lists.raw.size(); ++i) {
    const ScanEntry e = lists.raw.at(i);
    if (e.Kind() != EntryKind::Raw) std::abort();
    if (e.name == kGeneratedName && e.RawSignature() >= kScanItemCount) std::abort();
    if (e.name != kGeneratedName && lists.raw.NameOf(e) && lists.raw.NameOf(e)->size() > 256) std::abort();
    if (e.size > 0xFFFFFFFFu) std::abort();
  }
  return 0;
}

// Smoke inputs: sectors of zeros, text and random bytes with real signatures planted at sector starts.
void FuzzSmokeInput(std::mt19937& rng, std::vector<std::uint8_t>& input) {
  const std::size_t sectors = 1 + rng() % 96;
  input.assign(2 + sectors * 512 + rng() % 512, 0);
  input[0] = static_cast<std::uint8_t>(rng() & 0x7C);  // 512-byte sectors mostly
  if (rng() % 8 == 0) input[0] |= static_cast<std::uint8_t>(rng() & 3);
  input[1] = static_cast<std::uint8_t>(rng());
  const auto& table = DefaultScanItemTable();
  for (std::size_t s = 0; s < sectors; ++s) {
    std::uint8_t* p = input.data() + 2 + s * 512;
    switch (rng() % 5) {
      case 0: break;  // zeros
      case 1:
        for (int k = 0; k < 512; ++k) p[k] = static_cast<std::uint8_t>(rng());
        break;
      case 2:
        for (int k = 0; k < 512; ++k) p[k] = static_cast<std::uint8_t>(' ' + rng() % 90);
        break;
      default: {
        for (int k = 0; k < 512; ++k) p[k] = static_cast<std::uint8_t>(rng());
        const ScanItem& r = table[kHeaderScanOrder[rng() % kHeaderScanOrder.size()]];
        std::memcpy(p + (r.test == HeaderTest::Mts ? 4 : 0), r.signature.data(), r.signatureLength);
        if (rng() % 4 == 0) std::memcpy(p + 4, "ftyp", 4);
        break;
      }
    }
  }
}
