// "qlz compress|decompress IN OUT": one packet, for inspecting session blocks.
#include "cli/commands.h"
#include "session/compressed_blocks.h"
#include "session/quicklz.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace kestrova::cli {
namespace {

bool ReadAll(const std::string& path, std::vector<std::uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool WriteAll(const std::string& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int RunQlz(const QlzOptions& o) {
  std::vector<std::uint8_t> input;
  if (!ReadAll(o.input, input)) {
    std::fprintf(stderr, "kestrova-cli: cannot read %s: %s\n", o.input.c_str(), std::strerror(errno));
    return kExitCantOpen;
  }
  std::vector<std::uint8_t> output;
  if (o.decompress) {
    const auto sizes = qlz::PeekSizes(input);
    if (!sizes) {
      std::fprintf(stderr, "kestrova-cli: %s: packet header truncated\n", o.input.c_str());
      return kExitBadData;
    }
    // The header's size is only believed when the packet could hold that much.
    if (!session::PlausibleRawSize(sizes->dataSize, input.size())) {
      std::fprintf(stderr, "kestrova-cli: %s: data size %u is impossible for a %zu-byte packet\n", o.input.c_str(),
                   sizes->dataSize, input.size());
      return kExitBadData;
    }
    output.resize(sizes->dataSize);
    const auto result = qlz::Decompress(input, output);
    if (!result.ok()) {
      std::fprintf(stderr, "kestrova-cli: %s: %s\n", o.input.c_str(), qlz::DecodeStatusText(result.status));
      return kExitBadData;
    }
    if (result.packetSize != input.size()) {
      std::fprintf(stderr, "kestrova-cli: note: %zu bytes after the packet ignored\n", input.size() - result.packetSize);
    }
  } else {
    if (input.empty()) {
      std::fprintf(stderr, "kestrova-cli: %s is empty: an empty input has no packet\n", o.input.c_str());
      return kExitBadData;
    }
    if (input.size() > qlz::kMaxDataSize) {
      std::fprintf(stderr, "kestrova-cli: %s is too large for one packet\n", o.input.c_str());
      return kExitBadData;
    }
    output = qlz::Compress(input);
  }
  if (!WriteAll(o.output, output)) {
    std::fprintf(stderr, "kestrova-cli: cannot write %s: %s\n", o.output.c_str(), std::strerror(errno));
    return kExitCantOpen;
  }
  std::fprintf(stderr, "%s %zu -> %zu bytes\n", o.decompress ? "decompressed" : "compressed", input.size(),
               output.size());
  return kExitOk;
}

}  // namespace kestrova::cli
