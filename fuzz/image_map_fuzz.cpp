// Fuzz target: the imaging map reader on arbitrary text. Whatever it accepts
// must cover the source exactly and read back the same after writing it out.
#include "imaging/image_map.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrova;
  if (size < 2 || size > (1u << 20)) return 0;
  // The first two bytes choose the source: its sector size and sector count.
  const std::uint32_t sectorSize = (data[0] & 1) ? 4096 : 512;
  const std::uint64_t sectors = 1 + data[1] * 37u;
  const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);
  ImageMap map;
  std::size_t line = 0;
  if (ParseImageMap(text, sectorSize, sectors, map, line) != MapParse::Ok) return 0;
  std::uint64_t covered = 0;
  for (const MapRun& run : map.Runs()) {
    if (run.start != covered || run.count == 0) std::abort();
    covered += run.count;
  }
  if (covered != sectors) std::abort();
  ImageMap back;
  if (ParseImageMap(FormatImageMap(map, sectorSize, 0, false), sectorSize, sectors, back, line) != MapParse::Ok ||
      back.Runs() != map.Runs())
    std::abort();
  return 0;
}

void FuzzSmokeInput(std::mt19937& rng, std::vector<std::uint8_t>& input) {
  // A plausible map: a status line and blocks that mostly follow each other.
  std::string text = "# Mapfile\n0x0 ? 1\n";
  std::uint64_t pos = 0;
  const int blocks = static_cast<int>(rng() % 12);
  static const char kStatus[] = "+-?*/x";
  for (int i = 0; i < blocks; ++i) {
    const std::uint64_t size = (1 + rng() % 8) * 512 + (rng() % 20 == 0 ? 1 : 0);
    char line[96];
    std::snprintf(line, sizeof line, rng() % 2 ? "0x%llX 0x%llX %c\n" : "%llu %llu %c\n",
                  static_cast<unsigned long long>(pos + (rng() % 25 == 0 ? 512 : 0)),
                  static_cast<unsigned long long>(size), kStatus[rng() % 6]);
    text += line;
    pos += size;
  }
  input.assign(2, 0);
  input[0] = static_cast<std::uint8_t>(rng());
  input[1] = static_cast<std::uint8_t>(rng());
  input.insert(input.end(), text.begin(), text.end());
  for (int k = static_cast<int>(rng() % 3); k > 0; --k) input[2 + rng() % (input.size() - 2)] = static_cast<std::uint8_t>(rng());
}
