#include "explore/scan_session.h"

#include "common/activity.h"
#include "common/text.h"
#include "device/device_identity.h"
#include "resources/strings.h"
#include "scanner/scan_resume.h"

#include <cstring>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

namespace kestrova {
namespace {

using session::SessionStage;
using session::SessionTrailer;

StringId StageText(SessionStage stage) {
  switch (stage) {
    case SessionStage::SavingDeleted: return StringId::SessionActionSavingDeleted;
    case SessionStage::SavingLost: return StringId::SessionActionSavingLost;
    case SessionStage::SavingRebuild: return StringId::SessionActionSavingRebuild;
    case SessionStage::SavingRaw: return StringId::SessionActionSavingRaw;
    case SessionStage::SavingAmap: return StringId::SessionActionSavingAmap;
    case SessionStage::SavingLostStrings: return StringId::SessionActionSavingLostStrings;
    case SessionStage::SavingRawStrings: return StringId::SessionActionSavingRawStrings;
    case SessionStage::SavingRebuildStrings: return StringId::SessionActionSavingRebuildStrings;
    case SessionStage::Finalizing: return StringId::SessionActionFinalizing;
    case SessionStage::Initializing: return StringId::SessionActionInitializing;
    case SessionStage::LoadingDeleted: return StringId::SessionActionLoadingDeleted;
    case SessionStage::LoadingLost: return StringId::SessionActionLoadingLost;
    case SessionStage::LoadingRebuild: return StringId::SessionActionLoadingRebuild;
    case SessionStage::LoadingRaw: return StringId::SessionActionLoadingRaw;
    case SessionStage::LoadingAmap: return StringId::SessionActionLoadingAmap;
    case SessionStage::LoadingLostStrings: return StringId::SessionActionLoadingLostStrings;
    case SessionStage::LoadingRawStrings: return StringId::SessionActionLoadingRawStrings;
    case SessionStage::LoadingRebuildStrings: return StringId::SessionActionLoadingRebuildStrings;
  }
  return StringId::SessionActionFinalizing;
}

session::StageCallback StatusTexts(Ui& ui) {
  return [&ui](SessionStage stage) { ui.Status(Text(StageText(stage))); };
}

ScanSessionResult Result(ScanSessionStatus status, std::string detail = {}) { return {status, std::move(detail)}; }

bool IsRegularFile(const std::string& path, std::uint64_t* size = nullptr) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (size) *size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

std::string AbsolutePath(const std::string& path) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer)) return buffer;
  return path;
}

// Pauses a running scan for the time of a save or a load and puts it back as
// it was: a scan the user had paused stays paused.
class ScanSuspension {
 public:
  ScanSuspension(WorkerToken& token, Ui& ui) : token_(token) {
    running_ = token.Running();
    wasPaused_ = token.Paused();
    if (running_) {
      if (!wasPaused_) {
        ui.Status(Text(StringId::SessionActionSuspendingScan));
        token.Pause();
      }
      // Also when paused just before the save: the worker may still be finishing
      // its block, and the position it stores must not lag the lists written.
      token.WaitUntilParked();
    }
  }
  ~ScanSuspension() {
    if (running_ && !wasPaused_ && !ended_) token_.Resume();
  }
  bool wasPaused() const { return wasPaused_; }
  bool running() const { return running_; }
  // A load replaces the lists the scan was filling: the parked scan leaves.
  void End() {
    if (running_) {
      token_.AbortWhilePaused();
      ended_ = true;
    }
  }

 private:
  WorkerToken& token_;
  bool running_ = false;
  bool wasPaused_ = false;
  bool ended_ = false;
};

// The drive fields of the trailer: which source, which volume on it.
void FillDrive(VolumeSession& session, SessionTrailer& t) {
  const std::string& source = session.sourcePath();
  const DriveEntry& entry = session.mountedEntry();
  std::uint64_t imageSize = 0;
  const bool image = IsRegularFile(source, &imageSize);
  const std::u16string absolute = ToUtf16(AbsolutePath(source));
  std::memset(t.imagePath, 0, sizeof t.imagePath);
  std::memset(&t.drive, 0, sizeof t.drive);
  t.driveLetter = '$';
  t.driveIdentity = entry.serial;
  t.partition = entry;
  t.partitionCount = 0;  // the partition search fills its list when it runs
  std::int32_t index = -1;
  if (image) {
    session::SetTrailerText(t.imagePath, absolute);
    t.drive.number = -1;
    SetFieldText(t.drive.model, absolute);
    t.drive.byteLength = imageSize;
    t.fromPartitionList = 1;
  } else {
    // A whole disk is a drive of the physical list; a partition device is a
    // volume the system lists, found again by its identity.
    const SourceIdentity id = IdentityOfSource(source);
    t.fromPartitionList = id.isBlock && id.rdev == id.wholeDisk ? 1 : 0;
    const auto drives = EnumeratePhysicalDrives(SystemPaths{});
    for (std::size_t i = 0; i < drives.size(); ++i) {
      if (AbsolutePath(drives[i].devicePath) == AbsolutePath(source)) {
        index = static_cast<std::int32_t>(i);
        t.drive.number = drives[i].number;
        SetFieldText(t.drive.model, drives[i].model);
        t.drive.byteLength = drives[i].byteLength;
      }
    }
  }
  t.partition.drive = index;
  std::memset(&t.selected, 0, sizeof t.selected);
  t.selected.drive = index;
  t.selected.start = entry.start;
  t.selected.sectors = entry.sectors;
  t.selected.sectorSize = session.device().sectorSize;
  t.selected.letter = '$';
  t.selected.fsType = static_cast<std::uint8_t>(session.fsType());
}

void ShowInvalid(Ui& ui) {
  ui.MessageBox(Text(StringId::SessionFileErr), Text(StringId::Caption), MsgIcon::Error, MsgButtons::Ok);
}

ScanSessionResult DriveFromTrailer(const SessionTrailer& t, Ui& ui, SessionDrive& drive, const SystemPaths& paths) {
  const std::string image = ToUtf8(session::TrailerText(t.imagePath));
  drive.partition = t.partition;
  if (!image.empty() && IsRegularFile(image)) {
    drive.sourcePath = image;
    drive.image = true;
    return {};
  }
  if (t.fromPartitionList == 1) {
    const std::u16string storedName = FieldText(t.drive.model);
    const auto drives = EnumeratePhysicalDrives(paths);
    std::vector<std::u16string> names;
    int offered = -1;
    for (std::size_t i = 0; i < drives.size(); ++i) {
      names.push_back(drives[i].model + u" (" + ToUtf16(drives[i].devicePath) + u")");
      const bool sizeFits = t.drive.byteLength == 0 || t.drive.byteLength == drives[i].byteLength;
      const bool nameFits = storedName.empty() || CompareNoCase(storedName, drives[i].model) == 0;
      if (offered < 0 && sizeFits && nameFits) offered = static_cast<int>(i);
    }
    if (offered < 0) {
      const std::u16string missing = image.empty() ? storedName : ToUtf16(image);
      ui.MessageBox(Text(StringId::CantFindValidDriveForThisSession) + u" " + missing,
                    Text(StringId::CaptionSessionDisk), MsgIcon::Error, MsgButtons::Ok);
      return Result(ScanSessionStatus::DriveNotFound, "no drive matches " + ToUtf8(missing));
    }
    const int chosen = ui.ChooseDisk(names, offered);
    if (chosen < 0 || static_cast<std::size_t>(chosen) >= drives.size()) return Result(ScanSessionStatus::Cancelled);
    drive.sourcePath = drives[static_cast<std::size_t>(chosen)].devicePath;
    drive.partition.drive = chosen;
    return {};
  }
  // A volume the system lists: found again by its identity.
  const auto drives = EnumeratePhysicalDrives(paths);
  for (const SystemVolume& v : EnumerateSystemVolumes(paths, drives)) {
    if (t.driveIdentity != 0 && v.serial == t.driveIdentity) {
      drive.sourcePath = v.devicePath;
      return {};
    }
  }
  ui.MessageBox(Text(StringId::CantFindDriveSession), Text(StringId::Caption), MsgIcon::Error, MsgButtons::Ok);
  return Result(ScanSessionStatus::DriveNotFound, "no volume with the session's identity");
}

// Mounts the stored volume with the drive settings it was scanned with: its
// row of the listing when there is one, else the stored start and count.
ScanSessionResult MountStored(VolumeSession& session, const SessionDrive& drive, const DriveSettings& settings) {
  if (SessionStatus s = session.OpenSource(drive.sourcePath); s != SessionStatus::Ok) {
    return Result(ScanSessionStatus::CantOpen, "cannot open " + drive.sourcePath);
  }
  SessionStatus s = SessionStatus::CantMount;
  bool found = false;
  for (std::size_t i = 0; i < session.rows().size(); ++i) {
    const DriveEntry& e = session.rows()[i].entry;
    if (e.start == drive.partition.start && e.sectors == drive.partition.sectors) {
      s = session.MountRow(i, settings);
      found = true;
      break;
    }
  }
  if (!found) s = session.MountAt(drive.partition.start, drive.partition.sectors, settings);
  // A volume without a reader (scanned for file headers only) still holds results.
  if (s == SessionStatus::Unsupported && session.hasResults()) s = SessionStatus::Ok;
  if (s != SessionStatus::Ok) return Result(ScanSessionStatus::CantMount, "the session's volume does not mount");
  return {};
}

constexpr std::uint8_t kPositionTag[4] = {'S', 'P', 'O', 'S'};
static_assert(session::kTailPositionAt + 4 + sizeof(ScanPosition) <= session::kTailStateAt);

}  // namespace

void StoreScanPosition(const ScanPosition& position, bool paused, SessionTrailer& t) {
  ScanPosition p = position;
  p.flags = paused ? (p.flags | kScanPosPaused) : (p.flags & ~kScanPosPaused);
  t.scan.cluster = p.currentCluster;
  t.scan.sector = p.currentSector;
  t.scan.freeVisited = static_cast<std::uint32_t>(p.freeVisited);
  t.scan.freeTotal = static_cast<std::uint32_t>(p.freeTotal);
  t.scan.clustersDone = p.clustersProcessed;
  t.scan.lostCount = static_cast<std::uint32_t>(p.lostCount);
  t.scan.rawCount = static_cast<std::uint32_t>(p.rawCount);
  t.scan.lastPercent = p.lastPercent;
  t.rawScan.position = p.flags;
  t.rawScan.mode = p.reverseWindowBytes;
  t.rawScan.value = static_cast<std::uint32_t>(p.reverseStep);
  t.rawScan.first = p.windowFirstSector;
  t.rawScan.second = p.windowSectorCount;
  t.rawScan.third = p.windowEndSector;
  t.rawScan.fourth = static_cast<std::uint32_t>(p.reverseLowerBound);
  t.rawScan.fifth = static_cast<std::uint32_t>(p.reverseLowerBound >> 32);
  t.scanComplete = (p.flags & kScanPosFinished) ? 1 : 0;
  t.paused = paused ? 1 : 0;
  // Counts of volumes past 2^32 clusters do not fit the 32-bit fields.
  std::memcpy(t.reservedEnd + session::kTailPositionAt, kPositionTag, 4);
  std::memcpy(t.reservedEnd + session::kTailPositionAt + 4, &p, sizeof p);
}

ScanPosition RestoreScanPosition(const SessionTrailer& t) {
  ScanPosition p = MakeScanPosition();
  if (std::memcmp(t.reservedEnd + session::kTailPositionAt, kPositionTag, 4) == 0) {
    std::memcpy(&p, t.reservedEnd + session::kTailPositionAt + 4, sizeof p);
  } else {
    p.currentCluster = t.scan.cluster;
    p.currentSector = t.scan.sector;
    p.freeVisited = t.scan.freeVisited;
    p.freeTotal = t.scan.freeTotal;
    p.clustersProcessed = t.scan.clustersDone & 0xFFFFFFFFull;
    p.lostCount = t.scan.lostCount;
    p.rawCount = t.scan.rawCount;
    p.lastPercent = t.scan.lastPercent;
    p.flags = t.rawScan.position;
    p.reverseWindowBytes = t.rawScan.mode;
    p.reverseStep = t.rawScan.value;
    p.windowFirstSector = t.rawScan.first;
    p.windowSectorCount = t.rawScan.second;
    p.windowEndSector = t.rawScan.third;
    p.reverseLowerBound = t.rawScan.fourth | static_cast<std::uint64_t>(t.rawScan.fifth) << 32;
  }
  // The two flags of the format decide over the record's bits.
  p.flags = t.scanComplete ? (p.flags | kScanPosFinished) : (p.flags & ~kScanPosFinished);
  p.flags = t.paused ? (p.flags | kScanPosPaused) : (p.flags & ~kScanPosPaused);
  return p;
}

std::unique_ptr<VolumeScan> ResumeScan(VolumeSession& session) {
  SessionTrailer& t = session.sessionTrailer();
  if (t.scanComplete != 0 || !session.hasResults()) return nullptr;
  const ScanPosition position = RestoreScanPosition(t);
  ScanOptions options;
  options.raw = (position.flags & kScanPosNoRaw) == 0;
  options.reverse = (position.flags & kScanPosReverse) != 0;
  ScanPendingState state;
  const bool haveState = !session.lastScanState().empty() && DecodeScanState(session.lastScanState(), state);
  auto scan = session.StartScan(options, &position, haveState ? &state : nullptr);
  if (scan && t.paused) scan->Pause();
  return scan;
}

ScanSessionResult SaveScanSession(VolumeSession& session, const std::string& path,
                                  const session::SessionHistories& histories,
                                  const session::ExplorerNavigation* navigation) {
  ActivityMark activity(Fn::SaveScanSession);
  Ui& ui = session.ui();
  if (!session.hasResults()) return Result(ScanSessionStatus::NotMounted);
  // Never a file on the device being recovered, not even a temporary one.
  if (PathIsOnSource(path, IdentityOfSource(session.sourcePath()))) {
    ui.MessageBox(Text(StringId::WriteFileProtection), Text(StringId::CaptionOverwriteProtection), MsgIcon::Warning,
                  MsgButtons::Ok);
    return Result(ScanSessionStatus::OnSource, "the file would lie on the scanned device");
  }
  bool expected = false;
  if (!session.savingSession().compare_exchange_strong(expected, true)) {
    ui.MessageBox(Text(StringId::PleaseWaitSaving), Text(StringId::Caption), MsgIcon::Information, MsgButtons::Ok);
    return Result(ScanSessionStatus::Busy);
  }
  struct ClearFlag {
    std::atomic<bool>& flag;
    ~ClearFlag() { flag = false; }
  } clear{session.savingSession()};

  SessionTrailer& trailer = session.sessionTrailer();
  FillDrive(session, trailer);
  session::StoreDriveSettings(session.mountSettings(), trailer);
  if (navigation) session::StoreNavigation(*navigation, trailer);
  ScanSuspension suspension(session.scanFlags().token, ui);
  trailer.paused = suspension.wasPaused() ? 1 : 0;
  // Where the scan stands now that it is parked (or where it ended).
  // What it holds in memory belongs to the same moment: the open RAW file,
  // the NTFS records not yet merged.
  ScanPosition position = MakeScanPosition();
  std::vector<std::uint8_t> state;
  if (VolumeScan* scan = session.activeScan()) {
    StoreScanPosition(scan->Position(), suspension.wasPaused(), trailer);
    state = scan->PendingState();
  } else if (session.lastScanPosition(position)) {
    StoreScanPosition(position, false, trailer);
    state = session.lastScanState();
  }
  const AllocationMap* map = session.allocationMap();
  const auto saved = session::SaveSessionFile(path, session.lists(), map ? map->bytes() : std::span<const std::uint8_t>(),
                                              histories, trailer, StatusTexts(ui), state);
  if (!saved.ok) return Result(ScanSessionStatus::WriteFailed, saved.error);
  return {};
}

ScanSessionResult SaveScanSession(VolumeSession& session, const std::string& path) {
  return SaveScanSession(session, path, session.Histories());
}

ScanSessionResult FindSessionDrive(const std::string& path, Ui& ui, SessionDrive& drive, const SystemPaths& paths) {
  auto trailer = std::make_unique<SessionTrailer>();
  const auto r = session::ReadSessionTrailer(path, *trailer);
  if (!r.ok()) {
    ShowInvalid(ui);
    return Result(r.status == session::SessionLoadStatus::CantOpen ? ScanSessionStatus::CantOpen
                                                                    : ScanSessionStatus::Invalid,
                  r.error);
  }
  return DriveFromTrailer(*trailer, ui, drive, paths);
}

bool SessionIsOfMountedVolume(const VolumeSession& session, const std::string& path) {
  if (!session.hasResults()) return false;
  auto trailer = std::make_unique<SessionTrailer>();
  if (!session::ReadSessionTrailer(path, *trailer).ok()) return false;
  const DriveEntry& mounted = session.mountedEntry();
  if (trailer->partition.start != mounted.start || trailer->partition.sectors != mounted.sectors) return false;
  // Results of a volume mounted another way (a forced file system or cluster
  // size, damaged or reverse mode) must be read with that mount: a load from
  // the drive check mounts it again with the stored settings.
  DriveSettings stored;
  if (!session::ReadDriveSettings(*trailer, stored)) return false;
  const DriveSettings& now = session.mountSettings();
  const bool forcedAlike = stored.overrideFs == now.overrideFs &&
                           (!stored.overrideFs || (stored.fsChoice == now.fsChoice &&
                                                   stored.clusterChoice == now.clusterChoice &&
                                                   stored.fatChoice == now.fatChoice));
  if (!forcedAlike || stored.damaged != now.damaged || stored.reverse != now.reverse ||
      stored.rawAnalyze != now.rawAnalyze || stored.manualStart != now.manualStart ||
      stored.manualCount != now.manualCount)
    return false;
  const std::string image = ToUtf8(session::TrailerText(trailer->imagePath));
  const std::string& source = session.sourcePath();
  if (!image.empty()) return AbsolutePath(image) == AbsolutePath(source);
  // A device: the same volume identity, and not an image now.
  return !IsRegularFile(source) && trailer->driveIdentity == mounted.serial;
}

ScanSessionResult LoadIntoMounted(VolumeSession& session, const std::string& path,
                                  session::SessionHistories* histories, session::ExplorerNavigation* navigation) {
  ActivityMark activity(Fn::LoadScanSession);
  Ui& ui = session.ui();
  if (!session.hasResults()) return Result(ScanSessionStatus::NotMounted);
  AllocationMap* map = session.allocationMap();
  session::SessionLoadLimits limits;
  limits.amapBytes = map ? map->bytes().size() : 0;
  limits.ui = &ui;
  ScanSuspension suspension(session.scanFlags().token, ui);
  session::LoadedSession loaded;
  const auto r = session::LoadSessionFile(path, limits, loaded, StatusTexts(ui));
  if (!r.ok()) {
    ShowInvalid(ui);
    return Result(r.status == session::SessionLoadStatus::CantOpen ? ScanSessionStatus::CantOpen
                                                                    : ScanSessionStatus::Invalid,
                  r.error);
  }
  // All of it has been read back: only now is anything replaced.
  suspension.End();
  session.lists().SwapContents(*loaded.lists);
  if (map && !loaded.amap.empty()) map->Load(loaded.amap);
  std::memcpy(&session.sessionTrailer(), loaded.trailer.get(), sizeof(SessionTrailer));
  session.KeepScanPosition(RestoreScanPosition(session.sessionTrailer()));
  session.SetHistories(loaded.histories);
  // A state this build cannot take (another signature table) is left out:
  // the scan then resumes from the position alone, its counts rebuilt from the list.
  ScanPendingState state;
  if (loaded.scanState.empty() || !DecodeScanState(loaded.scanState, state)) loaded.scanState.clear();
  session.KeepScanState(std::move(loaded.scanState));
  if (histories) *histories = std::move(loaded.histories);
  if (navigation) *navigation = session::ReadNavigation(session.sessionTrailer());
  return {};
}

ScanSessionResult LoadScanSession(VolumeSession& session, const std::string& path, const LoadScanOptions& options,
                                  session::SessionHistories* histories, session::ExplorerNavigation* navigation) {
  Ui& ui = session.ui();
  SessionDrive drive;
  auto trailer = std::make_unique<SessionTrailer>();
  const auto read = session::ReadSessionTrailer(path, *trailer);
  if (options.source.empty()) {
    if (auto r = FindSessionDrive(path, ui, drive, options.paths); !r.ok()) return r;
  } else {
    if (!read.ok()) {
      ShowInvalid(ui);
      return Result(read.status == session::SessionLoadStatus::CantOpen ? ScanSessionStatus::CantOpen
                                                                         : ScanSessionStatus::Invalid,
                    read.error);
    }
    drive.sourcePath = options.source;
    drive.partition = trailer->partition;
  }
  DriveSettings settings;
  if (read.ok()) session::ReadDriveSettings(*trailer, settings);
  if (auto r = MountStored(session, drive, settings); !r.ok()) return r;
  return LoadIntoMounted(session, path, histories, navigation);
}

}  // namespace kestrova
