// Validity tests and size measures of the picture, camera-raw, audio and video
// rows of the signature table. Each takes the bytes at the found sector (and
// reads ahead through the scanner), returns the file's size in bytes or 0 to
// reject, and may mark the size an estimate, re-type the find, name it or ask
// the scanner to jump over it.
#pragma once

#include "raw/scan_items.h"

#include <cstdint>

namespace kestrova {

// A header row with its routines filled in.
constexpr ScanItem WithMediaRoutines(ScanItem row, ValidateFn validate, MeasureFn measure) {
  row.validate = validate;
  row.measure = measure;
  return row;
}

bool ValidateBmp(FindContext& c);
std::uint32_t MeasureBmp(FindContext& c);
std::uint32_t MeasureSwf(FindContext& c);
std::uint32_t MeasureRaf(FindContext& c);
std::uint32_t MeasureWav(FindContext& c);
std::uint32_t MeasureAvi(FindContext& c);
std::uint32_t MeasureCdxa(FindContext& c);
bool ValidateTga(FindContext& c);
std::uint32_t MeasureTga(FindContext& c);
bool ValidateGif(FindContext& c);
std::uint32_t MeasureGif(FindContext& c);
bool ValidatePng(FindContext& c);
std::uint32_t MeasurePng(FindContext& c);
bool ValidatePcx(FindContext& c);
std::uint32_t MeasurePcx(FindContext& c);
bool AcceptAll(FindContext& c);
std::uint32_t MeasureJpeg(FindContext& c);
std::uint32_t MeasureJpeg2000(FindContext& c);
std::uint32_t MeasureTiff(FindContext& c);
bool ValidateMp3(FindContext& c);
std::uint32_t MeasureMp3(FindContext& c);
std::uint32_t MeasureMpeg(FindContext& c);
bool ValidateDds(FindContext& c);
std::uint32_t MeasureDds(FindContext& c);

// MPEG audio frame length in bytes from a 4-byte frame header (0: not a
// usable frame: free or bad bitrate, reserved rate, version or layer).
std::uint32_t Mp3FrameLength(std::uint8_t h1, std::uint8_t h2);

}  // namespace kestrova
