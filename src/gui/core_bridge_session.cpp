// The bridge's scan-session calls: the core saves, checks and loads; the
// windows only choose files and show progress.
#include "gui/core_bridge.h"

#include "common/text.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace kestrova::gui {

namespace {

std::string Canonical(const std::string& path) {
  std::error_code ec;
  const auto p = std::filesystem::canonical(path, ec);
  return ec ? path : p.string();
}

bool IsRegularFile(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

}  // namespace

void CoreBridge::KeepLoaded(session::SessionHistories histories) {
  loadedHistories_ = std::move(histories);
  resumePending_ = true;
  const session::SessionTrailer& t = session_.sessionTrailer();
  loadedFolder_ = t.pathItemCount ? session::TrailerText(t.pathItems[0]) : std::u16string();
}

ScanSessionResult CoreBridge::SaveSession(const std::string& path, const session::SessionHistories& histories) {
  return SaveScanSession(session_, path, histories);
}

ScanSessionResult CoreBridge::FindSessionDrive(const std::string& path, SessionDrive& drive) {
  return kestrova::FindSessionDrive(path, session_.ui(), drive);
}

ScanSessionResult CoreBridge::LoadSession(const std::string& path, const std::string& source) {
  searchReader_.reset();  // it names the volume being replaced
  LoadScanOptions options;
  options.source = source;
  session::SessionHistories histories;
  const std::lock_guard lock(readerMutex_);
  const ScanSessionResult r = LoadScanSession(session_, path, options, &histories);
  if (r.ok()) {
    KeepLoaded(std::move(histories));
  }
  return r;
}

ScanSessionResult CoreBridge::LoadSessionIntoMounted(const std::string& path) {
  session::SessionHistories histories;
  // The thumbnails and the search read through the same lists: they wait.
  const std::lock_guard lock(readerMutex_);
  const ScanSessionResult r = LoadIntoMounted(session_, path, &histories);
  if (r.ok()) {
    KeepLoaded(std::move(histories));
  }
  return r;
}

bool CoreBridge::SessionIsOfMountedVolume(const std::string& path) {
  if (!session_.hasResults()) return false;
  auto trailer = std::make_unique<session::SessionTrailer>();
  if (!session::ReadSessionTrailer(path, *trailer).ok()) return false;
  const DriveEntry& mounted = session_.mountedEntry();
  if (trailer->partition.start != mounted.start || trailer->partition.sectors != mounted.sectors) return false;
  // Results of a volume mounted another way (a forced file system or cluster
  // size, damaged or reverse mode) must be read with that mount: the start
  // window mounts it again with the stored settings.
  DriveSettings stored;
  if (!session::ReadDriveSettings(*trailer, stored)) return false;
  const DriveSettings& now = session_.mountSettings();
  const bool forcedAlike = stored.overrideFs == now.overrideFs &&
                           (!stored.overrideFs || (stored.fsChoice == now.fsChoice &&
                                                   stored.clusterChoice == now.clusterChoice &&
                                                   stored.fatChoice == now.fatChoice));
  if (!forcedAlike || stored.damaged != now.damaged || stored.reverse != now.reverse ||
      stored.rawAnalyze != now.rawAnalyze || stored.manualStart != now.manualStart ||
      stored.manualCount != now.manualCount)
    return false;
  const std::string image = ToUtf8(session::TrailerText(trailer->imagePath));
  const std::string source = session_.sourcePath();
  if (!image.empty()) return Canonical(image) == Canonical(source);
  // A device: the same volume identity, and not an image now.
  return !IsRegularFile(source) && trailer->driveIdentity == mounted.serial;
}

bool CoreBridge::SessionReadsBack(const std::string& path) {
  session::SessionLoadLimits limits;
  limits.amapBytes = session::SessionLoadLimits::kAnyMap;
  limits.ui = &session_.ui();
  session::LoadedSession loaded;
  return session::LoadSessionFile(path, limits, loaded).ok();
}

std::unique_ptr<VolumeScan> CoreBridge::ResumeLoadedScan(bool& paused, bool& complete) {
  paused = complete = false;
  if (!resumePending_ || !session_.hasResults()) return nullptr;
  resumePending_ = false;
  const session::SessionTrailer& t = session_.sessionTrailer();
  complete = t.scanComplete != 0;
  paused = t.paused != 0;
  return ResumeScan(session_);
}

void CoreBridge::SetSessionExplorerState(const std::vector<std::u16string>& favorites,
                                         const std::vector<std::u16string>& pathItems) {
  if (!session_.hasResults()) return;
  session::ExplorerNavigation navigation;
  navigation.favorites = favorites;
  for (const std::u16string& text : pathItems) navigation.pathItems.push_back({0, {}, text});
  session::StoreNavigation(navigation, session_.sessionTrailer());
}

std::vector<std::u16string> CoreBridge::SessionFavorites() {
  if (!session_.hasResults()) return {};
  return session::ReadNavigation(session_.sessionTrailer()).favorites;
}

}  // namespace kestrova::gui
