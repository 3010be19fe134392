#include "session/session_file.h"

#include "common/activity.h"
#include "common/le.h"
#include "session/compressed_blocks.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrova::session {
namespace {

constexpr std::uint8_t kMagic[4] = {'K', 'V', 'S', 'S'};
// A history of the search boxes or destinations never comes near this; a
// larger one in a file is damage.
constexpr std::uint32_t kMaxHistoryBytes = 0x100000;
constexpr std::uint8_t kStateTag[4] = {'S', 'P', 'N', 'D'};
constexpr std::uint8_t kSettingsTag[4] = {'D', 'S', 'E', 'T'};

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Buffered writes to the temporary file; remembers the first failure.
class FileWriter {
 public:
  explicit FileWriter(int fd) : fd_(fd) { buffer_.reserve(kBuffer); }
  void Write(std::span<const std::uint8_t> bytes) {
    written_ += bytes.size();
    if (!error_.empty()) return;
    if (buffer_.size() + bytes.size() > kBuffer) Flush();
    if (bytes.size() >= kBuffer) {
      WriteOut(bytes);
    } else {
      buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    }
  }
  void Flush() {
    if (!buffer_.empty() && error_.empty()) WriteOut(buffer_);
    buffer_.clear();
  }
  std::uint64_t written() const { return written_; }
  const std::string& error() const { return error_; }
  void Fail(std::string text) {
    if (error_.empty()) error_ = std::move(text);
  }

 private:
  static constexpr std::size_t kBuffer = 1 << 20;
  void WriteOut(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        Fail(ErrnoText("write"));
        return;
      }
      bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
  }
  int fd_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t written_ = 0;
  std::string error_;
};

std::vector<std::uint8_t> EncodeHistory(const std::vector<std::u16string>& strings) {
  std::vector<std::uint8_t> raw;
  for (const auto& s : strings) {
    for (char16_t c : s) {
      raw.push_back(static_cast<std::uint8_t>(c));
      raw.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    raw.push_back(0);
    raw.push_back(0);
  }
  raw.push_back(0);  // the list's closing byte
  return raw;
}

}  // namespace

bool AddToHistory(std::vector<std::u16string>& history, std::u16string_view text) {
  if (text.empty() || std::find(history.begin(), history.end(), text) != history.end()) return false;
  // Each text takes its characters and a terminator; the list one closing byte.
  auto bytes = [](const std::u16string& s) { return 2 * (s.size() + 1); };
  if (bytes(std::u16string(text)) + 1 > kHistoryCapacity) return false;
  history.insert(history.begin(), std::u16string(text));
  std::size_t used = 1;
  std::size_t keep = 0;
  while (keep < history.size() && used + bytes(history[keep]) <= kHistoryCapacity) used += bytes(history[keep++]);
  history.resize(keep);
  return true;
}

namespace {

// The strings of a history up to the first empty one.
std::vector<std::u16string> DecodeHistory(std::span<const std::uint8_t> raw) {
  std::vector<std::u16string> strings;
  const std::size_t used = raw.empty() ? 0 : raw.size() - 1;
  for (auto& s : SplitNames(raw.first(used))) {
    if (s.empty()) break;
    strings.push_back(std::move(s));
  }
  return strings;
}

// Bytes of the file to decode from: a file by positioned reads, or memory.
class Source {
 public:
  virtual ~Source() = default;
  virtual std::uint64_t size() const = 0;
  virtual bool Read(std::uint64_t offset, std::span<std::uint8_t> dst) const = 0;
};

class MemorySource : public Source {
 public:
  explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint64_t size() const override { return bytes_.size(); }
  bool Read(std::uint64_t offset, std::span<std::uint8_t> dst) const override {
    if (offset > bytes_.size() || dst.size() > bytes_.size() - offset) return false;
    std::memcpy(dst.data(), bytes_.data() + offset, dst.size());
    return true;
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

class FileSource : public Source {
 public:
  FileSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  std::uint64_t size() const override { return size_; }
  bool Read(std::uint64_t offset, std::span<std::uint8_t> dst) const override {
    std::size_t done = 0;
    while (done < dst.size()) {
      const ssize_t n = ::pread(fd_, dst.data() + done, dst.size() - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  int fd_;
  std::uint64_t size_;
};

SessionLoadResult Refuse(SessionLoadStatus status, std::string text) {
  SessionLoadResult r;
  r.status = status;
  r.error = std::move(text);
  return r;
}

SessionLoadResult ReadTrailerFrom(const Source& source, SessionTrailer& trailer) {
  if (source.size() < kTrailerSize) return Refuse(SessionLoadStatus::BadTrailer, "shorter than a session trailer");
  if (!source.Read(source.size() - kTrailerSize, {reinterpret_cast<std::uint8_t*>(&trailer), kTrailerSize})) {
    return Refuse(SessionLoadStatus::CantOpen, "the trailer cannot be read");
  }
  if (!HasMagic(trailer)) return Refuse(SessionLoadStatus::BadTrailer, "no KVSS magic");
  DriveSettings settings;
  if (!ReadDriveSettings(trailer, settings)) return Refuse(SessionLoadStatus::BadTrailer, "drive settings out of range");
  return {};
}

struct BlockPlan {
  const char* name;
  BlockRef ref;
};

// A block reference must lie inside the data area (before the trailer) and
// promise no more than its stored bytes can decode to.
std::string CheckRef(const BlockPlan& b, std::uint64_t dataEnd) {
  const BlockRef& r = b.ref;
  if (r.rawSize == 0) return {};
  if (r.storedSize == 0) return std::string(b.name) + ": no stored bytes";
  if (static_cast<std::uint64_t>(r.offset) + r.storedSize > dataEnd) {
    return std::string(b.name) + ": lies beyond the blocks of the file";
  }
  if (!PlausibleRawSize(r.rawSize, r.storedSize)) return std::string(b.name) + ": raw size out of range";
  return {};
}

// The stored bytes of a block (checked against the file by CheckRef).
bool ReadStored(const Source& source, const BlockRef& ref, std::vector<std::uint8_t>& stored) {
  stored.resize(ref.storedSize);
  return source.Read(ref.offset, stored);
}

SessionLoadResult LoadFrom(const Source& source, const SessionLoadLimits& limits, LoadedSession& out,
                           const StageCallback& stage) {
  ActivityMark activity(Fn::LoadSessionFile);
  auto report = [&](SessionStage s) {
    if (stage) stage(s);
  };
  auto trailer = std::make_unique<SessionTrailer>();
  if (auto r = ReadTrailerFrom(source, *trailer); !r.ok()) return r;
  const std::uint64_t dataEnd = source.size() - kTrailerSize;
  const SessionTrailer& t = *trailer;

  // Every reference first: nothing is allocated for a file that lies anywhere.
  const BlockPlan lists[] = {{"deleted entries list", t.fil},
                             {"lost files list", t.lostFil},
                             {"rebuild list", t.rebuildFil},
                             {"RAW files list", t.rawFil}};
  const BlockPlan others[] = {{"allocation map", t.amap},
                              {"lost files names", t.lostStrings},
                              {"rebuild names", t.rebuildStrings},
                              {"RAW files names", t.rawStrings},
                              {"search history", t.historyMain},
                              {"advanced search history", t.historyAdvanced},
                              {"destination history", t.savePaths}};
  for (const auto& b : lists) {
    if (auto e = CheckRef(b, dataEnd); !e.empty()) return Refuse(SessionLoadStatus::BadBlock, e);
  }
  for (const auto& b : others) {
    if (auto e = CheckRef(b, dataEnd); !e.empty()) return Refuse(SessionLoadStatus::BadBlock, e);
  }
  const std::size_t recordSizes[] = {sizeof(DeletedEntryNote), sizeof(ScanEntry), sizeof(ScanEntry),
                                     sizeof(ScanEntry)};
  for (int i = 0; i < 4; ++i) {
    if (lists[i].ref.rawSize % recordSizes[i] != 0) {
      return Refuse(SessionLoadStatus::BadBlock, std::string(lists[i].name) + ": not whole records");
    }
    if (lists[i].ref.rawSize > limits.listLimit) {
      return Refuse(SessionLoadStatus::BadBlock, std::string(lists[i].name) + ": larger than a list may grow");
    }
  }
  if (t.amap.rawSize != 0 && limits.amapBytes != SessionLoadLimits::kAnyMap && t.amap.rawSize != limits.amapBytes) {
    return Refuse(SessionLoadStatus::BadBlock, "allocation map: does not fit the volume's map");
  }
  for (const BlockRef* h : {&t.historyMain, &t.historyAdvanced, &t.savePaths}) {
    if (h->rawSize > kMaxHistoryBytes) return Refuse(SessionLoadStatus::BadBlock, "history: too large");
  }
  BlockPlan state{"scan state", BlockRef{0, 0, 0}};
  if (std::memcmp(t.reservedEnd + kTailStateAt, kStateTag, 4) == 0) {
    std::memcpy(&state.ref, t.reservedEnd + kTailStateAt + 4, sizeof(BlockRef));
    if (auto e = CheckRef(state, dataEnd); !e.empty()) return Refuse(SessionLoadStatus::BadBlock, e);
    if (state.ref.rawSize > kMaxScanStateBytes) return Refuse(SessionLoadStatus::BadBlock, "scan state: too large");
  }

  report(SessionStage::Initializing);
  auto fresh = std::make_unique<ResultLists>(limits.ui, limits.listLimit);
  if (!fresh->Reset()) return Refuse(SessionLoadStatus::BadBlock, "no memory for the result lists");
  std::vector<std::uint8_t> stored;

  DynList* targets[] = {&fresh->deleted, &fresh->lost.records, &fresh->rebuild.records, &fresh->raw.records};
  const SessionStage listStages[] = {SessionStage::LoadingDeleted, SessionStage::LoadingLost,
                                     SessionStage::LoadingRebuild, SessionStage::LoadingRaw};
  for (int i = 0; i < 4; ++i) {
    const BlockRef& ref = lists[i].ref;
    if (ref.rawSize == 0) continue;
    report(listStages[i]);
    if (!ReadStored(source, ref, stored)) return Refuse(SessionLoadStatus::CantOpen, std::string(lists[i].name) + ": read failed");
    std::uint8_t* at = targets[i]->AddSpace(ref.rawSize);
    if (!at) return Refuse(SessionLoadStatus::BadBlock, std::string(lists[i].name) + ": no memory");
    const auto r = ReadPlainBlock(stored, {at, ref.rawSize});
    if (!r.ok) return Refuse(SessionLoadStatus::BadBlock, std::string(lists[i].name) + ": " + r.error);
  }

  std::vector<std::uint8_t> amap;
  if (t.amap.rawSize != 0) {
    report(SessionStage::LoadingAmap);
    if (!ReadStored(source, t.amap, stored)) return Refuse(SessionLoadStatus::CantOpen, "allocation map: read failed");
    amap.resize(t.amap.rawSize);
    const auto r = ReadPlainBlock(stored, amap);
    if (!r.ok) return Refuse(SessionLoadStatus::BadBlock, "allocation map: " + r.error);
  }

  // Names, in the order lost, RAW, rebuild: each record whose saved handle is
  // neither "none" nor "generated" takes the next name of its block.
  struct NamePass {
    EntryList* list;
    const BlockPlan* block;
    SessionStage stage;
  };
  const NamePass passes[] = {{&fresh->lost, &others[1], SessionStage::LoadingLostStrings},
                             {&fresh->raw, &others[3], SessionStage::LoadingRawStrings},
                             {&fresh->rebuild, &others[2], SessionStage::LoadingRebuildStrings}};
  std::vector<std::uint8_t> raw;
  for (const NamePass& pass : passes) {
    EntryList& list = *pass.list;
    const std::size_t count = list.size();
    std::size_t needed = 0;
    for (std::size_t i = 0; i < count; ++i) needed += list.at(i).name > kGeneratedName;
    if (needed == 0) continue;
    const BlockRef& ref = pass.block->ref;
    if (ref.rawSize == 0 || ref.rawSize % 2 != 0) {
      return Refuse(SessionLoadStatus::BadBlock, std::string(pass.block->name) + ": missing or odd");
    }
    report(pass.stage);
    if (!ReadStored(source, ref, stored)) return Refuse(SessionLoadStatus::CantOpen, std::string(pass.block->name) + ": read failed");
    raw.resize(ref.rawSize);
    const auto r = ReadStringBlock(stored, raw);
    if (!r.ok) return Refuse(SessionLoadStatus::BadBlock, std::string(pass.block->name) + ": " + r.error);
    auto names = SplitNames(raw);
    if (names.size() < needed) {
      return Refuse(SessionLoadStatus::BadBlock, std::string(pass.block->name) + ": fewer names than entries");
    }
    std::size_t next = 0;
    for (std::size_t i = 0; i < count; ++i) {
      ScanEntry e = list.at(i);
      if (e.name <= kGeneratedName) continue;
      e.name = list.names.Add(std::move(names[next++]));
      list.records.set(i, e);
    }
  }

  SessionHistories histories;
  const std::pair<const BlockRef*, std::vector<std::u16string>*> historyBlocks[] = {
      {&t.historyMain, &histories.mainSearch},
      {&t.historyAdvanced, &histories.advancedSearch},
      {&t.savePaths, &histories.savePaths}};
  for (const auto& [ref, strings] : historyBlocks) {
    if (ref->rawSize == 0) continue;
    if (!ReadStored(source, *ref, stored)) return Refuse(SessionLoadStatus::CantOpen, "history: read failed");
    raw.resize(ref->rawSize);
    const auto r = ReadPlainBlock(stored, raw);
    if (!r.ok) return Refuse(SessionLoadStatus::BadBlock, "history: " + r.error);
    *strings = DecodeHistory(raw);
  }

  std::vector<std::uint8_t> scanState;
  if (state.ref.rawSize != 0) {
    if (!ReadStored(source, state.ref, stored)) return Refuse(SessionLoadStatus::CantOpen, "scan state: read failed");
    scanState.resize(state.ref.rawSize);
    const auto r = ReadPlainBlock(stored, scanState);
    if (!r.ok) return Refuse(SessionLoadStatus::BadBlock, "scan state: " + r.error);
  }

  report(SessionStage::Finalizing);
  trailer->scan.clustersDone &= 0xFFFFFFFFull;  // only the low half is kept across a load
  out.trailer = std::move(trailer);
  out.lists = std::move(fresh);
  out.amap = std::move(amap);
  out.histories = std::move(histories);
  out.scanState = std::move(scanState);
  return {};
}

}  // namespace

std::unique_ptr<SessionTrailer> MakeTrailer() {
  auto t = std::make_unique<SessionTrailer>();
  std::memset(t.get(), 0, sizeof *t);
  std::memcpy(t->magic, kMagic, 4);
  t->formatWord = kFormatWord;
  t->driveLetter = '$';
  return t;
}

bool HasMagic(const SessionTrailer& t) { return std::memcmp(t.magic, kMagic, 4) == 0; }

std::u16string TrailerText(std::span<const std::uint8_t> field) { return FieldText(field); }
void SetTrailerText(std::span<std::uint8_t> field, std::u16string_view text) { SetFieldText(field, text); }

void StoreDriveSettings(const DriveSettings& d, SessionTrailer& t) {
  StoredDriveSettings r{};
  r.overrideFs = d.overrideFs ? 1 : 0;
  r.fsChoice = d.fsChoice;
  r.clusterChoice = d.clusterChoice;
  r.fatChoice = d.fatChoice;
  r.damaged = d.damaged ? 1 : 0;
  r.reverse = d.reverse ? 1 : 0;
  r.rawAnalyze = d.rawAnalyze;
  r.manualStart = d.manualStart;
  r.manualCount = d.manualCount;
  std::memcpy(t.reservedEnd + kTailSettingsAt, kSettingsTag, 4);
  std::memcpy(t.reservedEnd + kTailSettingsAt + 4, &r, sizeof r);
}

bool ReadDriveSettings(const SessionTrailer& t, DriveSettings& out) {
  out = DriveSettings{};
  if (std::memcmp(t.reservedEnd + kTailSettingsAt, kSettingsTag, 4) != 0) return true;
  StoredDriveSettings r{};
  std::memcpy(&r, t.reservedEnd + kTailSettingsAt + 4, sizeof r);
  // Every choice indexes a list of the settings window: anything else is damage.
  if (r.overrideFs > 1 || r.fsChoice >= kFsChoiceNames.size() || r.clusterChoice >= kClusterChoiceCount ||
      r.fatChoice >= kFatChoiceNames.size() || r.damaged > 1 || r.reverse > 1 || r.rawAnalyze > 1) {
    return false;
  }
  out.overrideFs = r.overrideFs != 0;
  out.fsChoice = r.fsChoice;
  out.clusterChoice = r.clusterChoice;
  out.fatChoice = r.fatChoice;
  out.damaged = r.damaged != 0;
  out.reverse = r.reverse != 0;
  out.rawAnalyze = r.rawAnalyze;
  out.manualStart = r.manualStart;
  out.manualCount = r.manualCount;
  return true;
}

void StoreNavigation(const ExplorerNavigation& n, SessionTrailer& t) {
  std::memset(t.slotFolder, 0, sizeof t.slotFolder);
  std::memset(t.slotChain, 0, sizeof t.slotChain);
  std::memset(t.currentChain, 0, sizeof t.currentChain);
  std::memset(t.pathItems, 0, sizeof t.pathItems);
  std::memset(t.favorites, 0, sizeof t.favorites);
  const std::size_t items = std::min(n.pathItems.size(), kNavSlots);
  for (std::size_t i = 0; i < items; ++i) {
    const NavPathItem& item = n.pathItems[i];
    t.slotFolder[i] = item.folder;
    const std::size_t depth = std::min(item.chain.size(), kNavChainMax);
    t.slotChain[i].depth = static_cast<std::uint32_t>(depth);
    for (std::size_t d = 0; d < depth; ++d) t.slotChain[i].folders[d] = item.chain[d];
    SetTrailerText(t.pathItems[i], item.text);
  }
  t.pathItemCount = static_cast<std::uint32_t>(items);
  const std::size_t kept = std::min(n.currentChain.size(), kNavCurrentKept);
  for (std::size_t d = 0; d < kept; ++d) t.currentChain[d] = n.currentChain[d];
  t.currentDepth = std::max<std::uint32_t>(n.currentDepth, static_cast<std::uint32_t>(kept));
  // An empty entry would end the list for a reader: only real paths are kept.
  std::size_t slot = 0;
  for (const std::u16string& path : n.favorites) {
    if (path.empty()) continue;
    if (slot == kFavoritesMax) break;
    SetTrailerText(t.favorites[slot++], std::u16string_view(path).substr(0, kFavoriteChars));
  }
}

ExplorerNavigation ReadNavigation(const SessionTrailer& t) {
  ExplorerNavigation n;
  // Counts and depths come from the file: bounded by the areas that hold them.
  const std::size_t items = std::min<std::size_t>(t.pathItemCount, kNavSlots);
  for (std::size_t i = 0; i < items; ++i) {
    NavPathItem item;
    item.folder = t.slotFolder[i];
    const std::size_t depth = std::min<std::size_t>(t.slotChain[i].depth, kNavChainMax);
    for (std::size_t d = 0; d < depth; ++d) item.chain.push_back(t.slotChain[i].folders[d]);
    n.pathItems.push_back(std::move(item));
  }
  n.currentDepth = std::min<std::uint32_t>(t.currentDepth, kNavChainMax);  // no folder lies deeper
  const std::size_t kept = std::min<std::size_t>(t.currentDepth, kNavCurrentKept);
  for (std::size_t d = 0; d < kept; ++d) n.currentChain.push_back(t.currentChain[d]);
  for (std::size_t i = 0; i < kFavoritesMax; ++i) {
    std::u16string path = TrailerText(t.favorites[i]);
    if (path.empty()) break;  // the list ends at its first empty entry
    if (path.size() > kFavoriteChars) path.resize(kFavoriteChars);  // an entry without its terminator
    n.favorites.push_back(std::move(path));
  }
  return n;
}

SessionSaveResult SaveSessionFile(const std::string& path, const ResultLists& lists,
                                  std::span<const std::uint8_t> amap, const SessionHistories& histories,
                                  SessionTrailer& trailer, const StageCallback& stage,
                                  std::span<const std::uint8_t> scanState) {
  ActivityMark activity(Fn::SaveSessionFile);
  SessionSaveResult result;
  auto report = [&](SessionStage s) {
    if (stage) stage(s);
  };
  // A temporary file beside the target, renamed over it only when complete:
  // a failed or interrupted save leaves the previous session as it was.
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    result.error = ErrnoText("cannot create a file beside the session");
    return result;
  }
  ::fchmod(fd, 0644);
  FileWriter out(fd);
  const ByteSink sink = [&](std::span<const std::uint8_t> bytes) { out.Write(bytes); };

  // Fills a reference from the running offset; sessions stay below 4 GiB.
  auto place = [&](BlockRef& ref, std::uint64_t offset, std::uint64_t rawSize, std::uint64_t storedSize) {
    if (offset + storedSize > 0xFFFFFFFFull || rawSize > 0xFFFFFFFFull) {
      out.Fail("the session would exceed 4 GiB");
      return;
    }
    // A name block of a list without names is just its closing zero: raw
    // size 0 (absent to a reader) but its bytes are in the file.
    ref = {static_cast<std::uint32_t>(storedSize ? offset : 0), static_cast<std::uint32_t>(rawSize),
           static_cast<std::uint32_t>(storedSize)};
  };
  auto plain = [&](BlockRef& ref, std::span<const std::uint8_t> raw) {
    const std::uint64_t at = out.written();
    const std::uint64_t storedSize = WritePlainBlock(raw, sink);
    place(ref, at, raw.size(), storedSize);
  };

  for (BlockRef* r : {&trailer.fil, &trailer.lostFil, &trailer.rebuildFil, &trailer.rawFil, &trailer.amap,
                      &trailer.lostStrings, &trailer.rebuildStrings, &trailer.rawStrings, &trailer.historyMain,
                      &trailer.historyAdvanced, &trailer.reservedRef, &trailer.savePaths}) {
    *r = BlockRef{0, 0, 0};
  }
  {
    report(SessionStage::SavingDeleted);
    std::scoped_lock g(lists.deletedLock);
    plain(trailer.fil, lists.deleted.bytes());
  }
  const std::pair<const EntryList*, BlockRef*> listBlocks[] = {
      {&lists.lost, &trailer.lostFil}, {&lists.rebuild, &trailer.rebuildFil}, {&lists.raw, &trailer.rawFil}};
  const SessionStage listStages[] = {SessionStage::SavingLost, SessionStage::SavingRebuild, SessionStage::SavingRaw};
  for (int i = 0; i < 3; ++i) {
    report(listStages[i]);
    std::scoped_lock g(listBlocks[i].first->lock);
    plain(*listBlocks[i].second, listBlocks[i].first->records.bytes());
  }
  if (!amap.empty()) {
    report(SessionStage::SavingAmap);
    plain(trailer.amap, amap);
  }
  const std::tuple<const EntryList*, BlockRef*, SessionStage> nameBlocks[] = {
      {&lists.lost, &trailer.lostStrings, SessionStage::SavingLostStrings},
      {&lists.raw, &trailer.rawStrings, SessionStage::SavingRawStrings},
      {&lists.rebuild, &trailer.rebuildStrings, SessionStage::SavingRebuildStrings}};
  for (const auto& [list, ref, s] : nameBlocks) {
    std::scoped_lock g(list->lock);
    if (list->size() == 0) continue;
    report(s);
    const std::uint64_t at = out.written();
    StringBlockWriter writer(sink);
    const std::size_t count = list->size();
    for (std::size_t i = 0; i < count; ++i) {
      const ScanEntry e = list->at(i);
      if (e.name <= kGeneratedName) continue;
      // The record keeps its handle, so a name must follow for it: an
      // unknown handle (never made by the lists) is saved as an empty name.
      const std::u16string* name = list->names.Find(e.name);
      writer.Add(name ? std::u16string_view(*name) : std::u16string_view());
    }
    writer.Finish();
    place(*ref, at, writer.rawSize(), writer.storedSize());
  }
  plain(trailer.historyMain, EncodeHistory(histories.mainSearch));
  plain(trailer.historyAdvanced, EncodeHistory(histories.advancedSearch));
  plain(trailer.savePaths, EncodeHistory(histories.savePaths));
  // The scanner's pending state, behind the blocks every reader knows.
  BlockRef stateRef{0, 0, 0};
  if (!scanState.empty()) {
    if (scanState.size() > kMaxScanStateBytes) out.Fail("the scan's pending state is too large");
    plain(stateRef, scanState);
  }
  if (stateRef.rawSize != 0) {
    std::memcpy(trailer.reservedEnd + kTailStateAt, kStateTag, 4);
    std::memcpy(trailer.reservedEnd + kTailStateAt + 4, &stateRef, sizeof stateRef);
  } else {
    std::memset(trailer.reservedEnd + kTailStateAt, 0, 4 + sizeof stateRef);
  }

  report(SessionStage::Finalizing);
  std::memcpy(trailer.magic, kMagic, 4);
  trailer.formatWord = kFormatWord;
  if (trailer.partitionCount > kMaxPartitions) trailer.partitionCount = kMaxPartitions;
  out.Write({reinterpret_cast<const std::uint8_t*>(&trailer), kTrailerSize});
  out.Flush();
  if (out.error().empty() && ::fsync(fd) != 0) out.Fail(ErrnoText("fsync"));
  if (::close(fd) != 0) out.Fail(ErrnoText("close"));
  if (out.error().empty() && ::rename(temp.c_str(), path.c_str()) != 0) out.Fail(ErrnoText("rename"));
  if (!out.error().empty()) {
    ::unlink(temp.c_str());
    result.error = out.error();
    return result;
  }
  // The rename is durable once the folder is.
  const auto slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  if (const int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  result.ok = true;
  result.fileSize = out.written();
  return result;
}

SessionLoadResult ReadSessionTrailer(const std::string& path, SessionTrailer& trailer) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Refuse(SessionLoadStatus::CantOpen, ErrnoText("open"));
  struct stat st {};
  SessionLoadResult r;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    r = Refuse(SessionLoadStatus::CantOpen, "not a regular file");
  } else {
    r = ReadTrailerFrom(FileSource(fd, static_cast<std::uint64_t>(st.st_size)), trailer);
  }
  ::close(fd);
  return r;
}

SessionLoadResult LoadSessionFile(const std::string& path, const SessionLoadLimits& limits, LoadedSession& out,
                                  const StageCallback& stage) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Refuse(SessionLoadStatus::CantOpen, ErrnoText("open"));
  struct stat st {};
  SessionLoadResult r;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    r = Refuse(SessionLoadStatus::CantOpen, "not a regular file");
  } else {
    r = LoadFrom(FileSource(fd, static_cast<std::uint64_t>(st.st_size)), limits, out, stage);
  }
  ::close(fd);
  return r;
}

SessionLoadResult LoadSessionBytes(std::span<const std::uint8_t> file, const SessionLoadLimits& limits,
                                   LoadedSession& out, const StageCallback& stage) {
  return LoadFrom(MemorySource(file), limits, out, stage);
}

}  // namespace kestrova::session
