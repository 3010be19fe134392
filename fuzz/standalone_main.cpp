// Runs a fuzz target without libFuzzer: over the files given, or over a fixed
// number of deterministic inputs that the target itself shapes. Keeps the
// targets compiling and exercised in every build; real fuzzing uses the clang build.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
// Each target defines how its smoke inputs look.
void FuzzSmokeInput(std::mt19937& rng, std::vector<std::uint8_t>& input);

int main(int argc, char** argv) {
  // "--seeds DIR": the first smoke inputs as files, the corpus a libFuzzer run starts from.
  if (argc == 3 && std::string(argv[1]) == "--seeds") {
    std::mt19937 rng(12345);
    std::vector<std::uint8_t> input;
    for (int i = 0; i < 50; ++i) {
      FuzzSmokeInput(rng, input);
      std::ofstream(std::string(argv[2]) + "/seed-" + std::to_string(i), std::ios::binary)
          .write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
    }
    return 0;
  }
  if (argc > 1) {
    for (int i = 1; i < argc; ++i) {
      std::ifstream in(argv[i], std::ios::binary);
      std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    return 0;
  }
  std::mt19937 rng(12345);
  std::vector<std::uint8_t> input;
  constexpr int kRounds = 2000;
  for (int round = 0; round < kRounds; ++round) {
    FuzzSmokeInput(rng, input);
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  std::printf("%s: %d inputs, no fault\n", argv[0], kRounds);
  return 0;
}
