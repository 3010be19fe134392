// Fuzz target: the packet decoder and the block readers on arbitrary bytes,
// and a compress/decompress round trip of the input itself.
#include "session/compressed_blocks.h"
#include "session/quicklz.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrova;
  if (size > (1u << 20)) return 0;
  const std::span<const std::uint8_t> input(data, size);

  // Destination exactly as large as the header claims (bounded), so any write
  // past n lands outside the allocation.
  if (const auto sizes = qlz::PeekSizes(input); sizes && sizes->dataSize <= (4u << 20)) {
    std::vector<std::uint8_t> exact(sizes->dataSize);
    qlz::Decompress(input, exact);
  }
  std::vector<std::uint8_t> small(size % 300);
  qlz::Decompress(input, small);

  // Block readers with a raw size taken from the input, as a session trailer would give it.
  if (size >= 4) {
    std::uint32_t raw;
    std::memcpy(&raw, data, 4);
    raw &= 0x3FFFFF;
    if (session::PlausibleRawSize(raw, size - 4)) {
      std::vector<std::uint8_t> out(raw);
      if (raw) session::ReadPlainBlock(input.subspan(4), out);
      session::ReadStringBlock(input.subspan(4), out);
    }
  }

  // Whatever the input, compressing and decompressing must give it back.
  if (size > 0) {
    const auto packet = qlz::Compress(input);
    std::vector<std::uint8_t> back(size);
    const auto result = qlz::Decompress(packet, back);
    if (!result.ok() || result.packetSize != packet.size() || back != std::vector<std::uint8_t>(data, data + size)) {
      std::abort();
    }
  }
  return 0;
}

// Smoke inputs: valid packets of mixed data with a few bytes damaged or cut.
void FuzzSmokeInput(std::mt19937& rng, std::vector<std::uint8_t>& input) {
  std::vector<std::uint8_t> raw(1 + rng() % 5000);
  for (std::size_t i = 0; i < raw.size(); ++i) {
    raw[i] = (rng() % 3 == 0) ? static_cast<std::uint8_t>(rng()) : static_cast<std::uint8_t>("abcab"[i % 5]);
  }
  input = kestrova::qlz::Compress(raw);
  const int flips = static_cast<int>(rng() % 4);
  for (int k = 0; k < flips; ++k) input[rng() % input.size()] = static_cast<std::uint8_t>(rng());
  if (rng() % 4 == 0) input.resize(rng() % (input.size() + 1));
}
