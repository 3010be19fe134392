// Runs a fuzz target without libFuzzer: over the files given, or over a fixed
// number of deterministic random and mutated inputs. Keeps the targets compiling
// and exercised in every build; real fuzzing uses the clang build.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  if (argc > 1) {
    for (int i = 1; i < argc; ++i) {
      std::ifstream in(argv[i], std::ios::binary);
      std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    return 0;
  }
  std::mt19937 rng(12345);
  std::vector<std::uint8_t> input(70 * 512);
  for (int round = 0; round < 2000; ++round) {
    // Mostly-zero sectors with the signatures the tests look for, plus random bytes.
    std::fill(input.begin(), input.end(), 0);
    static const char* const kMagics[] = {"EXFAT", "FAT32", "FAT12", "FAT16", "NTFS", "HPFS"};
    const char* magic = kMagics[rng() % 6];
    const std::size_t at = 1 + (rng() % 8) * 512;
    const std::size_t off = (magic[0] == 'E' || magic[0] == 'N') ? 3 : (magic[3] == '3' ? 82 : 54);
    for (std::size_t i = 0; magic[i]; ++i) input[at + off + i] = static_cast<std::uint8_t>(magic[i]);
    for (int k = 0; k < 64; ++k) input[rng() % input.size()] = static_cast<std::uint8_t>(rng());
    for (int k = 0; k < 16; ++k) input[at + (rng() % 512)] = static_cast<std::uint8_t>(rng());
    input[0] = static_cast<std::uint8_t>(rng());
    LLVMFuzzerTestOneInput(input.data(), 1 + rng() % input.size());
  }
  std::puts("identify fuzz smoke: 2000 inputs, no fault");
  return 0;
}
