// Name and mask search over a million entries of one folder (the lost-files
// list of a large scan): prints the time of a name search, a mask search and
// a search through the display filter, against the one-second limit.
#include "common/text.h"
#include "fs/fs_reader.h"
#include "scan/virtual_folders.h"
#include "tools/search.h"

#include <chrono>
#include <ctime>
#include <cstdio>
#include <string>

using namespace kestrova;

namespace {

class GeneratedVolume : public FsReader {
 public:
  std::vector<FoundEntry> lost;
  FsType Type() const override { return FsType::Fat32; }
  EntryHandle RootHandle() const override { return 2; }
  EntryHandle FolderHandle(const ScanEntry& e) const override { return e.FirstCluster(); }
  std::uint64_t EntryId(const ScanEntry& e) const override { return e.FirstCluster(); }
  std::uint8_t Rate(const ScanEntry& e) override { return e.rating; }
  std::vector<std::uint8_t> ReadRange(const ScanEntry&, std::uint64_t, std::uint64_t) override { return {}; }
  WriteResult Write(ScanEntry&, OutputSink&, const RecoveryControl&) override { return {}; }
  std::vector<FoundEntry> List(EntryHandle folder, const DisplayFilter& filter) override {
    std::vector<FoundEntry> out;
    if (folder != VirtualHandle(kLostFilesMarker)) return out;
    out.reserve(lost.size());
    for (const FoundEntry& f : lost)
      if (Shown(f.entry, f.name, filter)) out.push_back(f);
    return out;
  }
};

// Wall time; the processor time of this thread goes to `cpu` (a loaded machine stretches the wall time).
double Time(GeneratedVolume& v, const DisplayFilter& filter, const SearchRequest& request, std::size_t& found,
            double& cpu) {
  WorkerToken token;
  SearchResults results;
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t c0 = std::clock();
  Search(v, filter, request, token, results);
  cpu = static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;
  found = results.size();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::stoul(argv[1]) : 1000000;
  GeneratedVolume v;
  v.lost.resize(count);
  std::uint64_t seed = 88172645463325252ull;
  static const char16_t* const kExt[] = {u".jpg", u".txt", u".pdf", u".docx", u".bin"};
  for (std::size_t i = 0; i < count; ++i) {
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    FoundEntry& f = v.lost[i];
    f.entry.size = seed % 50000000;
    f.entry.clusterInUse = static_cast<std::uint8_t>(seed & 1);
    f.entry.SetDeletedMark(static_cast<std::uint8_t>(~seed & 1));
    f.entry.SetFirstCluster(static_cast<std::uint32_t>(i + 2));
    f.name = u"IMG_" + ToUtf16(std::to_string(seed % 1000000007)) + kExt[seed % 5];
  }
  std::size_t found = 0;
  double cpu = 0;
  SearchRequest name;
  name.text = u"123";
  const double byName = Time(v, DisplayFilter{}, name, found, cpu);
  std::printf("name search \"123\" over %zu entries:     %.3f s (cpu %.3f s, %zu found), ratio to 1 s: %.2f\n", count,
              byName, cpu, found, byName);
  SearchRequest masks;
  masks.text = u"*";
  masks.advanced = true;
  masks.criteria.useMasks = true;
  masks.criteria.maskText = u"*.jpg, *.pdf";
  const double byMask = Time(v, DisplayFilter{}, masks, found, cpu);
  std::printf("mask search \"*.jpg, *.pdf\" over %zu:     %.3f s (cpu %.3f s, %zu found), ratio to 1 s: %.2f\n", count,
              byMask, cpu, found, byMask);
  DisplayFilter deleted;
  deleted.flags = show::kMasks | show::kDeleted | show::kFiles | show::kFolders;
  deleted.masks = DisplayFilter::SplitMasks(u"*.docx");
  const double filtered = Time(v, deleted, name, found, cpu);
  std::printf("name search through the filter (%zu):    %.3f s (cpu %.3f s, %zu found), ratio to 1 s: %.2f\n", count,
              filtered, cpu, found, filtered);
  return 0;
}
