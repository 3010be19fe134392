// Fuzz target: the session-file loader on arbitrary files. The input is the
// trailer's first 0xC4 bytes (magic, resume state, block references), then
// its reserved tail (the scan position, the pending-state reference and the
// drive settings), then the blocks; the rest of the 1.4 MB trailer is zeros,
// so small inputs reach every block reader. A loaded pending state goes on to
// its decoder, and so do the raw input bytes.
#include "scanner/scan_resume.h"
#include "session/session_file.h"

#include <cstddef>
#include <span>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <random>
#include <vector>

namespace {
constexpr std::size_t kHead = 0xC4;  // up to the explorer navigation
constexpr std::size_t kTail = sizeof(kestrova::session::SessionTrailer::reservedEnd);
constexpr std::size_t kTailAt = offsetof(kestrova::session::SessionTrailer, reservedEnd);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrova;
  if (size > (2u << 20)) return 0;
  std::vector<std::uint8_t> file;
  const std::size_t head = std::min(size, kHead);
  const std::size_t tail = std::min(size - head, kTail);
  file.assign(data + head + tail, data + size);
  const std::size_t trailerAt = file.size();
  file.resize(trailerAt + session::kTrailerSize, 0);
  std::memcpy(file.data() + trailerAt, data, head);
  std::memcpy(file.data() + trailerAt + kTailAt, data + head, tail);
  session::SessionLoadLimits limits;
  limits.amapBytes = session::SessionLoadLimits::kAnyMap;
  limits.listLimit = 64u << 20;
  session::LoadedSession loaded;
  if (session::LoadSessionBytes(file, limits, loaded).ok()) {
    ScanPendingState state;
    if (!loaded.scanState.empty()) DecodeScanState(loaded.scanState, state);
    const session::ExplorerNavigation nav = session::ReadNavigation(*loaded.trailer);
    if (nav.pathItems.size() > session::kNavSlots) __builtin_trap();
  }
  ScanPendingState direct;
  DecodeScanState(std::span(data, size), direct);
  // A file cut anywhere is refused or loads; it never reads past its end.
  if (size > kHead + kTail + 1) {
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
    DriveSettings settings;
    settings.damaged = true;
    settings.clusterChoice = 4;
    session::StoreDriveSettings(settings, *trailer);
    ScanPendingState state;
    state.raw.foundCounts[3] = 7;
    state.raw.pendingOpen = true;
    state.raw.pendingRow = 5;
    state.raw.pendingLimitSector = 100;
    state.ntfsBatch.resize(3);
    state.ntfsBatch[1].name = u"record";
    const std::string path = "/tmp/session_fuzz_smoke_" + std::to_string(::getpid()) + ".kvs";
    session::SaveSessionFile(path, lists, amap, histories, *trailer, {}, EncodeScanState(state));
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
      const auto tailAt = bytes.begin() + static_cast<std::ptrdiff_t>(blocks + kTailAt);
      valid.insert(valid.end(), tailAt, tailAt + static_cast<std::ptrdiff_t>(kTail));
      valid.insert(valid.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(blocks));
    }
  }
  input = valid;
  if (input.empty()) return;
  const int flips = static_cast<int>(rng() % 4);
  for (int k = 0; k < flips; ++k) input[rng() % input.size()] = static_cast<std::uint8_t>(rng());
  if (rng() % 3 == 0) input[4 + rng() % (kHead - 4)] = static_cast<std::uint8_t>(rng());  // a bent reference
  if (rng() % 3 == 0) input[kHead + rng() % kTail] = static_cast<std::uint8_t>(rng());  // a bent tail record
  if (rng() % 4 == 0) input.resize(rng() % (input.size() + 1));
}
