// Fuzz target: the session-file loader on arbitrary files. The input is the
// trailer's first 0xC4 bytes (magic, resume state, block references) followed
// by the blocks; the rest of the 1.4 MB trailer is zeros, so small inputs
// reach every block reader.
#include "session/session_file.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <random>
#include <vector>

namespace {
constexpr std::size_t kHead = 0xC4;  // up to the explorer navigation
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrova;
  if (size > (2u << 20)) return 0;
  std::vector<std::uint8_t> file;
  const std::size_t head = std::min(size, kHead);
  file.assign(data + head, data + size);
  const std::size_t trailerAt = file.size();
  file.resize(trailerAt + session::kTrailerSize, 0);
  std::memcpy(file.data() + trailerAt, data, head);
  session::SessionLoadLimits limits;
  limits.amapBytes = session::SessionLoadLimits::kAnyMap;
  limits.listLimit = 64u << 20;
  session::LoadedSession loaded;
  session::LoadSessionBytes(file, limits, loaded);
  // A file cut anywhere is refused or loads; it never reads past its end.
  if (size > kHead + 1) {
    session::LoadedSession cut;
    session::LoadSessionBytes(std::span(file).subspan(1), limits, cut);
  }
  return 0;
}

// Smoke inputs: a valid session (a few records, names, a map, histories)
// with a few bytes damaged, references bent or the blocks cut.
void FuzzSmokeInput(std::mt19937& rng, std::vector<std::uint8_t>& input) {
  using namespace kestrova;
  static std::vector<std::uint8_t> valid;
  if (valid.empty()) {
    ResultLists lists;
    lists.Reset();
    for (std::uint32_t i = 0; i < 40; ++i) {
      ScanEntry e = MakeScanEntry();
      e.size = i;
      const std::u16string name = u"name" + std::u16string(i % 9, u'x');
      if (i % 3 == 0) {
        e.name = kGeneratedName;
        lists.raw.Add(e);
      } else {
        lists.lost.Add(e, &name);
      }
    }
    std::vector<std::uint8_t> amap(300, 0x13);
    session::SessionHistories histories{{u"*.doc"}, {}, {u"/tmp/out"}};
    auto trailer = session::MakeTrailer();
    const std::string path = "/tmp/session_fuzz_smoke_" + std::to_string(::getpid()) + ".kvs";
    session::SaveSessionFile(path, lists, amap, histories, *trailer);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    std::vector<std::uint8_t> bytes;
    if (f) {
      std::uint8_t buffer[65536];
      std::size_t n;
      while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
      std::fclose(f);
    }
    std::remove(path.c_str());
    if (bytes.size() >= session::kTrailerSize) {
      const std::size_t blocks = bytes.size() - session::kTrailerSize;
      valid.assign(bytes.begin() + static_cast<std::ptrdiff_t>(blocks), bytes.begin() + static_cast<std::ptrdiff_t>(blocks + kHead));
      valid.insert(valid.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(blocks));
    }
  }
  input = valid;
  if (input.empty()) return;
  const int flips = static_cast<int>(rng() % 4);
  for (int k = 0; k < flips; ++k) input[rng() % input.size()] = static_cast<std::uint8_t>(rng());
  if (rng() % 3 == 0) input[4 + rng() % (kHead - 4)] = static_cast<std::uint8_t>(rng());  // a bent reference
  if (rng() % 4 == 0) input.resize(rng() % (input.size() + 1));
}
