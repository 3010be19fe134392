// Codec throughput on 64 MiB of each of three kinds of data: session-like
// (68-byte file-entry records and UTF-16 names, as the lists and string
// blocks hold them), text, and a mix of records, names, text and random
// pieces. One run; prints MB/s for compress and decompress, the ratio to a
// plain memory copy, the compression ratio, and the encoder's speed against
// the straightforward reference encoder it must match byte for byte. Not a
// test: nothing here asserts a time (the packets are compared, though).
#include "session/quicklz.h"
#include "session/qlz_reference.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <cctype>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> SessionLikeData(std::size_t size) {
  std::mt19937 rng(42);
  std::vector<std::uint8_t> data;
  data.reserve(size + 4096);
  static const char* const kStems[] = {"IMG_", "DSC", "report", "invoice", "photo", "backup", "notes", "track"};
  static const char* const kExts[] = {".jpg", ".png", ".pdf", ".docx", ".mp3", ".txt", ".zip"};
  std::uint32_t cluster = 1000;
  while (data.size() < size) {
    if (rng() % 3) {
      std::uint8_t record[68] = {};
      const std::uint32_t parent = rng() % 64;
      const std::uint32_t bytes = rng() % (8 << 20);
      cluster += 1 + bytes / 4096;
      std::memcpy(record + 0, &cluster, 4);
      std::memcpy(record + 4, &bytes, 4);
      std::memcpy(record + 12, &parent, 4);
      record[20] = static_cast<std::uint8_t>(rng() % 4);
      const std::uint32_t stamp = 0x5A000000u + rng() % 0x100000;
      std::memcpy(record + 40, &stamp, 4);
      data.insert(data.end(), record, record + sizeof record);
    } else {
      std::string name = std::string(kStems[rng() % 8]) + std::to_string(rng() % 10000) + kExts[rng() % 7];
      for (char c : name) {
        data.push_back(static_cast<std::uint8_t>(c));
        data.push_back(0);
      }
      data.push_back(0);
      data.push_back(0);
    }
  }
  data.resize(size);
  return data;
}

// English-like text: words from a small vocabulary, punctuation and line breaks.
std::string TextPiece(std::mt19937& rng, std::size_t size) {
  static const char* const kWords[] = {
      "the", "of", "and", "to", "in", "a", "is", "that", "for", "it", "as", "was", "with", "be", "by", "on", "not",
      "he", "this", "are", "or", "his", "from", "at", "which", "but", "have", "an", "had", "they", "you", "were",
      "their", "one", "all", "we", "can", "her", "has", "there", "been", "if", "more", "when", "will", "would",
      "who", "so", "no", "recovery", "partition", "cluster", "volume", "sector", "folder", "deleted", "session",
      "scan", "drive", "image", "record", "entry", "table", "signature", "header", "journal", "allocation"};
  std::string text;
  text.reserve(size + 32);
  bool capital = true;
  while (text.size() < size) {
    std::string word = kWords[rng() % (sizeof kWords / sizeof kWords[0])];
    if (capital) word[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
    text += word;
    capital = false;
    const auto r = rng() % 20;
    if (r == 0) {
      text += ".\n";
      capital = true;
    } else if (r < 3) {
      text += ". ";
      capital = true;
    } else if (r == 3) {
      text += ", ";
    } else {
      text += ' ';
    }
    if (rng() % 97 == 0) text += std::to_string(rng() % 100000);
  }
  text.resize(size);
  return text;
}

std::vector<std::uint8_t> TextData(std::size_t size) {
  std::mt19937 rng(7);
  const std::string text = TextPiece(rng, size);
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

// Pieces of 256 bytes to 64 KiB of each kind, as a session of a mixed volume
// and the files a RAW scan meets would give.
std::vector<std::uint8_t> MixedData(std::size_t size) {
  std::mt19937 rng(11);
  std::vector<std::uint8_t> data;
  data.reserve(size + 65536);
  const auto records = SessionLikeData(8u << 20);
  while (data.size() < size) {
    const std::size_t piece = 256 + rng() % 65280;
    switch (rng() % 4) {
      case 0: {
        const std::size_t at = rng() % (records.size() - piece);
        data.insert(data.end(), records.begin() + static_cast<std::ptrdiff_t>(at),
                    records.begin() + static_cast<std::ptrdiff_t>(at + piece));
        break;
      }
      case 1: {  // UTF-16 text, as names and text files saved by Windows programs
        const std::string text = TextPiece(rng, piece / 2);
        for (char c : text) {
          data.push_back(static_cast<std::uint8_t>(c));
          data.push_back(0);
        }
        break;
      }
      case 2: {
        const std::string text = TextPiece(rng, piece);
        data.insert(data.end(), text.begin(), text.end());
        break;
      }
      default:
        for (std::size_t k = 0; k < piece; ++k) data.push_back(static_cast<std::uint8_t>(rng()));
        break;
    }
  }
  data.resize(size);
  return data;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Compresses `data` in 5 MiB pieces (the session file's piece size) with
// `compress`; returns the seconds taken.
template <typename Compressor>
double CompressAll(const std::vector<std::uint8_t>& data, Compressor compress,
                   std::vector<std::vector<std::uint8_t>>& packets) {
  constexpr std::size_t kPiece = 5u << 20;
  packets.clear();
  const auto t0 = std::chrono::steady_clock::now();
  for (std::size_t at = 0; at < data.size(); at += kPiece) {
    const std::size_t n = std::min(kPiece, data.size() - at);
    packets.push_back(compress(std::span(data).subspan(at, n)));
  }
  return Seconds(t0);
}

bool Run(const char* what, const std::vector<std::uint8_t>& data, double copyRate) {
  using namespace kestrova;
  std::vector<std::vector<std::uint8_t>> packets, reference;
  // Best of three runs each, the two encoders alternating, so that a busy
  // machine disturbs both alike.
  double ours = 1e9, theirs = 1e9;
  for (int run = 0; run < 3; ++run) {
    theirs = std::min(theirs, CompressAll(data, [](auto in) { return qlz::reference::Compress(in); }, reference));
    ours = std::min(ours, CompressAll(data, [](auto in) { return qlz::Compress(in); }, packets));
  }
  const bool identical = packets == reference;
  std::size_t packed = 0;
  for (const auto& p : packets) packed += p.size();

  std::vector<std::uint8_t> copy(data.size());
  const auto t0 = std::chrono::steady_clock::now();
  std::size_t at = 0;
  bool same = true;
  for (const auto& packet : packets) {
    const auto result = qlz::Decompress(packet, std::span(copy).subspan(at));
    if (!result.ok()) same = false;
    at += result.dataSize;
  }
  const double decompressSeconds = Seconds(t0);
  same = same && at == data.size() && copy == data;

  const double mb = static_cast<double>(data.size()) / 1e6;
  std::printf("%s: %zu MiB in %zu packets\n", what, data.size() >> 20, packets.size());
  std::printf("  compress:   %8.1f MB/s  (%.3f of memcpy; %.2fx the reference encoder, %.1f MB/s)%s\n", mb / ours,
              mb / ours / copyRate, theirs / ours, mb / theirs, identical ? "" : "  PACKETS DIFFER");
  std::printf("  decompress: %8.1f MB/s  (%.3f of memcpy)%s\n", mb / decompressSeconds,
              mb / decompressSeconds / copyRate, same ? "" : "  ROUND TRIP FAILED");
  std::printf("  ratio:      %8.3f  (%zu -> %zu bytes)\n", static_cast<double>(data.size()) / static_cast<double>(packed),
              data.size(), packed);
  return same && identical;
}

}  // namespace

// Optional argument: one of "records", "text", "mixed" to run that set alone.
int main(int argc, char** argv) {
  const std::string only = argc > 1 ? argv[1] : "";
  constexpr std::size_t kTotal = 64u << 20;
  const auto records = SessionLikeData(kTotal);
  std::vector<std::uint8_t> copy(kTotal);
  const auto t0 = std::chrono::steady_clock::now();
  std::memcpy(copy.data(), records.data(), kTotal);
  const double copyRate = static_cast<double>(kTotal) / 1e6 / Seconds(t0);

  bool ok = true;
  if (only.empty() || only == "records") ok = Run("records and names", records, copyRate) && ok;
  if (only.empty() || only == "text") ok = Run("text", TextData(kTotal), copyRate) && ok;
  if (only.empty() || only == "mixed") ok = Run("mixed (records, names, text, random)", MixedData(kTotal), copyRate) && ok;
  return ok ? 0 : 1;
}
