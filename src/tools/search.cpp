#include "tools/search.h"

#include "common/activity.h"
#include "common/civil_date.h"
#include "common/text.h"
#include "resources/strings.h"
#include "scan/entry_ops.h"
#include "scan/virtual_folders.h"

#include <chrono>
#include <new>
#include <set>

namespace kestrova {
namespace {

constexpr std::int64_t kEpoch1601 = DaysFromCivil(1601, 1, 1);
constexpr std::uint64_t kTicksPerDay = 864000000000ull;

std::int64_t DayOf(int year, unsigned month, unsigned day) { return DaysFromCivil(year, month, day) - kEpoch1601; }

std::optional<std::int64_t> PackedDay(std::uint16_t date) {
  const unsigned month = (date >> 5) & 0x0F, day = date & 0x1F;
  if (date == 0 || month < 1 || month > 12 || day < 1) return std::nullopt;
  return DayOf(1980 + (date >> 9), month, day);
}

}  // namespace

std::uint32_t AttributeMask(const SearchCriteria& c, FsType fs) {
  std::uint32_t m = 0;
  if (c.archive) m |= 0x20;
  if (c.hidden) m |= 0x2;
  if (c.compressed) m |= 0x800;
  if (c.readOnly) m |= 0x1;
  if (c.system) m |= 0x4;
  if (c.encrypted) m |= 0x4000;
  if (c.directory) m |= fs == FsType::Ntfs ? kNtfsDirectory : kAttrDirectory;
  return m;
}

std::optional<std::int64_t> EntryDay(const ScanEntry& e, FsType fs) {
  if (e.Kind() == EntryKind::Raw || e.kind >= static_cast<std::uint8_t>(EntryKind::ParentLink)) return std::nullopt;
  if (fs == FsType::Ntfs) {
    if (e.FileTime() == 0) return std::nullopt;
    return static_cast<std::int64_t>(e.FileTime() / kTicksPerDay);
  }
  if (fs == FsType::Exfat) return PackedDay(static_cast<std::uint16_t>(e.ExfatTime() >> 16));
  return PackedDay(e.FatDate());
}

CriteriaError CompileCriteria(const SearchCriteria& c, FsType fs, CompiledCriteria& out) {
  out = CompiledCriteria{};
  out.useMasks = c.useMasks;
  if (c.useMasks) out.masks = DisplayFilter::SplitMasks(c.maskText);
  out.useData = c.useData;
  if (c.useData) {
    switch (CompilePattern(c.dataText.substr(0, kSearchTextMax), c.dataKind, c.caseSensitive, c.wholeWords,
                           out.pattern)) {
      case PatternError::None: break;
      case PatternError::Empty: return CriteriaError::NoData;
      case PatternError::HexParity: return CriteriaError::HexParity;
      case PatternError::HexDigit: return CriteriaError::HexDigit;
    }
  }
  out.useSize = c.useSize;
  if (c.useSize) {
    static constexpr double kUnits[] = {1.0, 1024.0, 1024.0 * 1024, 1024.0 * 1024 * 1024};
    const double value = c.sizeValue < 0 ? 0 : c.sizeValue;
    out.size = static_cast<std::uint64_t>(value * kUnits[static_cast<int>(c.unit) & 3]);
    out.relation = c.relation;
    if (c.relation == SizeRelation::Equal && c.tolerance > 0) {
      const std::uint64_t delta = out.size / 100 * c.tolerance + out.size % 100 * c.tolerance / 100;
      out.bounded = true;
      out.lower = delta > out.size ? 0 : out.size - delta;
      out.upper = out.size + delta;
    }
  }
  out.useAttributes = c.useAttributes;
  out.attributeMask = AttributeMask(c, fs);
  out.useDate = c.useDate;
  if (c.useDate) {
    if (c.year < 1601 || c.year > 9999 || c.month < 1 || c.month > 12 || c.day < 1 || c.day > 31)
      return CriteriaError::BadDate;
    out.dateMode = c.dateMode;
    out.day = DayOf(c.year, static_cast<unsigned>(c.month), static_cast<unsigned>(c.day));
    out.firstDay = out.day - static_cast<std::int64_t>(c.days);
    if (out.firstDay < 0) out.firstDay = 0;
    out.lastDay = out.day + static_cast<std::int64_t>(c.days);
  }
  return CriteriaError::None;
}

std::u16string CriteriaMessage(CriteriaError error) {
  switch (error) {
    case CriteriaError::None: return u"";
    case CriteriaError::NoData: return Text(StringId::PleaseEnterSearchData);
    case CriteriaError::HexParity: return Text(StringId::SearchHexParity);
    case CriteriaError::HexDigit: return Text(StringId::HexValuesErr);
    case CriteriaError::BadDate: return Text(StringId::ChangeSearchCriteria);
  }
  return u"";
}

bool PassesCriteria(const ScanEntry& e, std::u16string_view name, bool folder, FsType fs, const CompiledCriteria& c) {
  if (c.useSize && !folder) {
    const std::uint64_t s = e.size;
    bool ok = true;
    switch (c.relation) {
      case SizeRelation::Equal: ok = c.bounded ? (s >= c.lower && s <= c.upper) : s == c.size; break;
      case SizeRelation::Greater: ok = s > c.size; break;
      case SizeRelation::Less: ok = s < c.size; break;
      case SizeRelation::GreaterOrEqual: ok = s >= c.size; break;
      case SizeRelation::LessOrEqual: ok = s <= c.size; break;
    }
    if (!ok) return false;
  }
  if (c.useAttributes) {
    std::uint32_t attributes = e.attributes;
    if (fs == FsType::Ntfs) attributes = e.NtfsFlags();
    else if (fs == FsType::Exfat) attributes &= 0x37;
    if ((attributes & c.attributeMask) != c.attributeMask) return false;
  }
  if (c.useDate) {
    const std::optional<std::int64_t> day = EntryDay(e, fs);
    if (!day) return false;
    switch (c.dateMode) {
      case DateMode::PlusMinusDays:
        if (*day < c.firstDay || *day > c.lastDay) return false;
        break;
      case DateMode::Before:
        if (*day >= c.day) return false;
        break;
      case DateMode::After:
        if (*day <= c.day) return false;
        break;
    }
  }
  if (c.useMasks && !c.masks.empty()) {
    bool any = false;
    for (const std::u16string& mask : c.masks)
      if ((any = MatchName(name, mask))) break;
    if (!any) return false;
  }
  return true;
}

namespace {

// Feeds the pieces of one file to the matcher; a stopped search stops the read.
class MatchConsumer : public PieceConsumer {
 public:
  MatchConsumer(ContentMatcher& matcher, const WorkerToken& token) : matcher_(matcher), token_(token) {}
  bool Piece(std::span<const std::uint8_t> bytes) override {
    if (token_.StopRequested()) return false;
    return !matcher_.Feed(bytes);
  }
  void Restart() override { matcher_.Reset(); }

 private:
  ContentMatcher& matcher_;
  const WorkerToken& token_;
};

std::u16string Shortened(const std::u16string& path) {
  constexpr std::size_t kMax = 80;
  if (path.size() <= kMax) return path;
  return u"..." + path.substr(path.size() - (kMax - 3));
}

class Walker {
 public:
  Walker(FsReader& reader, const DisplayFilter& filter, const SearchRequest& request, WorkerToken& token,
         SearchResults& results, const SearchProgress& progress, std::size_t cap)
      : reader_(reader), fs_(reader.Type()), filter_(filter), request_(request), token_(token), results_(results),
        progress_(progress), cap_(cap) {
    listFilter_ = filter_;
    if (listFilter_.flags != show::kEverything) listFilter_.flags |= show::kFolders;  // folders always listed
    text_ = ToLower(std::u16string_view(request.text).substr(0, kSearchTextMax));
    if (text_.empty()) text_ = u"*";
  }

  SearchEnd Run() {
    ActivityMark activity(Fn::SearchWalk);
    if (request_.advanced) {
      if (CompileCriteria(request_.criteria, fs_, criteria_) != CriteriaError::None) return SearchEnd::BadCriteria;
      if (criteria_.useData) matcher_.emplace(criteria_.pattern);
    }
    const bool clusterFamily = fs_ != FsType::Ntfs;
    std::vector<std::pair<EntryHandle, std::u16string>> roots;
    roots.emplace_back(VirtualHandle(kRawFilesMarker), u"/" + VirtualFolderName(kRawFilesMarker) + u"/");
    if (clusterFamily) roots.emplace_back(reader_.RootHandle(), u"/");
    roots.emplace_back(VirtualHandle(kLostFilesMarker), u"/" + VirtualFolderName(kLostFilesMarker) + u"/");
    for (const auto& [handle, path] : roots) {
      std::set<EntryHandle> stack{handle};
      if (const auto end = Walk(handle, path, stack, 0)) return *end;
    }
    return token_.StopRequested() ? SearchEnd::Stopped : SearchEnd::Done;
  }

 private:
  static constexpr int kMaxDepth = 512;

  std::optional<SearchEnd> Walk(EntryHandle handle, const std::u16string& path, std::set<EntryHandle>& stack,
                                int depth) {
    if (token_.StopRequested()) return SearchEnd::Stopped;
    const std::vector<FoundEntry> entries = reader_.List(handle, listFilter_);
    for (const FoundEntry& f : entries) {
      if (token_.StopRequested()) return SearchEnd::Stopped;
      const ScanEntry& e = f.entry;
      if (f.dotEntry || e.Kind() == EntryKind::ParentLink || e.Kind() == EntryKind::VirtualParentLink) continue;
      if (fs_ != FsType::Ntfs && (e.attributes & 0x08) && !(e.attributes & kAttrDirectory)) continue;  // labels
      const bool folder = IsFolder(e, fs_) || e.Kind() == EntryKind::VirtualFolder;
      if (folder) {
        if (!f.name.empty() && f.name[0] == u'.') continue;
        const std::u16string childPath = path + f.name + u"/";
        Report(childPath);
        const bool foldersShown = filter_.flags == show::kEverything || (filter_.flags & show::kFolders) ||
                                  fs_ == FsType::Exfat;
        // A search by size or content finds files: a folder has neither to match.
        const bool filesOnly = request_.advanced && (criteria_.useData || criteria_.useSize);
        if (e.Kind() != EntryKind::VirtualFolder && foldersShown && !filesOnly &&
            PassesFamilyFilter(e, f.name, true, filter_, fs_) && MatchName(f.name, text_) &&
            (!request_.advanced || PassesCriteria(e, f.name, true, fs_, criteria_))) {
          if (const auto end = Add(f, path, handle)) return end;
        }
        // NTFS lists every record flat in "Lost files": no descent there.
        const bool descend = e.Kind() == EntryKind::VirtualFolder ||
                             (fs_ != FsType::Ntfs && e.Kind() != EntryKind::Overwritten);
        if (!descend || depth >= kMaxDepth) continue;
        const EntryHandle child = reader_.FolderHandle(e);
        if (child < 2 || !stack.insert(child).second) continue;  // a loop: walked once
        const auto end = Walk(child, childPath, stack, depth + 1);
        stack.erase(child);
        if (end) return end;
        continue;
      }
      if (!MatchName(f.name, text_)) continue;
      if (request_.advanced) {
        if (!PassesCriteria(e, f.name, false, fs_, criteria_)) continue;
        if (matcher_ && !ContentFound(e)) {
          if (token_.StopRequested()) return SearchEnd::Stopped;
          continue;
        }
      }
      if (const auto end = Add(f, path, handle)) return end;
    }
    return std::nullopt;
  }

  bool ContentFound(const ScanEntry& entry) {
    ActivityMark activity(Fn::SearchContent);
    matcher_->Reset();
    RecoveryControl control;
    MatchConsumer consumer(*matcher_, token_);
    OutputSink sink = OutputSink::ToConsumer(consumer, entry.size, control);
    ScanEntry copy = entry;
    reader_.Write(copy, sink, control);
    token_.AddDone(matcher_->searched());
    if (token_.StopRequested()) return false;
    return matcher_->Finish();
  }

  std::optional<SearchEnd> Add(const FoundEntry& f, const std::u16string& path, EntryHandle parent) {
    std::scoped_lock g(results_.lock);
    if (results_.items.size() >= cap_) return SearchEnd::Truncated;
    try {
      results_.items.push_back({f, path, parent});
    } catch (const std::bad_alloc&) {
      return SearchEnd::MemoryLow;
    }
    token_.AddItems();
    return std::nullopt;
  }

  void Report(const std::u16string& path) {
    if (!progress_.folder) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastReport_ < std::chrono::milliseconds(25)) return;
    lastReport_ = now;
    progress_.folder(Shortened(path));
  }

  FsReader& reader_;
  FsType fs_;
  const DisplayFilter& filter_;
  DisplayFilter listFilter_;
  const SearchRequest& request_;
  WorkerToken& token_;
  SearchResults& results_;
  const SearchProgress& progress_;
  std::size_t cap_;
  std::u16string text_;
  CompiledCriteria criteria_;
  std::optional<ContentMatcher> matcher_;
  std::chrono::steady_clock::time_point lastReport_{};
};

}  // namespace

SearchEnd Search(FsReader& reader, const DisplayFilter& filter, const SearchRequest& request, WorkerToken& token,
                 SearchResults& results, const SearchProgress& progress, std::size_t cap) {
  Walker walker(reader, filter, request, token, results, progress, cap);
  return walker.Run();
}

SearchRunner::SearchRunner(Reader reader) : reader_(std::move(reader)) {}

SearchRunner::~SearchRunner() {
  {
    std::scoped_lock g(lock_);
    pending_.clear();
    current_.RequestStop();
  }
  if (thread_) thread_->Join();
}

bool SearchRunner::Start(SearchRequest request, const DisplayFilter& filter) {
  std::unique_lock g(lock_);
  if (pending_.size() >= 2) return false;
  pending_.push_back({std::move(request), filter});
  current_.RequestStop();  // the running search ends first; its results are discarded
  if (!bodyActive_) {
    if (thread_) thread_->Join();
    thread_ = std::make_unique<WorkerThread>();
    bodyActive_ = true;
    running_ = true;
    thread_->Start(threadToken_, [this](WorkerToken&) { Body(); });
  }
  return true;
}

void SearchRunner::Stop() {
  std::scoped_lock g(lock_);
  current_.RequestStop();
}

void SearchRunner::Wait() {
  std::unique_lock g(lock_);
  changed_.wait(g, [&] { return !bodyActive_; });
}

std::optional<SearchEnd> SearchRunner::lastEnd() const {
  std::scoped_lock g(lock_);
  return lastEnd_;
}

std::u16string SearchRunner::currentFolder() const {
  std::scoped_lock g(lock_);
  return folder_;
}

void SearchRunner::Body() {
  for (;;) {
    Pending next;
    {
      std::scoped_lock g(lock_);
      if (pending_.empty()) {
        bodyActive_ = false;
        running_ = false;
        changed_.notify_all();
        return;
      }
      // A start that a later one overtook before it ran would be stopped at once: only the last runs.
      next = std::move(pending_.back());
      pending_.clear();
      current_.Reset();
      lastEnd_.reset();
      folder_.clear();
    }
    {
      std::scoped_lock g(results_.lock);
      results_.items.clear();
      results_.items.shrink_to_fit();
    }
    FsReader* reader = reader_();
    SearchEnd end = SearchEnd::Done;
    if (reader) {
      SearchProgress progress;
      progress.folder = [this](const std::u16string& folder) {
        std::scoped_lock g(lock_);
        folder_ = folder;
      };
      end = Search(*reader, next.filter, next.request, current_, results_, progress, cap_);
    }
    {
      std::scoped_lock g(lock_);
      lastEnd_ = end;
      ++generation_;
      changed_.notify_all();
    }
  }
}

}  // namespace kestrova
