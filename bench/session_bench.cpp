// Saving and loading a scan session of 10 million entries (8 million named
// lost files, 2 million RAW finds with generated names): MB/s of raw list and
// name bytes for the save and the load, beside the codec's own compress and
// decompress rates on the same list bytes, and the bytes written per entry.
// One run; nothing here asserts a time. Argument: the entry count (default
// 10000000) and a folder for the file (default /tmp).
#include "session/quicklz.h"
#include "session/session_file.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrova;
  const std::size_t total = argc > 1 ? std::stoull(argv[1]) : 10'000'000;
  const std::string folder = argc > 2 ? argv[2] : "/tmp";
  const std::size_t named = total / 10 * 8;
  ResultLists lists;
  lists.Reset();
  std::mt19937 rng(5);
  static const char16_t* const kStems[] = {u"IMG_", u"DSC", u"report", u"invoice", u"photo", u"backup", u"notes"};
  static const char16_t* const kExts[] = {u".jpg", u".png", u".pdf", u".docx", u".mp3", u".txt", u".zip"};
  std::uint64_t nameBytes = 0;
  std::uint32_t cluster = 100;
  for (std::size_t i = 0; i < total; ++i) {
    ScanEntry e = MakeScanEntry();
    e.size = rng() % (8u << 20);
    cluster += 1 + static_cast<std::uint32_t>(e.size / 4096);
    e.SetFirstCluster(cluster);
    e.SetFolderCluster(static_cast<std::uint32_t>(rng() % 5000));
    e.SetDirEntryOffset(static_cast<std::uint32_t>(rng() % 128) * 32);
    e.rating = 110;
    e.SetFatDate(static_cast<std::uint16_t>(0x5000 + rng() % 0x800));
    if (i < named) {
      const std::u16string name =
          std::u16string(kStems[rng() % 7]) + std::u16string(1, static_cast<char16_t>(u'0' + rng() % 10)) +
          std::u16string(1, static_cast<char16_t>(u'0' + i % 10)) + kExts[rng() % 7];
      nameBytes += 2 * (name.size() + 1);
      lists.lost.Add(e, &name);
    } else {
      e.name = kGeneratedName;
      e.SetKind(EntryKind::Raw);
      e.SetRaw(static_cast<std::uint32_t>(i), static_cast<std::uint16_t>(rng() % 160));
      e.SetRawFirstSector(cluster * 8ull);
      lists.raw.Add(e);
    }
  }
  const std::uint64_t listBytes = lists.lost.records.used() + lists.raw.records.used();
  const double rawMb = static_cast<double>(listBytes + nameBytes) / 1e6;

  // The codec alone on the list bytes.
  std::vector<std::uint8_t> packet(qlz::kCompressOverhead + (5u << 20));
  std::vector<std::uint8_t> back(5u << 20);
  double codecIn = 0, codecOut = 0;
  for (const EntryList* list : {&lists.lost, &lists.raw}) {
    const auto bytes = list->records.bytes();
    for (std::size_t at = 0; at < bytes.size(); at += 5u << 20) {
      const auto piece = bytes.subspan(at, std::min<std::size_t>(5u << 20, bytes.size() - at));
      auto t0 = std::chrono::steady_clock::now();
      const std::size_t size = qlz::Compress(piece, packet.data());
      codecIn += Seconds(t0);
      t0 = std::chrono::steady_clock::now();
      qlz::Decompress(std::span(packet).first(size), back);
      codecOut += Seconds(t0);
    }
  }
  const double listMb = static_cast<double>(listBytes) / 1e6;

  const std::string path = folder + "/kestrova-session-bench-" + std::to_string(::getpid()) + ".kvs";
  auto trailer = session::MakeTrailer();
  auto t0 = std::chrono::steady_clock::now();
  const auto saved = session::SaveSessionFile(path, lists, {}, {}, *trailer);
  const double saveSeconds = Seconds(t0);
  if (!saved.ok) {
    std::fprintf(stderr, "save failed: %s\n", saved.error.c_str());
    return 1;
  }
  session::SessionLoadLimits limits;
  session::LoadedSession loaded;
  t0 = std::chrono::steady_clock::now();
  const auto r = session::LoadSessionFile(path, limits, loaded);
  const double loadSeconds = Seconds(t0);
  std::filesystem::remove(path);
  const bool same = r.ok() && loaded.lists->lost.size() == lists.lost.size() &&
                    loaded.lists->raw.size() == lists.raw.size() &&
                    *loaded.lists->lost.NameOf(loaded.lists->lost.at(named - 1)) ==
                        *lists.lost.NameOf(lists.lost.at(named - 1));

  std::printf("session of %zu entries: %.1f MB of records, %.1f MB of names\n", total, listMb,
              static_cast<double>(nameBytes) / 1e6);
  std::printf("save:  %8.1f MB/s  (%.2f s; the codec compresses the records at %.1f MB/s)\n", rawMb / saveSeconds,
              saveSeconds, listMb / codecIn);
  std::printf("load:  %8.1f MB/s  (%.2f s; the codec decompresses them at %.1f MB/s)%s\n", rawMb / loadSeconds,
              loadSeconds, listMb / codecOut, same ? "" : "  LOAD FAILED OR DIFFERS");
  std::printf("file:  %llu bytes, %.2f bytes per entry (%.2f raw)\n", static_cast<unsigned long long>(saved.fileSize),
              static_cast<double>(saved.fileSize) / static_cast<double>(total),
              static_cast<double>(listBytes + nameBytes) / static_cast<double>(total));
  return same ? 0 : 1;
}
