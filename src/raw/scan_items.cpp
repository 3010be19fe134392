#include "raw/scan_items.h"

#include "common/activity.h"
#include "raw/measure_media.h"
#include "raw/measure_containers.h"

#include <cstdio>
#include <cstring>

namespace kestrova {
namespace {

struct SigBytes {
  std::array<std::uint8_t, kSignatureMax> bytes{};
  std::uint8_t length = 0;
};

constexpr int HexDigit(char c) {
  return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// "FF D8 FF" -> bytes.
constexpr SigBytes Hex(std::string_view text) {
  SigBytes s;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    s.bytes[s.length++] = static_cast<std::uint8_t>(HexDigit(text[i]) * 16 + HexDigit(text[i + 1]));
    i += 2;
  }
  return s;
}

constexpr SigBytes Text(std::string_view text) {
  SigBytes s;
  for (char c : text) s.bytes[s.length++] = static_cast<std::uint8_t>(c);
  return s;
}

constexpr SigBytes Utf16Le(std::string_view text) {
  SigBytes s;
  for (char c : text) {
    s.bytes[s.length++] = static_cast<std::uint8_t>(c);
    s.bytes[s.length++] = 0;
  }
  return s;
}

constexpr SigBytes Cat(SigBytes a, SigBytes b) {
  for (std::size_t i = 0; i < b.length; ++i) a.bytes[a.length++] = b.bytes[i];
  return a;
}

constexpr std::uint32_t KiB = 1024;
constexpr std::uint32_t MiB = 1048576;
constexpr bool kPrimary = true;
constexpr bool kFurther = false;  // a further signature of an extension another row represents

// A row tried by the header test. Its validate and measure slots are filled by
// the format routines; until then the row is a pending find.
constexpr ScanItem Header(std::uint16_t index, std::string_view ext, std::string_view folder, SigBytes sig,
                          bool primary, std::uint32_t maxSize, HeaderTest test = HeaderTest::Signature,
                          std::string_view description = {}) {
  ScanItem r;
  r.itemIndex = index;
  r.primary = primary;
  r.signature = sig.bytes;
  r.signatureLength = sig.length;
  r.test = test;
  r.extension = ext;
  r.folderName = folder;
  r.maxSize = maxSize;
  r.description = description;
  return r;
}

constexpr ScanItem Derived(std::uint16_t index, std::string_view ext, std::string_view folder,
                           std::string_view description = {}) {
  ScanItem r;
  r.itemIndex = index;
  r.extension = ext;
  r.folderName = folder;
  r.derived = true;
  r.description = description;
  return r;
}

// Rows in neither list: the end markers and the spares that keep later indices in place.
constexpr ScanItem Spare(std::uint16_t index, std::string_view ext, std::string_view folder, SigBytes sig = {}) {
  ScanItem r = Header(index, ext, folder, sig, kPrimary, 0);
  return r;
}

// The container, archive and document routines of a row.
constexpr ScanItem WithContainerRoutines(ScanItem r, ValidateFn validate, MeasureFn measure) {
  r.validate = validate;
  r.measure = measure;
  return r;
}

constexpr SigBytes kPityBinary = Hex("FF FF FF 46 33 49 5F 56 5F 31 2E 30 2E 30");
constexpr SigBytes kPityText = Hex("5B 70 6F 64 61 74 6E 69 63 79 5D 0D 0A");
constexpr SigBytes kRiff = Hex("52 49 46 46");
constexpr SigBytes kMz = Hex("4D 5A");
constexpr SigBytes kMdf = Hex("01 0F 00 00 08");

constexpr ScanItemTable kTable = {{
    Spare(0, ".first", "FIRST"),
    Header(1, ".amr", "AMR", Hex("23 21 41 4D 52"), kPrimary, 50 * MiB),
    Header(2, ".res", "RES", Hex("00 00 00 00 20 00 00 00 FF FF 00 00 FF FF 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"), kPrimary, 10 * MiB),
    Header(3, ".lib", "LIB", Hex("21 3C 61 72 63 68 3E 0A 2F 20 20 20 20 20 20 20"), kPrimary, 10 * MiB),
    Header(4, ".pdb", "PDB", Text("Microsoft C/C++ MSF "), kFurther, 10 * MiB),
    Header(5, ".pdb", "PDB", Text("Microsoft C/C++ program database"), kPrimary, 10 * MiB),
    WithContainerRoutines(Header(6, ".ldf", "LDF", kMdf, kPrimary, 10 * MiB), measure::ValidateLdf, nullptr),
    WithContainerRoutines(Header(7, ".mdf", "MDF", kMdf, kPrimary, 200 * MiB), measure::ValidateMdf, nullptr),
    WithContainerRoutines(Header(8, ".kdbx", "KDBX", Hex("03 D9 A2 9A 67 FB 4B B5"), kPrimary, 10 * MiB), measure::ValidateAlways, nullptr),
    WithContainerRoutines(Header(9, ".kdb", "KDB", Hex("03 D9 A2 9A 65 FB 4B B5"), kPrimary, 10 * MiB), measure::ValidateAlways, nullptr),
    Header(10, ".lnk", "LNK", Hex("4C 00 00 00 01 14 02 00 00 00 00 00 C0 00 00 00 00 00 00 46"), kPrimary, 4 * KiB),
    Header(11, ".dwg", "DWG", Hex("41 43 31 30 31"), kPrimary, 25 * MiB),
    Header(12, ".sav", "SAV", Hex("24 46 4C 32"), kPrimary, 1 * MiB),
    Header(13, ".ape", "APE", Hex("4D 41 43 20 96"), kPrimary, 100 * MiB),
    Header(14, ".flac", "FLAC", Hex("66 4C 61 43"), kPrimary, 100 * MiB),
    Header(15, ".x3f", "X3F", Hex("46 4F 56 62"), kPrimary, 100 * MiB),
    Header(16, ".mrw", "MRW", Hex("00 4D 52 4D"), kPrimary, 100 * MiB),
    Header(17, ".crw", "CRW", Hex("49 49 1A 00 00 00 48 45 41 50 43 43 44 52 02 00"), kPrimary, 100 * MiB),
    Header(18, ".mts", "MTS", Hex("47 40 00 10 00 00 B0 11"), kPrimary, 1024 * MiB, HeaderTest::Mts),
    Header(19, ".kst", "KST", Hex("4E 4F 52 4D 41 2D 4B 53 54"), kPrimary, 3072 * MiB),
    Header(20, ".fbk", "FBK", Hex("00 02 04 09 00 00 00 04 04 01 00 00 00 05 04 01"), kPrimary, 50 * MiB),
    Header(21, ".obse", "OBSE", Hex("4F 42 53 45"), kPrimary, 15 * MiB),
    Header(22, ".ess", "ESS", Hex("54 45 53 34 53 41 56 45 47 41 4D 45"), kPrimary, 2 * MiB),
    Header(23, ".pfi", "PFI", Hex("50 68 6F 74 6F 46 69 6C 74 72 65"), kPrimary, 50 * MiB),
    Header(24, ".skp", "SKP", Cat(Hex("FF FE FF 0E"), Utf16Le("SketchUp Model")), kPrimary, 100 * MiB),
    Header(25, ".ai", "AI", Hex("25 21 50 53 2D 41 64 6F 62 65 2D"), kPrimary, 50 * MiB),
    Header(26, ".eps", "EPS", Hex("C5 D0 D3 C6 20 00 00 00"), kPrimary, 25 * MiB),
    WithContainerRoutines(Header(27, ".acp", "ACP", Hex("41 72 43 6F 6E 20 2D 20 50 72 6F 6A 65 6B 74 00"), kPrimary, 0), nullptr, measure::MeasureAcp),
    WithContainerRoutines(Header(28, ".ndw", "NDW", Hex("00 01 02 03 04 05 06 07"), kPrimary, 0, HeaderTest::Ndw), nullptr, measure::MeasureNdw),
    WithContainerRoutines(Header(29, ".lwo", "LWO", Hex("46 4F 52 4D"), kPrimary, 0), nullptr, measure::MeasureLwo),
    WithContainerRoutines(Header(30, ".3gp", "3GP", Text("ftyp3g"), kPrimary, 0, HeaderTest::ThreeGp), nullptr, measure::MeasureMediaBoxes),
    WithContainerRoutines(Header(31, ".mov", "MOV", Text("ftypqt"), kPrimary, 0, HeaderTest::Mov), nullptr, measure::MeasureMediaBoxes),
    WithContainerRoutines(Header(32, ".mp4", "MP4", Text("ftyp"), kPrimary, 0, HeaderTest::Mp4), nullptr, measure::MeasureMediaBoxes),
    WithContainerRoutines(Header(33, ".hlp", "HLP", Hex("3F 5F 03 00"), kPrimary, 0), nullptr, measure::MeasureHlp),
    WithContainerRoutines(Header(34, ".dcu", "DCU", Hex("D8 A6 68 47"), kFurther, 0), nullptr, measure::MeasureDcu),
    WithContainerRoutines(Header(35, ".dcu", "DCU", Hex("DF 00 00 0F"), kPrimary, 0), nullptr, measure::MeasureDcu),
    WithContainerRoutines(Header(36, ".pfx", "PFX", Hex("30 82"), kPrimary, 0), nullptr, measure::MeasurePfx),
    WithContainerRoutines(Header(37, ".indd", "INDD", Hex("06 06 ED F5 D8 1D 46 E5 BD 31 EF E7 FE 74 B7 1D"), kPrimary, 0), nullptr, measure::MeasureIndd),
    WithContainerRoutines(Header(38, ".cdr", "CDR", kRiff, kPrimary, 0), nullptr, measure::MeasureCdr),
    WithContainerRoutines(Header(39, ".pst", "PST", Hex("21 42 44 4E"), kPrimary, 0), nullptr, measure::MeasurePst),
    WithContainerRoutines(Header(40, ".dbx", "DBX", Hex("CF AD 12 FE"), kPrimary, 0), nullptr, measure::MeasureDbx),
    WithContainerRoutines(Header(41, ".chm", "CHM", Hex("49 54 53 46"), kPrimary, 0), measure::ValidateChm, measure::MeasureChm),
    WithMediaRoutines(Header(42, ".dds", "DDS", Hex("44 44 53 20 7C"), kPrimary, 0), ValidateDds, MeasureDds),
    WithContainerRoutines(Header(43, ".ace", "ACE", Text("**ACE**"), kPrimary, 0, HeaderTest::Ace), nullptr, measure::MeasureAce),
    WithContainerRoutines(Header(44, ".7z", "7z", Hex("37 7A BC AF 27 1C"), kPrimary, 0), nullptr, measure::Measure7z),
    WithContainerRoutines(Header(45, ".mkv", "MKV", Hex("1A 45 DF A3"), kPrimary, 0), measure::ValidateMkv, measure::MeasureMkv),
    WithContainerRoutines(Header(46, ".iso", "ISO", Hex("01 43 44 30 30 31 01 00"), kPrimary, 0), nullptr, measure::MeasureIso),
    WithMediaRoutines(Header(47, ".mpg", "MPG", Hex("00 00 01 B9"), kFurther, 0), AcceptAll, MeasureMpeg),
    WithMediaRoutines(Header(48, ".mpg", "MPG", Hex("00 00 01 BA"), kPrimary, 0), AcceptAll, MeasureMpeg),
    Header(49, ".svgz", "SVGZ", Hex("1F 8B 08 00 00 00 00 00"), kPrimary, 5 * MiB),
    Header(50, ".psd", "PSD", Hex("38 42 50 53"), kPrimary, 50 * MiB),
    WithMediaRoutines(Header(51, ".swf", "SWF", Hex("43 57 53"), kFurther, 0), AcceptAll, MeasureSwf),
    WithMediaRoutines(Header(52, ".swf", "SWF", Hex("46 57 53"), kPrimary, 0), AcceptAll, MeasureSwf),
    WithMediaRoutines(Header(53, ".tif", "TIF", Hex("49 49 55 00"), kFurther, 50 * MiB), AcceptAll, MeasureTiff),
    WithMediaRoutines(Header(54, ".tif", "TIF", Hex("4D 4D 53 52"), kFurther, 50 * MiB), AcceptAll, MeasureTiff),
    WithMediaRoutines(Header(55, ".tif", "TIF", Hex("4D 4D 4F 52"), kFurther, 50 * MiB), AcceptAll, MeasureTiff),
    WithMediaRoutines(Header(56, ".tif", "TIF", Hex("4D 4D 00 2A"), kFurther, 50 * MiB), AcceptAll, MeasureTiff),
    WithMediaRoutines(Header(57, ".tif", "TIF", Hex("49 49 52 53"), kFurther, 50 * MiB), AcceptAll, MeasureTiff),
    WithMediaRoutines(Header(58, ".tif", "TIF", Hex("49 49 52 4F"), kFurther, 50 * MiB), AcceptAll, MeasureTiff),
    WithMediaRoutines(Header(59, ".tif", "TIF", Hex("49 49 2A 00"), kPrimary, 50 * MiB), AcceptAll, MeasureTiff),
    WithMediaRoutines(Header(60, ".dat", "DAT", kRiff, kPrimary, 0), AcceptAll, MeasureCdxa),
    WithMediaRoutines(Header(61, ".avi", "AVI", kRiff, kPrimary, 0), AcceptAll, MeasureAvi),
    WithMediaRoutines(Header(62, ".wav", "WAV", kRiff, kPrimary, 0), AcceptAll, MeasureWav),
    WithMediaRoutines(Header(63, ".jp2", "JP2", Hex("FF 4F FF"), kPrimary, 0), AcceptAll, MeasureJpeg2000),
    WithContainerRoutines(Header(64, ".cfb", "CFB", Hex("D0 CF 11 E0 A1 B1 1A E1"), kPrimary, 0), measure::ValidateCfb, measure::MeasureCfb),
    WithContainerRoutines(Header(65, ".dll", "DLL", kMz, kPrimary, 0), nullptr, measure::MeasureDll),
    WithContainerRoutines(Header(66, ".exe", "EXE", kMz, kPrimary, 0), nullptr, measure::MeasureExe),
    WithContainerRoutines(Header(67, ".icl", "ICL", kMz, kPrimary, 0), measure::ValidateIcl, measure::MeasureIcl),
    WithContainerRoutines(Header(68, ".cab", "CAB", Hex("4D 53 43 46"), kPrimary, 0), nullptr, measure::MeasureCab),
    WithContainerRoutines(Header(69, ".rar", "RAR", Hex("52 61 72 21"), kPrimary, 0), nullptr, measure::MeasureRar),
    WithContainerRoutines(Header(70, ".zip", "ZIP", Hex("50 4B"), kPrimary, 0), nullptr, measure::MeasureZip),
    WithContainerRoutines(Header(71, ".pdf", "PDF", Hex("25 50 44 46"), kPrimary, 0), nullptr, measure::MeasurePdf),
    WithMediaRoutines(Header(72, ".pcx", "PCX", Hex("0A 05 01 08"), kPrimary, 0), ValidatePcx, MeasurePcx),
    WithMediaRoutines(Header(73, ".mp3", "MP3", Hex("FF"), kFurther, 0), ValidateMp3, MeasureMp3),
    WithMediaRoutines(Header(74, ".mp3", "MP3", Hex("49 44 33 02"), kFurther, 0), ValidateMp3, MeasureMp3),
    WithMediaRoutines(Header(75, ".mp3", "MP3", Hex("49 44 33 03"), kPrimary, 0), ValidateMp3, MeasureMp3),
    WithMediaRoutines(Header(76, ".png", "PNG", Hex("89 50 4E 47"), kPrimary, 0, HeaderTest::Signature,
           "PNG Image (Portable Network Graphics)"), ValidatePng, MeasurePng),
    WithMediaRoutines(Header(77, ".gif", "GIF", Hex("47 49 46 38"), kPrimary, 0), ValidateGif, MeasureGif),
    WithMediaRoutines(Header(78, ".tga", "TGA", Hex("00 00 0A"), kFurther, 0), ValidateTga, MeasureTga),
    WithMediaRoutines(Header(79, ".tga", "TGA", Hex("01 00 0A"), kFurther, 0), ValidateTga, MeasureTga),
    WithMediaRoutines(Header(80, ".tga", "TGA", Hex("00 00 02"), kFurther, 0), ValidateTga, MeasureTga),
    WithMediaRoutines(Header(81, ".tga", "TGA", Hex("01 00 02"), kPrimary, 0), ValidateTga, MeasureTga),
    // The JPEG, TIFF and RAF rows carry a maxSize that only a pending find would read.
    WithMediaRoutines(Header(82, ".jpg", "JPG", Hex("FF D8 FF"), kPrimary, 25 * MiB), AcceptAll, MeasureJpeg),
    WithMediaRoutines(Header(83, ".bmp", "BMP", Hex("42 4D"), kPrimary, 0), ValidateBmp, MeasureBmp),
    Spare(84, ".PITy2012NG", "PITy2012NG", kPityBinary),
    WithContainerRoutines(Header(85, ".PITy2013NG", "PITy2013NG", kPityBinary, kPrimary, 0), nullptr, measure::MeasurePityBinary),
    Spare(86, ".PITy2013NG", "PITy2013NG", kPityText),
    Spare(87, ".PITy2013NG", "PITy2013NG", kPityText),
    WithContainerRoutines(Header(88, ".PITy2013NG", "PITy2013NG", kPityText, kPrimary, 0), nullptr, measure::MeasurePityText),
    WithContainerRoutines(Header(89, ".pspimage", "PSPIMAGE", Cat(Text("Paint Shop Pro Image File"), Hex("0A 1A 00 00 00 00 00")), kPrimary, 0), nullptr, measure::MeasurePspImage),
    Spare(90, ".sps", "SPS"),
    Derived(91, ".lws", "LWS"),
    Derived(92, ".sps", "SPS"),
    Derived(93, ".odt", "ODT"),
    Derived(94, ".ods", "ODS"),
    Derived(95, ".fla", "FLA"),
    Derived(96, ".idml", "IDML"),
    Derived(97, ".artx", "ARTX"),
    Derived(98, ".UL.dat", "ULEAD-DAT"),
    Derived(99, ".thumbs", "THUMBS"),
    Derived(100, ".ilg", "ILG"),
    Derived(101, ".msi", "MSI"),
    Derived(102, ".vsd", "VSD"),
    Derived(103, ".max", "MAX"),
    Derived(104, ".mdb", "MDB"),
    Derived(105, ".xls", "XLS"),
    Derived(106, ".ppt", "PPT"),
    Derived(107, ".doc", "DOC"),
    Derived(108, ".xlsx", "XLSX"),
    Derived(109, ".pptx", "PPTX"),
    Derived(110, ".docx", "DOCX"),
    Derived(111, ".JAR", "JAR"),
    Derived(112, ".XPS", "XPS"),
    Derived(113, ".cs", "CS"),
    Derived(114, ".js", "JS"),
    Derived(115, ".pas", "PAS"),
    Derived(116, ".c", "C"),
    Derived(117, ".cpp", "CPP"),
    Derived(118, ".mht", "MHT"),
    Derived(119, ".xib", "XIB"),
    Derived(120, ".plist", "PLIST"),
    Derived(121, ".wsdl", "WSDL"),
    Derived(122, ".rdf", "RDF"),
    Derived(123, ".dsp", "DSP"),
    Derived(124, ".dsw", "DSW"),
    Derived(125, ".sln", "SLN"),
    Derived(126, ".vcproj", "VCPROJ"),
    Derived(127, ".svg", "SVG"),
    Derived(128, ".php", "PHP"),
    Derived(129, ".html", "HTML"),
    Derived(130, ".xmp", "XMP"),
    Derived(131, ".xml", "XML"),
    Derived(132, ".eml", "EML"),
    Derived(133, ".rtf", "RTF"),
    Derived(134, ".bat", "BAT"),
    Derived(135, ".reg", "REG"),
    Derived(136, ".U.txt", "TXTu"),
    Derived(137, ".A.txt", "TXTa"),
    WithMediaRoutines(Header(138, ".raf", "TIF", Hex("46 55 4A 49 46 49 4C 4D 43 43 44 2D 52 41 57"), kPrimary, 50 * MiB), AcceptAll, MeasureRaf),
    Derived(139, ".rw2", "RW2", "Panasonic RAW Image"),
    Derived(140, ".raw", "RAW", "Panasonic RAW Image"),
    Derived(141, ".sr2", "SR2", "Sony Raw Image"),
    Derived(142, ".srf", "SRF", "Sony Raw Image"),
    Derived(143, ".kdr", "KDR", "Kodak RAW Image"),
    Derived(144, ".dcr", "DCR", "Kodak RAW Image"),
    Derived(145, ".kdc", "KDC", "Kodak RAW Image"),
    Derived(146, ".k25", "K25", "Kodak DC25 Camera RAW Image"),
    Derived(147, ".nrw", "NRW", "Nikon RAW Image"),
    Derived(148, ".mos", "MOS", "Leaf Aptus/Mamiya RAW Image"),
    Derived(149, ".srw", "SRW", "Samsung RAW Image"),
    Derived(150, ".pef", "PEF", "Pentax Raw Image"),
    Derived(151, ".mef", "MEF", "Mamiya RAW Image"),
    Derived(152, ".3fr", "3FR", "Hasselblad 3F RAW Image"),
    Derived(153, ".erf", "ERF", "Epson RAW Image"),
    Derived(154, ".arw", "ARW", "Sony RAW Image"),
    Derived(155, ".dng", "DNG", "Digital Negative Image"),
    Derived(156, ".cr2", "CR2", "Cannon RAW Image (v2.0)"),
    Derived(157, ".orf", "ORF", "Olympus RAW Image"),
    Derived(158, ".nef", "NEF", "Nikon Electronic File"),
    Spare(159, ".last", "LAST"),
}};

constexpr bool IndicesInOrder() {
  for (std::size_t i = 0; i < kTable.size(); ++i)
    if (kTable[i].itemIndex != i) return false;
  return true;
}
static_assert(kTable.size() == 160);
static_assert(IndicesInOrder(), "a row's position is its stored itemIndex");
static_assert(kTable[item::kLast].extension == ".last" && kTable[item::kFirst].extension == ".first");
static_assert(kTable[item::kZip].extension == ".zip" && kTable[item::kIso].extension == ".iso" &&
              kTable[item::kJpeg].extension == ".jpg" && kTable[item::kMp3Sync].extension == ".mp3" &&
              kTable[item::kMpegBA].extension == ".mpg");

}  // namespace

const std::array<std::uint16_t, kHeaderScanOrderCount> kHeaderScanOrder = {
    27, 83, 82, 81, 80, 79, 78, 77, 76, 75, 74, 73, 72, 71, 70, 69, 67, 66, 65, 64, 63, 62,
    61, 60, 59, 58, 57, 55, 54, 52, 51, 50, 46, 45, 44, 43, 48, 47, 30, 42, 41, 40, 39, 11,
    10, 38, 37, 9,  8,  35, 34, 7,  6,  5,  4,  3,  33, 2,  36, 56, 26, 25, 49, 12, 1,  85,
    88, 14, 13, 138, 53, 16, 17, 15, 18, 19, 32, 31, 68, 20, 22, 21, 29, 28, 89, 24, 23,
};

const std::array<std::uint16_t, kDerivedItemCount + 1> kDerivedItems = {
    158, 157, 156, 155, 154, 153, 152, 151, 150, 149, 148, 147, 146, 145, 144, 143, 142,
    141, 140, 139, 137, 136, 135, 134, 133, 132, 131, 130, 129, 128, 127, 126, 125, 124,
    123, 122, 121, 120, 119, 118, 117, 116, 115, 114, 113, 112, 111, 110, 109, 108, 107,
    106, 105, 104, 103, 102, 101, 100, 99,  98,  97,  95,  94,  93,  92,  91,  96,  kDerivedEndMarker,
};

const ScanItemTable& DefaultScanItemTable() { return kTable; }

const ScanItem* ItemByIndex(const ScanItemTable& table, std::size_t index) {
  return index < table.size() ? &table[index] : nullptr;
}

std::u16string AutoName(const ScanItemTable& table, std::uint32_t serial, std::size_t index) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%.9u", serial);
  std::u16string name(digits, digits + std::strlen(digits));
  if (const ScanItem* row = ItemByIndex(table, index)) name.append(row->extension.begin(), row->extension.end());
  return name;
}

std::u16string ExtensionNoDot16(const ScanItem& row) {
  const auto ext = row.ExtensionNoDot();
  return std::u16string(ext.begin(), ext.end());
}

std::string ExtensionNoDot8(const ScanItem& row) { return std::string(row.ExtensionNoDot()); }

std::vector<std::u16string> ItemExtensions(const ScanItemTable& table) {
  std::vector<std::u16string> out;
  out.reserve(table.size());
  for (const ScanItem& row : table) out.emplace_back(row.extension.begin(), row.extension.end());
  return out;
}

bool ScanItemTableIntact(std::span<const ScanItem> table) {
  return !table.empty() && table.back().extension == ".last";
}

std::size_t HeaderBytesNeeded(const ScanItem& row) {
  switch (row.test) {
    case HeaderTest::Signature: return row.signatureLength == 0 ? 1 : row.signatureLength;
    case HeaderTest::Mts: return 4 + row.signatureLength;
    case HeaderTest::Ace: return 14;
    case HeaderTest::Mp4: return 40;
    case HeaderTest::ThreeGp:
    case HeaderTest::Mov: return 10;
    case HeaderTest::Ndw: return 8;
  }
  return kSignatureMax;
}

namespace {

bool SignatureAt(const ScanItem& row, Bytes at, std::size_t offset) {
  const std::size_t n = row.signatureLength == 0 ? 1 : row.signatureLength;
  if (offset > at.size() || at.size() - offset < n) return false;
  // One byte first: most sectors fail here.
  if (at[offset] != row.signature[0]) return false;
  return n == 1 || std::memcmp(at.data() + offset + 1, row.signature.data() + 1, n - 1) == 0;
}

char LowerAscii(std::uint8_t c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); }

// "mp4" in any case, wholly inside the 32 bytes from offset 8.
bool HasMp4Brand(Bytes at) {
  for (std::size_t i = 8; i + 3 <= 40 && i + 3 <= at.size(); ++i)
    if (LowerAscii(at[i]) == 'm' && LowerAscii(at[i + 1]) == 'p' && at[i + 2] == '4') return true;
  return false;
}

}  // namespace

bool HeaderFits(const ScanItem& row, Bytes at) {
  if (at.size() < HeaderBytesNeeded(row)) return false;
  switch (row.test) {
    case HeaderTest::Signature: return SignatureAt(row, at, 0);
    case HeaderTest::Mts: return SignatureAt(row, at, 4);
    case HeaderTest::Ace: return BytesEqual(at, 7, "**ACE**");
    case HeaderTest::Mp4: return BytesEqual(at, 4, "ftyp") && HasMp4Brand(at);
    case HeaderTest::ThreeGp: return BytesEqual(at, 4, "ftyp3g");
    case HeaderTest::Mov: return BytesEqual(at, 4, "ftypqt") || BytesEqual(at, 4, "moov");
    case HeaderTest::Ndw:
      if (at[0] == 0x52 && at[1] < 0x18 && at[2] < 0x18 && ((at[4] == 0xF8 && at[5] == 0x7F) || at[5] == 0xFF))
        return true;
      return SignatureAt(row, at, 0);
  }
  return false;
}

HeaderMatcher::HeaderMatcher(const ScanItemTable& table) : table_(table) {
  std::array<std::vector<std::uint16_t>, 256> buckets;
  for (std::uint16_t index : kHeaderScanOrder) {
    const ScanItem& row = table[index];
    switch (row.test) {
      case HeaderTest::Signature: buckets[row.signature[0]].push_back(index); break;
      case HeaderTest::Ndw:
        buckets[0x52].push_back(index);
        if (row.signature[0] != 0x52) buckets[row.signature[0]].push_back(index);
        break;
      default:  // tests that look past the first byte fit any first byte
        for (auto& b : buckets) b.push_back(index);
        break;
    }
  }
  for (std::size_t b = 0; b < 256; ++b) {
    start_[b] = static_cast<std::uint16_t>(flat_.size());
    flat_.insert(flat_.end(), buckets[b].begin(), buckets[b].end());
  }
  start_[256] = static_cast<std::uint16_t>(flat_.size());
}

std::span<const std::uint16_t> HeaderMatcher::Candidates(std::uint8_t firstByte) const {
  return std::span<const std::uint16_t>(flat_).subspan(start_[firstByte], start_[firstByte + 1u] - start_[firstByte]);
}

HeaderMatcher::Match HeaderMatcher::Next(Bytes at, std::size_t& cursor) const {
  if (at.empty()) return {};
  const auto candidates = Candidates(at[0]);
  while (cursor < candidates.size()) {
    const ScanItem& row = table_[candidates[cursor++]];
    if (at.size() < HeaderBytesNeeded(row)) return {nullptr, true};
    if (HeaderFits(row, at)) return {&row, false};
  }
  return {};
}

const ScanItem* MatchHeader(const HeaderMatcher& matcher, Bytes at) {
  std::size_t cursor = 0;
  return matcher.Next(at, cursor).row;
}

}  // namespace kestrova
