// Carves an image with the RAW scan over every sector (no file system: the
// whole image is treated as free space) and writes each find to OUTDIR/<TYPE>/.
// The carving benchmark's stand-in for the command line's scan and recovery.
// Usage: raw_carve IMAGE OUTDIR
#include "common/text.h"
#include "raw/raw_scanner.h"
#include "scan/allocation_map.h"
#include "scan/entry_ops.h"
#include "scan/result_lists.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

using namespace kestrova;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s IMAGE OUTDIR\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<std::uint8_t> disk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  disk.resize((disk.size() + 511) / 512 * 512, 0);
  constexpr std::uint32_t ss = 512;
  MemorySectorReader reader(disk, ss);
  RawScanner scanner(reader);
  ResultLists lists;
  lists.Reset();
  AllocationMap map;
  map.Create(static_cast<std::uint32_t>(disk.size() / ss + 1));
  scanner.sinks.raw = &lists.raw;
  scanner.sinks.map = &map;
  scanner.ResetScanItems();
  const std::uint64_t sectors = disk.size() / ss;
  for (std::uint64_t s = 0; s < sectors;) {
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(256, sectors - s));
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
  SignatureExtensions exts;
  exts.Set(ItemExtensions(scanner.table()));
  const std::filesystem::path out(argv[2]);
  for (std::size_t i = 0; i < lists.raw.size(); ++i) {
    const ScanEntry e = lists.raw.at(i);
    std::string folder = "OWN";
    if (e.name == kGeneratedName)
      if (const ScanItem* row = ItemByIndex(scanner.table(), e.RawSignature())) folder = std::string(row->folderName);
    std::filesystem::create_directories(out / folder);
    const std::uint64_t at = e.RawFirstSector() * ss;
    const std::uint64_t size = std::min<std::uint64_t>(e.size, at < disk.size() ? disk.size() - at : 0);
    std::ofstream(out / folder / ToUtf8(DisplayName(e, lists.raw.NameOf(e), exts)), std::ios::binary)
        .write(reinterpret_cast<const char*>(disk.data() + at), static_cast<std::streamsize>(size));
  }
  std::printf("%zu finds\n", lists.raw.size());
  return 0;
}
