// Fuzz target: the picture, camera-raw, audio and video measures and the two
// text detectors over arbitrary bytes at a sector. The input's first bytes
// choose the routine, the sector size and the window; the rest is the disk,
// found sector first, so read-ahead runs on into the following bytes (and
// past them into zeros).
#include "raw/measure_media.h"
#include "raw/raw_scanner.h"
#include "raw/text_detect.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

using namespace kestrova;

struct Routine {
  std::uint16_t item;  // the row whose signature the smoke inputs plant
  ValidateFn validate;
  MeasureFn measure;
};

const Routine kRoutines[] = {
    {83, ValidateBmp, MeasureBmp},   {52, nullptr, MeasureSwf},          {138, nullptr, MeasureRaf},
    {62, nullptr, MeasureWav},       {61, nullptr, MeasureAvi},          {60, nullptr, MeasureCdxa},
    {80, ValidateTga, MeasureTga},   {77, ValidateGif, MeasureGif},      {76, ValidatePng, MeasurePng},
    {72, ValidatePcx, MeasurePcx},   {82, AcceptAll, MeasureJpeg},       {63, nullptr, MeasureJpeg2000},
    {59, nullptr, MeasureTiff},      {56, nullptr, MeasureTiff},         {75, ValidateMp3, MeasureMp3},
    {74, ValidateMp3, MeasureMp3},   {73, ValidateMp3, MeasureMp3},      {48, nullptr, MeasureMpeg},
    {42, ValidateDds, MeasureDds},
};
constexpr std::size_t kRoutineCount = sizeof kRoutines / sizeof kRoutines[0];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3 || size > (4u << 20)) return 0;
  static const std::uint32_t kSizes[] = {512, 1024, 2048, 4096};
  const std::uint32_t ss = kSizes[data[0] & 3];
  const std::size_t choice = data[1] % (kRoutineCount + 2);
  const std::uint32_t windowSectors = 1 + data[2] % 64;
  const std::span<const std::uint8_t> disk(data + 3, size - 3);
  // The window holds whole sectors only; a find needs at least one.
  const std::size_t windowBytes = std::min<std::size_t>(std::size_t{windowSectors} * ss, disk.size() / ss * ss);
  if (windowBytes == 0) return 0;

  static ResultLists lists;
  static unsigned round = 0;
  if (round++ % 128 == 0) lists.Reset();
  MemorySectorReader reader(disk, ss);
  static RawScanner scanner(reader);
  scanner.SetReader(reader);
  scanner.config.sectorSize = ss;
  scanner.sinks.raw = &lists.raw;
  scanner.ResetScanItems();

  FindScratch scratch;
  ReadAheadCursor cursor;
  cursor.data = disk.data();
  cursor.size = windowBytes;
  cursor.nextSector = windowBytes / ss;
  FindContext ctx{scanner, nullptr, 0, cursor, scratch};

  if (choice < kRoutineCount) {
    const Routine& r = kRoutines[choice];
    ctx.row = &scanner.table()[r.item];
    if (r.validate) (void)r.validate(ctx);
    ctx.cursor = cursor;
    const std::uint32_t measured = r.measure(ctx);
    // Re-typing names only rows that exist; an own name is bounded.
    if (scratch.retype >= static_cast<std::int32_t>(kScanItemCount) || scratch.retype < -1) std::abort();
    if (scratch.ownName.size() > 2048) std::abort();
    (void)measured;
  } else {
    std::uint32_t found = 0;
    if (choice == kRoutineCount)
      (void)DetectAnsiText(ctx, found);
    else
      (void)DetectUnicodeText(ctx, found);
    if (found > 0xFFFFFFFFu - ss) std::abort();
  }
  return 0;
}

// Smoke inputs: a planted signature with header fields drawn from small and
// extreme values, followed by random, text-like or repeating bytes.
void FuzzSmokeInput(std::mt19937& rng, std::vector<std::uint8_t>& input) {
  const std::size_t sectors = 1 + rng() % 80;
  input.assign(3 + sectors * 512 + rng() % 512, 0);
  input[0] = static_cast<std::uint8_t>(rng() % 8 == 0 ? rng() & 3 : 0);
  input[1] = static_cast<std::uint8_t>(rng());
  input[2] = static_cast<std::uint8_t>(rng());
  std::uint8_t* p = input.data() + 3;
  const std::size_t n = input.size() - 3;
  switch (rng() % 4) {
    case 0:
      for (std::size_t k = 0; k < n; ++k) p[k] = static_cast<std::uint8_t>(rng());
      break;
    case 1:
      for (std::size_t k = 0; k < n; ++k) p[k] = static_cast<std::uint8_t>(rng() % 16 == 0 ? '\n' : ' ' + rng() % 90);
      break;
    case 2:
      for (std::size_t k = 0; k < n; ++k) p[k] = static_cast<std::uint8_t>(rng() % 3 == 0 ? 0xFF : rng() % 8);
      break;
    default: break;
  }
  const std::size_t choice = input[1] % (kRoutineCount + 2);
  if (choice < kRoutineCount) {
    const ScanItem& r = DefaultScanItemTable()[kRoutines[choice].item];
    std::memcpy(p, r.signature.data(), r.signatureLength);
  }
  // Header fields: small counts and offsets, or all-ones.
  static const std::uint32_t kValues[] = {0, 1, 2, 8, 16, 33, 100, 512, 4096, 16384, 65535, 0x7FFFFFFF, 0xFFFFFFFF};
  const int fields = static_cast<int>(rng() % 12);
  for (int i = 0; i < fields; ++i) {
    const std::size_t at = 4 + rng() % 120;
    const std::uint32_t v = kValues[rng() % (sizeof kValues / sizeof kValues[0])];
    if (at + 4 <= n) std::memcpy(p + at, &v, 4);
  }
}
