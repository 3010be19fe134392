#include "explore/volume_session.h"

#include "common/activity.h"
#include "common/text.h"
#include "fs/ntfs/mft_collection.h"
#include "scan/entry_ops.h"
#include "scan/virtual_folders.h"

#include <set>
#include <sys/stat.h>

namespace kestrova {

std::vector<std::string> PathComponents(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t i = 0;
  while (i <= path.size()) {
    const std::size_t slash = path.find('/', i);
    std::string part = path.substr(i, slash == std::string::npos ? std::string::npos : slash - i);
    if (!part.empty()) parts.push_back(std::move(part));
    if (slash == std::string::npos) break;
    i = slash + 1;
  }
  return parts;
}

VolumeSession::VolumeSession(Ui& ui) : ui_(ui) {}

VolumeSession::~VolumeSession() { Unmount(); }

void VolumeSession::Unmount() {
  ActivityMark activity(Fn::VolumeSessionUnmount);
  // Readers and contexts refer to the device and the lists: release them first.
  volume_.reset();
  ntfsContext_.reset();
  exfatContext_.reset();
  fatContext_.reset();
  lists_.reset();
  mounted_ = MountedVolume{};
  trailer_.reset();
  hasPosition_ = false;
  lastState_.clear();
}

AllocationMap* VolumeSession::allocationMap() {
  if (fatContext_ && fat_.volume.map.present()) return &fat_.volume.map;
  if (exfatContext_ && exfat_.volume.map.present()) return &exfat_.volume.map;
  return nullptr;
}

void VolumeSession::KeepScanPosition(const ScanPosition& position) {
  lastPosition_ = position;
  hasPosition_ = true;
}

session::SessionTrailer& VolumeSession::sessionTrailer() {
  if (!trailer_) trailer_ = session::MakeTrailer();
  return *trailer_;
}

namespace {

SessionStatus RequestFor(const std::string& path, OpenRequest& request, bool& block) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return SessionStatus::Missing;
  if (S_ISDIR(st.st_mode)) return SessionStatus::IsFolder;
  block = S_ISBLK(st.st_mode);
  if (block)
    request.volumePath = path;
  else
    request.imagePath = path;
  return SessionStatus::Ok;
}

}  // namespace

SessionStatus VolumeSession::OpenRange(const std::string& path, std::uint64_t start, std::uint64_t count,
                                       OpenedVolume& opened) {
  Unmount();
  OpenRequest request;
  if (SessionStatus s = RequestFor(path, request, block_); s != SessionStatus::Ok) return s;
  path_ = path;
  request.start = start;
  request.count = count;
  if (!OpenDevice(device_, tables_, ui_, request, opened)) return SessionStatus::CantOpen;
  if (!opened.raw.bootSectorRead) return SessionStatus::BootUnreadable;
  return SessionStatus::Ok;
}

SessionStatus VolumeSession::OpenSource(const std::string& path) {
  ActivityMark activity(Fn::OpenSource);
  rows_.clear();
  listing_ = PartitionListing{};
  OpenedVolume opened;
  if (SessionStatus s = OpenRange(path, 0, 0, opened); s != SessionStatus::Ok) return s;
  IdentifyContext ctx{device_, 0, nullptr, nullptr};
  listing_ = ListPartitions(ctx, device_.deviceSectors == kAllOnes ? 0 : device_.deviceSectors);
  for (const DriveEntry& e : listing_.volumes) rows_.push_back({e, false});
  for (const DriveEntry& e : listing_.afterLast) rows_.push_back({e, true});
  return SessionStatus::Ok;
}

SessionStatus VolumeSession::OpenVolumeOf(DriveEntry& entry, OpenedVolume& opened) {
  ActivityMark activity(Fn::VolumeSessionOpenVolumeOf);
  OpenRequest request;
  if (SessionStatus s = RequestFor(path_, request, block_); s != SessionStatus::Ok) return s;
  request.start = entry.start;
  request.count = entry.sectors;
  request.entry = &entry;
  return OpenDevice(device_, tables_, ui_, request, opened) ? SessionStatus::Ok : SessionStatus::CantOpen;
}

SessionStatus VolumeSession::MountOnly() {
  ActivityMark activity(Fn::VolumeSessionMountOnly);
  if (rows_.empty()) return SessionStatus::NoVolume;
  if (rows_.size() != 1) return SessionStatus::NeedVolume;
  return MountRow(0);
}

SessionStatus VolumeSession::OpenRow(std::size_t index, OpenedVolume& opened) {
  if (index >= rows_.size()) return SessionStatus::BadVolume;
  Unmount();
  DriveEntry entry = rows_[index].entry;
  return OpenVolumeOf(entry, opened);
}

SessionStatus VolumeSession::MountRow(std::size_t index, const DriveSettings& settings) {
  ActivityMark activity(Fn::VolumeSessionMountRow);
  if (index >= rows_.size()) return SessionStatus::BadVolume;
  Unmount();
  DriveEntry entry = rows_[index].entry;
  OpenedVolume opened;
  if (SessionStatus s = OpenVolumeOf(entry, opened); s != SessionStatus::Ok) return s;
  mountedEntry_ = entry;
  return MountOpened(opened, entry.sectors, settings);
}

SessionStatus VolumeSession::MountAt(std::uint64_t start, std::uint64_t count) {
  ActivityMark activity(Fn::VolumeSessionMountAt);
  OpenedVolume opened;
  if (SessionStatus s = OpenRange(path_, start, count, opened); s != SessionStatus::Ok) return s;
  mountedEntry_ = MakeDriveEntry();
  mountedEntry_.start = start;
  mountedEntry_.sectors = count;
  return MountOpened(opened, count);
}

SessionStatus VolumeSession::MountAt(std::uint64_t start, std::uint64_t count, const DriveSettings& settings) {
  ActivityMark activity(Fn::VolumeSessionMountAt);
  OpenedVolume opened;
  if (SessionStatus s = OpenRange(path_, start, count, opened); s != SessionStatus::Ok) return s;
  mountedEntry_ = MakeDriveEntry();
  mountedEntry_.start = start;
  mountedEntry_.sectors = count;
  return MountOpened(opened, count, settings);
}

SessionStatus VolumeSession::MountOpened(const OpenedVolume& opened, std::uint64_t partitionCount,
                                         const DriveSettings& settings) {
  ActivityMark activity(Fn::MountForBrowsing);
  const MountHooks fatHooks = fat_.Hooks(settings);
  const MountHooks exfatHooks = exfat_.Hooks(settings);
  const MountHooks ntfsHooks = ntfs_.Hooks(settings);
  hooks_ = fatHooks;
  hooks_.locateExfat = exfatHooks.locateExfat;
  hooks_.loadTables = [fatLoad = fatHooks.loadTables, exfatLoad = exfatHooks.loadTables,
                       ntfsLoad = ntfsHooks.loadTables](SectorDevice& d, MountedVolume& m) {
    if (d.fsType == FsType::Exfat) return exfatLoad(d, m);
    if (d.fsType == FsType::Ntfs) return ntfsLoad(d, m);
    return fatLoad(d, m);
  };
  MountRequest mount;
  mount.depth = 1;
  mount.partitionCount = partitionCount;
  mount.settings = settings;
  mount.hooks = &hooks_;
  if (!MountVolume(device_, ui_, mount, opened, mounted_)) return SessionStatus::CantMount;
  lists_ = std::make_unique<ResultLists>(&ui_);
  mountSettings_ = settings;
  if (IsFatFamily(device_.fsType) && fat_.volume.IsFat()) {
    fatContext_ = std::make_unique<FatContext>(FatContext{device_, fat_.volume, lists_.get(), nullptr, true});
    volume_ = std::make_unique<FatFsReader>(*fatContext_);
  } else if (device_.fsType == FsType::Exfat && exfat_.volume.mounted) {
    exfatContext_ = std::make_unique<ExfatContext>(ExfatContext{device_, exfat_.volume, lists_.get(), nullptr});
    volume_ = std::make_unique<ExfatFsReader>(*exfatContext_);
  } else if (device_.fsType == FsType::Ntfs && ntfs_.volume.mounted) {
    ntfsContext_.reset(new NtfsContext{device_, ntfs_.volume, lists_.get()});
    ntfsContext_->ui = &ui_;
    volume_ = std::make_unique<NtfsFsReader>(*ntfsContext_);
  } else {
    return SessionStatus::Unsupported;
  }
  return SessionStatus::Ok;
}

std::size_t VolumeSession::CollectMft(WorkerToken& token) {
  ActivityMark activity(Fn::VolumeSessionCollectMft);
  if (!ntfsContext_) return 0;
  return RunMftCollection(*ntfsContext_, ui_, token);
}

std::unique_ptr<MftCollection> VolumeSession::StartMftCollection() {
  if (!ntfsContext_) return nullptr;
  return std::make_unique<MftCollection>(*this);
}

MftCollection::MftCollection(VolumeSession& session)
    : scan_(session.scanFlags()), thread_(token_, [this, &session](WorkerToken& token) {
        added_ = session.CollectMft(token);
        finished_ = true;
      }) {}

std::size_t MftCollection::Wait() {
  thread_.Join();
  return added_;
}

std::unique_ptr<VolumeScan> VolumeSession::StartScan(const ScanOptions& options, const ScanPosition* resume,
                                                     const ScanPendingState* state) {
  ActivityMark activity(Fn::VolumeSessionStartScan);
  if (!lists_ || scan_.token.Running()) return nullptr;
  return std::make_unique<VolumeScan>(*this, options, resume, state);
}

std::unique_ptr<ScanDriver> VolumeSession::MakeScanDriver(const ScanOptions& options, const ScanPosition* resume,
                                                          const ScanPendingState* state) {
  ScanTarget target{device_, *lists_, ui_};
  target.fat = fatContext_.get();
  target.exfat = exfatContext_.get();
  target.ntfs = ntfsContext_.get();
  target.damaged = mountSettings_.Damaged();
  ScanOptions o = options;
  o.reverse = options.reverse || mountSettings_.reverse;
  // "RAW File Analyze" unticked for the drive: no header test and no text pass.
  o.raw = options.raw && mountSettings_.RawAnalyzeTicked();
  if (o.bootProbe.count && !resume && !o.reverse) {
    oldPartitions_ = std::make_shared<OldPartitionProbe>(device_, ui_, device_.volumeStart);
    target.bootProbe = oldPartitions_.get();
  }
  return std::make_unique<ScanDriver>(target, o, resume, state);
}

SectorRange VolumeSession::MountedVolumeRange() const {
  SectorRange r;
  if (!lists_) return r;
  r.first = device_.volumeStart;
  if (device_.volumeLastSector != kAllOnes)
    r.count = device_.volumeLastSector + 1;
  else if (device_.deviceSectors != kAllOnes && device_.deviceSectors > device_.volumeStart)
    r.count = device_.deviceSectors - device_.volumeStart;
  return r;
}

std::vector<DriveEntry> VolumeSession::OldPartitions() const {
  const std::shared_ptr<OldPartitionProbe> probe = oldPartitions_;
  return probe ? probe->Found() : std::vector<DriveEntry>{};
}

VolumeScan::VolumeScan(VolumeSession& session, const ScanOptions& options, const ScanPosition* resume,
                       const ScanPendingState* state)
    : session_(session), token_(session.scanFlags().token), driver_(session.MakeScanDriver(options, resume, state)) {
  token_.Reset();
  session_.activeScan_ = this;
  thread_.Start(token_, [this](WorkerToken& token) {
    result_ = driver_->Run(token);
    finished_ = true;
  });
}

VolumeScan::~VolumeScan() {
  thread_.StopAndJoin();
  // The session keeps where the scan ended, for a save after this.
  session_.KeepScanPosition(driver_->Position());
  session_.KeepScanState(driver_->PendingState());
  session_.activeScan_ = nullptr;
}

ScanResult VolumeScan::Wait() {
  thread_.Join();
  return result_;
}

std::vector<FoundEntry> VolumeSession::ListShown(EntryHandle handle, const DisplayFilter& filter) {
  std::vector<FoundEntry> shown;
  if (!volume_) return shown;
  std::set<std::uint32_t> virtuals;  // markers
  for (FoundEntry& f : volume_->List(handle, filter)) {
    if (f.entry.attributes == 0x08 || f.entry.attributes == 0x28) continue;  // volume labels
    if (f.dotEntry && f.name == u".") continue;
    if (f.entry.Kind() == EntryKind::VirtualFolder) virtuals.insert(f.entry.Marker());
    shown.push_back(std::move(f));
  }
  if (handle == volume_->RootHandle()) {
    for (std::uint32_t marker : {kLostFilesMarker, kRawFilesMarker, kRebuildMarker}) {
      if (virtuals.count(marker)) continue;
      FoundEntry v;
      v.entry = MakeVirtualFolderEntry(marker);
      v.name = VirtualFolderName(marker);
      shown.push_back(std::move(v));
    }
  }
  return shown;
}

std::optional<VolumePath> VolumeSession::Resolve(const std::string& path) {
  ActivityMark activity(Fn::VolumeSessionResolve);
  if (!volume_) return std::nullopt;
  const std::vector<std::string> parts = PathComponents(path);
  std::vector<std::u16string> wide;
  for (const std::string& part : parts) wide.push_back(ToUtf16(part));
  if (parts.empty()) return VolumePath{{volume_->RootHandle()}, std::nullopt};
  auto folders = FindFolder(*volume_, std::vector<std::u16string>(wide.begin(), wide.end() - 1));
  if (!folders) return std::nullopt;
  // The last component, from one listing of its folder: a folder (by name,
  // case-insensitive; the virtual folders at the root), else a file by its name.
  const std::u16string& last = wide.back();
  if (folders->size() == 1) {
    for (std::uint32_t marker : {kLostFilesMarker, kRawFilesMarker, kRebuildMarker}) {
      if (CompareNoCase(VirtualFolderName(marker), last) != 0) continue;
      folders->push_back(VirtualHandle(marker));
      return VolumePath{std::move(*folders), std::nullopt};
    }
  }
  bool folderSeen = false;  // the first folder of that name decides, as a path walk does
  std::optional<FoundEntry> file;
  for (FoundEntry& f : volume_->List(folders->back(), {})) {
    if (f.dotEntry) continue;
    if (!folderSeen && IsFolder(f.entry, volume_->Type()) && CompareNoCase(f.name, last) == 0) {
      folderSeen = true;
      if (f.entry.Kind() != EntryKind::Overwritten) {
        folders->push_back(volume_->FolderHandle(f.entry));
        return VolumePath{std::move(*folders), std::nullopt};
      }
    }
    if (!file && ToUtf8(f.name) == parts.back()) file = std::move(f);
  }
  if (!file) return std::nullopt;
  return VolumePath{std::move(*folders), std::move(file)};
}

SessionStatus VolumeSession::Mark(const std::vector<std::string>& paths, bool recursive, const DisplayFilter& filter,
                                  std::vector<MarkedEntry>& marked, std::string& missing) {
  if (!volume_) return SessionStatus::Unsupported;
  std::set<std::uint64_t> taken;  // each entry once
  auto add = [&](const FoundEntry& f, const std::string& entryPath) {
    if (f.dotEntry || f.entry.attributes == 0x08 || f.entry.attributes == 0x28) return;
    if (IsFolder(f.entry, volume_->Type()) && !recursive) return;
    if (!taken.insert(volume_->EntryId(f.entry)).second) return;
    marked.push_back({f.entry, f.name, entryPath});
  };
  const std::vector<std::string> wanted = paths.empty() ? std::vector<std::string>{"/"} : paths;
  for (const std::string& p : wanted) {
    const std::optional<VolumePath> r = Resolve(p);
    if (!r) {
      missing = p;
      return SessionStatus::NotFound;
    }
    std::string shown;
    for (const std::string& part : PathComponents(p)) shown += "/" + part;
    if (r->IsFolder()) {
      for (const FoundEntry& f : volume_->List(r->folders.back(), filter)) add(f, shown + "/" + ToUtf8(f.name));
    } else {
      add(*r->entry, shown);
    }
  }
  return SessionStatus::Ok;
}

session::SessionHistories VolumeSession::Histories() const {
  std::scoped_lock g(historiesLock_);
  return histories_;
}

void VolumeSession::SetHistories(session::SessionHistories histories) {
  std::scoped_lock g(historiesLock_);
  histories_ = std::move(histories);
  ++historiesGeneration_;
}

bool VolumeSession::AddToHistory(History list, std::u16string_view text) {
  std::scoped_lock g(historiesLock_);
  std::vector<std::u16string>& strings = list == History::MainSearch       ? histories_.mainSearch
                                         : list == History::AdvancedSearch ? histories_.advancedSearch
                                                                           : histories_.savePaths;
  if (!session::AddToHistory(strings, text)) return false;
  ++historiesGeneration_;
  return true;
}

std::uint64_t VolumeSession::historiesGeneration() const {
  std::scoped_lock g(historiesLock_);
  return historiesGeneration_;
}

}  // namespace kestrova
