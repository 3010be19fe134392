#include "explore/partition_finder.h"

#include "common/activity.h"
#include "common/text.h"
#include "resources/strings.h"
#include "volume/identify.h"
#include "volume/list_partitions.h"
#include "volume/open_volume.h"

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

namespace kestrova {

std::u16string PartitionStatusText(PartitionStatus status) {
  switch (status) {
    case PartitionStatus::Ok: return Text(StringId::StatusOk);
    case PartitionStatus::Overwritten: return Text(StringId::StatusOverwritten);
    case PartitionStatus::Lost: break;
  }
  return Text(StringId::StatusLost);
}

PartitionStatus StatusOf(const DriveEntry& result, const std::vector<DriveEntry>& tableVolumes) {
  if (!IsForcedWholeDrive(result))
    for (const DriveEntry& t : tableVolumes)
      if (t.start == result.start) return PartitionStatus::Ok;
  return result.damagedResult ? PartitionStatus::Overwritten : PartitionStatus::Lost;
}

std::uint64_t StartSectorFromField(std::u16string_view text, std::uint64_t unitSectors, std::uint64_t lastSector) {
  std::uint64_t value = 0;
  bool digits = false;
  for (char16_t c : text) {
    if (c == u' ' && !digits) continue;
    if (c < u'0' || c > u'9') return 0;
    digits = true;
    // Past the last sector it is clamped anyway: stop before the number overflows.
    if (value > lastSector) break;
    value = value * 10 + static_cast<std::uint64_t>(c - u'0');
  }
  if (!digits) return 0;
  if (unitSectors != 0 && value > lastSector / unitSectors) return lastSector;
  return std::min(value * unitSectors, lastSector);
}

std::uint64_t StartSectorFromSlider(int step, std::uint64_t lastSector) {
  step = std::clamp(step, 0, kStartSliderSteps);
  if (step == kStartSliderSteps) return lastSector;
  return static_cast<std::uint64_t>(static_cast<long double>(lastSector) * step / kStartSliderSteps);
}

int StartSliderStep(std::uint64_t sector, std::uint64_t lastSector) {
  if (lastSector == 0) return 0;
  sector = std::min(sector, lastSector);
  return static_cast<int>(static_cast<long double>(sector) * kStartSliderSteps / static_cast<long double>(lastSector));
}

PartitionFinder::PartitionFinder(Ui& ui) : ui_(ui) {}

PartitionFinder::~PartitionFinder() {
  thread_.StopAndJoin();
  search_.reset();
}

namespace {

bool RequestOf(const std::string& path, OpenRequest& request) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  if (S_ISBLK(st.st_mode))
    request.volumePath = path;
  else
    request.imagePath = path;
  return true;
}

}  // namespace

SessionStatus PartitionFinder::Open(const std::string& path) {
  ActivityMark activity(Fn::PartitionFinderOpen);
  thread_.StopAndJoin();
  search_.reset();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return SessionStatus::Missing;
  if (S_ISDIR(st.st_mode)) return SessionStatus::IsFolder;
  OpenRequest request;
  RequestOf(path, request);
  OpenedVolume opened;
  if (!OpenDevice(device_, tables_, ui_, request, opened)) return SessionStatus::CantOpen;
  if (!opened.raw.bootSectorRead) return SessionStatus::BootUnreadable;
  if (device_.deviceSectors == 0 || device_.deviceSectors == kAllOnes) return SessionStatus::CantOpen;
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  path_ = ec ? path : absolute.string();
  deviceSectors_ = device_.deviceSectors;
  IdentifyContext ctx{device_, 0, nullptr, nullptr};
  tableVolumes_ = ListPartitions(ctx, deviceSectors_).volumes;
  device_.Close();
  return SessionStatus::Ok;
}

ResumeStatus PartitionFinder::LoadSession(const std::string& kvsp, PartitionSession& out) const {
  switch (LoadPartitionSession(kvsp, out)) {
    case SessionFileStatus::Ok: break;
    case SessionFileStatus::Corrupt: return ResumeStatus::Corrupt;
    default: return ResumeStatus::CantRead;
  }
  // The size identifies the disk: a session of another drive would resume at
  // a position and list volumes that mean nothing here.
  if (out.deviceSectors != deviceSectors_) return ResumeStatus::OtherDisk;
  return ResumeStatus::Ok;
}

bool PartitionFinder::Launch(SearchSetup setup) {
  if (path_.empty() || token_.Running()) return false;
  thread_.StopAndJoin();
  token_.Reset();
  setup.driveName = ToUtf16(path_);
  const std::string path = path_;
  Ui& ui = ui_;
  const DriveTables& tables = tables_;
  WholeDriveOpener open = [path, &ui, &tables](SectorDevice& device, FsType type, OpenedVolume& opened) {
    OpenRequest request;
    if (!RequestOf(path, request)) return false;
    request.request = type;
    request.showErrors = type == FsType::Detect;
    return OpenDevice(device, tables, ui, request, opened);
  };
  search_ = std::make_unique<PartitionSearch>(device_, ui_, std::move(open), std::move(setup));
  search_->SetSessionName(ToUtf16(path_));
  PartitionSearch* search = search_.get();
  return thread_.Start(token_, [search](WorkerToken& token) { search->Run(token); });
}

bool PartitionFinder::Start(SearchMode mode, std::uint64_t from) {
  SearchSetup setup;
  setup.mode = mode;
  setup.position = std::min(from, deviceSectors_);
  return Launch(std::move(setup));
}

bool PartitionFinder::Resume(const PartitionSession& session) {
  SearchSetup setup;
  setup.mode = session.mode == 1 ? SearchMode::Fast : SearchMode::Deep;
  setup.position = session.position;
  setup.results = session.results;
  setup.resumed = true;
  return Launch(std::move(setup));
}

bool PartitionFinder::Continue() {
  if (!search_ || token_.Running()) return false;
  thread_.StopAndJoin();
  token_.Reset();
  search_->PrepareContinue();
  PartitionSearch* search = search_.get();
  return thread_.Start(token_, [search](WorkerToken& token) { search->Run(token); });
}

void PartitionFinder::Wait() { thread_.Join(); }

void PartitionFinder::Stop() { thread_.StopAndJoin(); }

void PartitionFinder::Finish() {
  if (search_) search_->RequestFinish();
  thread_.Join();
}

std::vector<FoundVolume> PartitionFinder::Found() const {
  std::vector<FoundVolume> found;
  if (!search_) return found;
  for (const DriveEntry& e : search_->Results())
    found.push_back({e, StatusOf(e, tableVolumes_), e.damagedResult != 0});
  return found;
}

}  // namespace kestrova
