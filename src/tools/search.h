// The explorer's search: entries by name anywhere on the volume ("RAW files",
// the root with its folders on FAT and exFAT, "Lost files"), narrowed by the
// display filter and, for an advanced search, by masks, size, attributes,
// date and content. The walk runs on the caller's thread (Search); a
// SearchRunner owns the search thread, its stop and its queued starts.
#pragma once

#include "common/fs_type.h"
#include "common/worker_thread.h"
#include "common/worker_token.h"
#include "fs/fs_reader.h"
#include "scan/display_filter.h"
#include "scan/result_lists.h"
#include "tools/content_matcher.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kestrova {

enum class SizeRelation : std::uint8_t { Equal = 0, Greater, Less, GreaterOrEqual, LessOrEqual };
enum class SizeUnit : std::uint8_t { B = 0, KB, MB, GB };
enum class DateMode : std::uint8_t { PlusMinusDays = 0, Before, After };

// What the "Advanced search" dialog holds, each group switched on by its box.
// Kept between searches.
struct SearchCriteria {
  bool useMasks = false;
  std::u16string maskText;

  bool useData = false;
  std::u16string dataText;
  DataKind dataKind = DataKind::Ascii;
  bool caseSensitive = false;
  bool wholeWords = false;

  bool useSize = false;
  SizeRelation relation = SizeRelation::GreaterOrEqual;
  double sizeValue = 0;  // two decimals, 0..10000
  SizeUnit unit = SizeUnit::KB;
  unsigned tolerance = 0;  // percent, "=" only

  bool useAttributes = false;
  bool archive = false, hidden = false, compressed = false, readOnly = false, system = false, encrypted = false,
       directory = false;

  bool useDate = false;
  int year = 2000, month = 1, day = 1;
  DateMode dateMode = DateMode::PlusMinusDays;
  unsigned days = 0;  // 0..365
};

// The criteria worked out for one volume.
struct CompiledCriteria {
  bool useMasks = false;
  std::vector<std::u16string> masks;
  bool useData = false;
  ContentPattern pattern;
  bool useSize = false;
  SizeRelation relation = SizeRelation::Equal;
  std::uint64_t size = 0, lower = 0, upper = 0;
  bool bounded = false;  // "=" with a tolerance
  bool useAttributes = false;
  std::uint32_t attributeMask = 0;
  bool useDate = false;
  DateMode dateMode = DateMode::PlusMinusDays;
  std::int64_t day = 0, firstDay = 0, lastDay = 0;  // days since 1601-01-01
};

enum class CriteriaError { None, NoData, HexParity, HexDigit, BadDate };
CriteriaError CompileCriteria(const SearchCriteria& c, FsType fs, CompiledCriteria& out);
// The dialog's message for an error (empty for None).
std::u16string CriteriaMessage(CriteriaError error);

// The attribute bit of each box for the volume's family.
std::uint32_t AttributeMask(const SearchCriteria& c, FsType fs);
// The entry's date as days since 1601-01-01 (NTFS FILETIME, exFAT packed
// date, FAT DOS date); nothing when it has none.
std::optional<std::int64_t> EntryDay(const ScanEntry& e, FsType fs);

// Size, attributes, date and masks of the advanced search (not the content).
bool PassesCriteria(const ScanEntry& e, std::u16string_view name, bool folder, FsType fs,
                    const CompiledCriteria& c);

struct SearchRequest {
  std::u16string text;  // the search box: matched with MatchName; "*" matches every name
  bool advanced = false;
  SearchCriteria criteria;
};

struct SearchResult {
  FoundEntry found;
  std::u16string folder;  // display path of the folder it is in, '/'-separated, ending with '/'
  EntryHandle parent = 0;  // the handle that lists that folder: the explorer opens it without resolving names
};

enum class SearchEnd { Done, Stopped, Truncated, MemoryLow, BadCriteria };

inline constexpr std::size_t kSearchResultCap = 200000;
inline constexpr std::size_t kSearchTextMax = 511;

// The results the explorer shows like a folder, guarded by its lock (the
// display list's lock): the search appends while the window reads.
struct SearchResults {
  mutable std::mutex lock;
  std::vector<SearchResult> items;
  std::size_t size() const {
    std::scoped_lock g(lock);
    return items.size();
  }
};

struct SearchProgress {
  std::function<void(const std::u16string& folder)> folder;  // the path being walked, at most every 25 ms
};

// Walks the volume on the calling thread and appends what it finds. `filter`
// is the display filter's copy for this search; `cap` the result limit.
SearchEnd Search(FsReader& reader, const DisplayFilter& filter, const SearchRequest& request, WorkerToken& token,
                 SearchResults& results, const SearchProgress& progress = {},
                 std::size_t cap = kSearchResultCap);

// The search thread: one search at a time. Start stops a running search
// first (its results are discarded) and refuses when two starts already wait.
class SearchRunner {
 public:
  using Reader = std::function<FsReader*()>;  // the volume to search, at the moment the thread starts
  explicit SearchRunner(Reader reader);
  ~SearchRunner();

  // False when two starts are already pending. The filter is copied now.
  bool Start(SearchRequest request, const DisplayFilter& filter);
  // "&Break search".
  void Stop();
  bool running() const { return running_.load(); }
  // Waits until no search runs and none waits.
  void Wait();

  const SearchResults& results() const { return results_; }
  std::optional<SearchEnd> lastEnd() const;
  std::uint64_t generation() const { return generation_.load(); }  // one more for each search that ended
  std::u16string currentFolder() const;
  void SetCap(std::size_t cap) { cap_ = cap; }

 private:
  void Body();

  Reader reader_;
  SearchResults results_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  struct Pending {
    SearchRequest request;
    DisplayFilter filter;
  };
  std::vector<Pending> pending_;
  std::optional<SearchEnd> lastEnd_;
  std::u16string folder_;
  std::atomic<bool> running_{false};
  std::atomic<std::uint64_t> generation_{0};
  std::size_t cap_ = kSearchResultCap;
  WorkerToken current_;  // the running search's stop
  WorkerToken threadToken_;
  bool bodyActive_ = false;  // the thread is in its loop (guarded by lock_)
  std::unique_ptr<WorkerThread> thread_;
};

}  // namespace kestrova
