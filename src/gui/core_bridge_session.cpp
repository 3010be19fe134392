// The bridge's scan-session calls: the core saves, checks and loads; the
// windows only choose files and show progress.
#include "gui/core_bridge.h"

#include "common/text.h"


namespace kestrova::gui {

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
  return kestrova::SessionIsOfMountedVolume(session_, path);
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
