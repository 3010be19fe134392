// Validity tests and size measures of the archive, container, document,
// executable, disc-image and database rows of the signature table. Each takes
// the bytes at the found sector (more through the scanner's read-ahead) and
// returns the file's size in bytes, 0 to reject; besides that it may mark the
// size as an estimate, re-type the find, give it a name read from the file or
// ask the scanner to skip it. Every field read is hostile: offsets are checked
// against what was loaded, walks are bounded, sizes never wrap.
#pragma once

#include "raw/raw_scanner.h"

#include <cstdint>

namespace kestrova::measure {

// Row items the routines re-type finds to (rows of the signature table).
namespace retype {
inline constexpr std::int32_t kAi = 25;
inline constexpr std::int32_t kCdr = 38;
inline constexpr std::int32_t kPity2012 = 84;
inline constexpr std::int32_t kOdt = 93;
inline constexpr std::int32_t kOds = 94;
inline constexpr std::int32_t kFla = 95;
inline constexpr std::int32_t kIdml = 96;
inline constexpr std::int32_t kArtx = 97;
inline constexpr std::int32_t kUleadDat = 98;
inline constexpr std::int32_t kThumbs = 99;
inline constexpr std::int32_t kIlg = 100;
inline constexpr std::int32_t kMsi = 101;
inline constexpr std::int32_t kVsd = 102;
inline constexpr std::int32_t kMax = 103;
inline constexpr std::int32_t kMdb = 104;
inline constexpr std::int32_t kXls = 105;
inline constexpr std::int32_t kPpt = 106;
inline constexpr std::int32_t kDoc = 107;
inline constexpr std::int32_t kXlsx = 108;
inline constexpr std::int32_t kPptx = 109;
inline constexpr std::int32_t kDocx = 110;
inline constexpr std::int32_t kJar = 111;
inline constexpr std::int32_t kXps = 112;
}  // namespace retype

// Simple header measures.
std::uint32_t MeasureCab(FindContext& c);
std::uint32_t Measure7z(FindContext& c);
std::uint32_t MeasureHlp(FindContext& c);
std::uint32_t MeasureDcu(FindContext& c);
std::uint32_t MeasurePfx(FindContext& c);
std::uint32_t MeasureAcp(FindContext& c);
std::uint32_t MeasureLwo(FindContext& c);
std::uint32_t MeasureCdr(FindContext& c);
std::uint32_t MeasurePst(FindContext& c);
std::uint32_t MeasureDbx(FindContext& c);
bool ValidateChm(FindContext& c);
std::uint32_t MeasureChm(FindContext& c);
bool ValidateLdf(FindContext& c);
bool ValidateMdf(FindContext& c);
bool ValidateAlways(FindContext& c);
std::uint32_t MeasureIso(FindContext& c);
bool ValidateMkv(FindContext& c);
std::uint32_t MeasureMkv(FindContext& c);
std::uint32_t MeasureIndd(FindContext& c);
std::uint32_t MeasureNdw(FindContext& c);
std::uint32_t MeasurePspImage(FindContext& c);

// PITy tax documents: the text index and the binary form.
std::uint32_t MeasurePityText(FindContext& c);
std::uint32_t MeasurePityBinary(FindContext& c);

// The three MZ rows, tried in this order.
bool ValidateIcl(FindContext& c);
std::uint32_t MeasureIcl(FindContext& c);
std::uint32_t MeasureExe(FindContext& c);
std::uint32_t MeasureDll(FindContext& c);

// Compound files, with their sub-types.
bool ValidateCfb(FindContext& c);
std::uint32_t MeasureCfb(FindContext& c);

// Archives.
std::uint32_t MeasureZip(FindContext& c);
std::uint32_t MeasureRar(FindContext& c);
std::uint32_t MeasureAce(FindContext& c);

std::uint32_t MeasurePdf(FindContext& c);

// ISO base media files (MP4, MOV, 3GP): the sum of the top-level boxes.
std::uint32_t MeasureMediaBoxes(FindContext& c);

}  // namespace kestrova::measure
