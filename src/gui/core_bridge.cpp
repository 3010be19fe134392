#include "gui/core_bridge.h"

#include "common/text.h"
#include "scan/display_filter.h"

namespace kestrova::gui {

void DriveLister::Refresh(DriveList& list, Ui& ui, const std::vector<std::string>& images, bool includeSystem,
                          const WorkerToken* cancel) {
  RefreshOptions options;
  options.includeSystem = includeSystem;
  options.images = images;
  options.cancel = cancel;
  RefreshDriveList(list, device_, ui, options);
}

CoreBridge::~CoreBridge() { session_.device().readErrorWindow = nullptr; }

void CoreBridge::AttachReadErrorWindow(Ui& ui) {
  readErrors_ = std::make_unique<ReadErrorWindow>(ui, session_.scanFlags(), true);
  session_.device().readErrorWindow = readErrors_.get();
}

void CoreBridge::ReadErrorContinue(bool skipChecked) {
  if (readErrors_) readErrors_->Continue(skipChecked, session_.device().skipReadErrors);
}

void CoreBridge::ReadErrorStopScan(bool skipChecked) {
  if (readErrors_) readErrors_->StopScan(skipChecked, session_.device().skipReadErrors);
}

std::string CoreBridge::DevicePathOf(const DriveList& list, std::size_t row) {
  const DriveRow& r = list.rows.at(row);
  if (!r.imagePath.empty()) return r.imagePath;
  if (!r.volumePath.empty()) return r.volumePath;
  if (const PhysicalDrive* d = list.tables.Physical(r.entry.drive)) return d->devicePath;
  return {};
}

namespace {
OpenOutcome MountOutcome(SessionStatus status, StringId cantOpen) {
  switch (status) {
    case SessionStatus::Ok:
      return {true, {}};
    case SessionStatus::Missing:
    case SessionStatus::IsFolder:
    case SessionStatus::CantOpen:
    case SessionStatus::BootUnreadable:
      return {false, cantOpen};
    default:
      return {false, StringId::FileSystemNotSupported};
  }
}
}  // namespace

OpenOutcome CoreBridge::Open(const DriveList& list, std::size_t row) {
  searchReader_.reset();  // it names the volume being replaced
  const bool image = !list.rows.at(row).imagePath.empty();
  const StringId cantOpen = image ? StringId::CantOpenImageFile : StringId::CantOpenThisDrive;
  const std::string path = DevicePathOf(list, row);
  if (path.empty()) return {false, cantOpen};
  if (session_.OpenSource(path) != SessionStatus::Ok) return {false, cantOpen};
  const DriveEntry& e = list.rows[row].entry;
  return MountOutcome(session_.MountAt(e.start, e.wholeDrive ? 0 : e.sectors, list.rows[row].settings), cantOpen);
}

OpenOutcome CoreBridge::OpenAtSector(const DriveList& list, std::size_t row, const DriveSettings& settings) {
  searchReader_.reset();  // it names the volume being replaced
  const bool image = !list.rows.at(row).imagePath.empty();
  const StringId cantOpen = image ? StringId::CantOpenImageFile : StringId::CantOpenThisDrive;
  const std::string path = DevicePathOf(list, row);
  const DriveEntry& e = list.rows[row].entry;
  const std::uint64_t start = settings.manualStart, count = settings.manualCount;
  // The range was checked against the entry; a zero count would mean "to the end" below.
  if (path.empty() || count == 0 || start > e.sectors || count > e.sectors - start) return {false, cantOpen};
  if (session_.OpenSource(path) != SessionStatus::Ok) return {false, cantOpen};
  // The entry is opened up to the typed range's end; clusters count from its start sector.
  return MountOutcome(session_.MountAt(e.start, start + count, settings), cantOpen);
}

OpenOutcome CoreBridge::OpenFound(const std::string& path, std::uint64_t start, std::uint64_t count,
                                  const DriveSettings& settings) {
  searchReader_.reset();  // it names the volume being replaced
  const StringId cantOpen = StringId::CantOpenThisDrive;
  if (path.empty() || count == 0) return {false, cantOpen};
  if (session_.OpenSource(path) != SessionStatus::Ok) return {false, cantOpen};
  return MountOutcome(session_.MountAt(start, count, settings), cantOpen);
}

std::vector<std::uint8_t> CoreBridge::ReadRange(const ScanEntry& entry, std::uint64_t offset, std::uint64_t length) {
  const std::lock_guard lock(readerMutex_);
  if (!session_.mounted()) return {};
  return session_.volume().ReadRange(entry, offset, length);
}

std::vector<FolderItem> CoreBridge::List(EntryHandle handle) {
  std::vector<FolderItem> items;
  const std::lock_guard lock(readerMutex_);
  if (!session_.mounted()) return items;
  const FsType fs = session_.fsType();
  for (FoundEntry& f : session_.ListShown(handle, filter_.Snapshot())) {
    FolderItem item;
    item.folder = IsFolder(f.entry, fs);
    item.colour = CategoryOf(f.entry, fs, f.name);
    item.entry = f.entry;
    item.name = std::move(f.name);
    item.dotEntry = f.dotEntry;
    items.push_back(std::move(item));
  }
  return items;
}

std::optional<FolderPlace> CoreBridge::ResolveFolder(const std::string& path) {
  const std::optional<VolumePath> r = session_.Resolve(path);
  if (!r || !r->IsFolder() || r->folders.empty()) return std::nullopt;
  FolderPlace place;
  place.handle = r->folders.back();
  for (const std::string& part : PathComponents(path)) place.names.push_back(ToUtf16(part));
  return place;
}

namespace {

// Passes everything on, and hands the counters over once the counting pass
// has ended (the job reports its first progress only then).
class CountingUi : public Ui {
 public:
  CountingUi(Ui& inner, CoreBridge::Progress& progress) : inner_(inner), progress_(progress) {}
  const RecoveryJob* job = nullptr;

  MsgChoice MessageBox(std::u16string_view text, std::u16string_view caption, MsgIcon icon,
                       MsgButtons buttons) override {
    return inner_.MessageBox(text, caption, icon, buttons);
  }
  void Progress(std::uint64_t done, std::uint64_t total) override {
    if (!counted_ && job) {
      counted_ = true;
      progress_.Counted(job->statistics());
    }
    inner_.Progress(done, total);
  }
  void Status(std::u16string_view text) override { inner_.Status(text); }
  void ReadErrorWindowChanged(const ReadErrorView& view) override { inner_.ReadErrorWindowChanged(view); }
  void PostCommand(int command) override { inner_.PostCommand(command); }

 private:
  Ui& inner_;
  CoreBridge::Progress& progress_;
  bool counted_ = false;
};

}  // namespace

bool CoreBridge::Recover(std::vector<MarkedEntry>& marked, RecoveryRequest& request, Ui& ui, Progress& progress,
                         RecoveryStatistics& result) {
  CountingUi counting(ui, progress);
  RecoveryJob job(session_.volume(), request, counting, &session_.scanFlags());
  counting.job = &job;
  const bool ok = job.Run(marked, filter_.Snapshot());
  result = job.statistics();
  return ok;
}

namespace {

// The volume's reader with every call under the bridge's reader lock: the
// search thread shares it with the list and the thumbnails.
class LockedReader : public FsReader {
 public:
  LockedReader(FsReader& inner, std::mutex& lock) : inner_(inner), lock_(lock) {}
  FsType Type() const override { return inner_.Type(); }
  EntryHandle RootHandle() const override { return inner_.RootHandle(); }
  std::vector<FoundEntry> List(EntryHandle folder, const DisplayFilter& filter) override {
    const std::lock_guard g(lock_);
    return inner_.List(folder, filter);
  }
  EntryHandle FolderHandle(const ScanEntry& folder) const override { return inner_.FolderHandle(folder); }
  std::uint64_t EntryId(const ScanEntry& e) const override { return inner_.EntryId(e); }
  WriteResult Write(ScanEntry& entry, OutputSink& sink, const RecoveryControl& control) override {
    const std::lock_guard g(lock_);
    return inner_.Write(entry, sink, control);
  }
  std::vector<std::uint8_t> ReadRange(const ScanEntry& entry, std::uint64_t offset, std::uint64_t length) override {
    const std::lock_guard g(lock_);
    return inner_.ReadRange(entry, offset, length);
  }
  std::uint8_t Rate(const ScanEntry& entry) override {
    const std::lock_guard g(lock_);
    return inner_.Rate(entry);
  }

 private:
  FsReader& inner_;
  std::mutex& lock_;
};

}  // namespace

std::uint64_t CoreBridge::HexBlockSize(const ScanEntry& entry) {
  SectorDevice& d = session_.device();
  if (entry.Kind() == EntryKind::Raw) return 4ull * d.sectorSize;
  return d.bytesPerCluster ? d.bytesPerCluster : d.sectorSize;
}

FsReader* CoreBridge::SearchReader() {
  if (!session_.mounted()) return nullptr;
  if (!searchReader_) searchReader_ = std::make_unique<LockedReader>(session_.volume(), readerMutex_);
  return searchReader_.get();
}

FolderItem CoreBridge::ItemOf(const FoundEntry& f) {
  const FsType fs = session_.fsType();
  FolderItem item;
  item.folder = IsFolder(f.entry, fs);
  item.colour = CategoryOf(f.entry, fs, f.name);
  item.entry = f.entry;
  item.name = f.name;
  return item;
}

FolderItem CoreBridge::ItemOf(const SearchResult& result) {
  FolderItem item = ItemOf(result.found);
  item.found = true;
  item.parent = result.parent;
  for (const std::string& part : PathComponents(ToUtf8(result.folder))) item.parentNames.push_back(ToUtf16(part));
  return item;
}

}  // namespace kestrova::gui
