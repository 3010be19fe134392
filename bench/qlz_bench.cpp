// Codec throughput on 64 MiB of session-like data: 68-byte file-entry records
// and UTF-16 names, as the lists and string blocks hold them. One run; prints
// MB/s for compress and decompress, the ratio to a plain memory copy, and the
// compression ratio. Not a test: nothing here asserts a time.
#include "session/quicklz.h"

#include <chrono>
#include <cstdio>
#include <cstring>
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

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main() {
  using namespace kestrova;
  constexpr std::size_t kTotal = 64u << 20;
  constexpr std::size_t kPiece = 5u << 20;  // the session file's piece size
  const auto data = SessionLikeData(kTotal);

  std::vector<std::uint8_t> copy(kTotal);
  auto t0 = std::chrono::steady_clock::now();
  std::memcpy(copy.data(), data.data(), kTotal);
  const double copySeconds = Seconds(t0);

  std::vector<std::vector<std::uint8_t>> packets;
  std::size_t packed = 0;
  t0 = std::chrono::steady_clock::now();
  for (std::size_t at = 0; at < kTotal; at += kPiece) {
    const std::size_t n = std::min(kPiece, kTotal - at);
    packets.push_back(qlz::Compress(std::span(data).subspan(at, n)));
    packed += packets.back().size();
  }
  const double compressSeconds = Seconds(t0);

  t0 = std::chrono::steady_clock::now();
  std::size_t at = 0;
  bool same = true;
  for (const auto& packet : packets) {
    const auto result = qlz::Decompress(packet, std::span(copy).subspan(at));
    if (!result.ok()) same = false;
    at += result.dataSize;
  }
  const double decompressSeconds = Seconds(t0);
  same = same && at == kTotal && copy == data;

  const double mb = static_cast<double>(kTotal) / 1e6;
  const double copyRate = mb / copySeconds;
  std::printf("data: %zu MiB of records and names in %zu packets\n", kTotal >> 20, packets.size());
  std::printf("compress:   %8.1f MB/s  (%.3f of memcpy)\n", mb / compressSeconds, mb / compressSeconds / copyRate);
  std::printf("decompress: %8.1f MB/s  (%.3f of memcpy)%s\n", mb / decompressSeconds,
              mb / decompressSeconds / copyRate, same ? "" : "  ROUND TRIP FAILED");
  std::printf("ratio:      %8.3f  (%zu -> %zu bytes)\n", static_cast<double>(kTotal) / static_cast<double>(packed),
              kTotal, packed);
  return same ? 0 : 1;
}
