#include "shell/folders.h"
#include "common/activity.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace kestrova {
namespace {

namespace fs = std::filesystem;

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::string(v) : fallback;
}

std::string Home() { return EnvOr("HOME", "/tmp"); }

bool IsFolder(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::is_directory(path, ec);
}

// Creates a folder with its parents and proves it writable with a probe file.
bool MakeWritable(const std::string& folder, const std::string& probeName) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (!IsFolder(folder)) return false;
  const std::string probe = folder + probeName;
  {
    std::ofstream out(probe, std::ios::binary | std::ios::trunc);
    if (!out) return false;
  }
  return ::unlink(probe.c_str()) == 0;
}

// The folder under the application folder, or the per-user fallback.
std::string CreatedFolder(const std::string& preferred, const std::string& fallback, const char* what,
                          std::vector<std::string>& notes) {
  if (MakeWritable(preferred, ".probe")) return preferred;
  notes.push_back(std::string(what) + " folder " + preferred + " is not writable; using " + fallback);
  MakeWritable(fallback, ".probe");
  return fallback;
}

}  // namespace

std::string WithSeparator(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder.push_back('/');
  return folder;
}

UserRegistry::UserRegistry(std::string file) : file_(std::move(file)) {
  std::error_code ec;
  fs::create_directories(fs::path(file_).parent_path(), ec);
  std::ifstream in(file_);
  if (!in) {
    std::ofstream create(file_, std::ios::app);  // opening the key creates it
    return;
  }
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    values_.emplace(line.substr(0, eq), line.substr(eq + 1));
  }
}

std::string UserRegistry::DefaultPath() {
  return EnvOr("XDG_CONFIG_HOME", Home() + "/.config") + "/kestrova/registry";
}

std::optional<std::string> UserRegistry::Read(std::string_view name) const {
  const auto it = values_.find(name);
  if (it == values_.end() || it->second.empty()) return std::nullopt;
  return it->second;
}

bool UserRegistry::Write(std::string_view name, std::string_view value) {
  values_[std::string(name)] = std::string(value);
  std::ofstream out(file_, std::ios::trunc);
  for (const auto& [k, v] : values_) out << k << '=' << v << '\n';
  return static_cast<bool>(out.flush());
}

std::string ExecutableFolder() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return WithSeparator(fs::current_path(ec).string());
  return WithSeparator(exe.parent_path().string());
}

AppFolders ResolveFolders(const std::string& applicationFolder, const UserRegistry& registry) {
  ActivityMark activity(Fn::ResolveFolders);
  AppFolders f;
  f.application = WithSeparator(applicationFolder);
  // "spath" is read into the settings folder too; "sp" is the value the dialog stores and wins.
  for (const char* name : {"spath", "sp"}) {
    if (auto v = registry.Read(name); v && IsFolder(*v)) f.settings = WithSeparator(*v);
  }
  const std::string cacheHome = EnvOr("XDG_CACHE_HOME", Home() + "/.cache") + "/kestrova/";
  if (auto v = registry.Read("tp"); v && IsFolder(*v)) {
    f.temp = WithSeparator(*v);
  } else {
    f.temp = CreatedFolder(f.application + "Temp/", cacheHome + "Temp/", "temporary", f.notes);
  }
  f.reports = ReportsFolder(f.application, &f.notes);
  f.language = f.application + "language/";
  // An installed program keeps its languages in share/, beside bin/.
  const std::string shared = WithSeparator((fs::path(f.application) / ".." / "share" / "kestrova" / "language").lexically_normal().string());
  if (!IsFolder(f.language) && IsFolder(shared)) f.language = shared;
  return f;
}

std::string ReportsFolder(const std::string& applicationFolder, std::vector<std::string>* notes) {
  std::vector<std::string> ignored;
  const std::string stateHome = EnvOr("XDG_STATE_HOME", Home() + "/.local/state") + "/kestrova/";
  return CreatedFolder(WithSeparator(applicationFolder) + "reports/", stateHome + "reports/", "reports",
                       notes ? *notes : ignored);
}

FolderCheck CheckConfigFolder(FolderKind kind, const std::string& field, const SourceIdentity& opened) {
  ActivityMark activity(Fn::CheckConfigFolder);
  const bool settings = kind == FolderKind::Settings;
  FolderCheck r;
  if (field.empty()) {
    r.ok = true;
    return r;
  }
  auto fail = [&](StringId message, StringId caption, MsgIcon icon) {
    r.message = message;
    r.caption = caption;
    r.icon = icon;
    return r;
  };
  const std::string folder = WithSeparator(field);
  if (folder.front() != '/' || !IsFolder("/")) {
    return fail(settings ? StringId::PleaseEnterFullPathSettings : StringId::PleaseEnterFullPathTemp,
                StringId::Caption, MsgIcon::Information);
  }
  if (PathIsOnSource(folder, opened)) {
    return fail(settings ? StringId::SettingsFolderOnOpenedDrive : StringId::TemporaryFolderOnOpenedDrive,
                StringId::CaptionOverwriteProtection, MsgIcon::Warning);
  }
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (!IsFolder(folder)) {
    return fail(settings ? StringId::CantCreateAccessFolderSettings : StringId::CantCreateAccessFolderTemp,
                StringId::FolderAccessProblem, MsgIcon::Error);
  }
  if (!MakeWritable(folder, settings ? "x.dat" : "y.dat")) {
    return fail(settings ? StringId::AccessDeniedFolderSettings : StringId::AccessDeniedFolderTemp,
                StringId::PermissionsProblem, MsgIcon::Error);
  }
  r.ok = true;
  r.stored = folder;
  return r;
}

bool ApplyConfigFolder(FolderKind kind, const std::string& field, const SourceIdentity& opened, UserRegistry& registry,
                       Ui& ui) {
  const FolderCheck r = CheckConfigFolder(kind, field, opened);
  if (!r.ok) {
    ui.MessageBox(Text(r.message), Text(r.caption), r.icon, MsgButtons::Ok);
    return false;
  }
  return registry.Write(kind == FolderKind::Settings ? "sp" : "tp", r.stored);
}

void ProtectFolders(AppFolders& folders, const SourceIdentity& opened, Ui& ui) {
  ActivityMark activity(Fn::ProtectFolders);
  if (!folders.temp.empty() && PathIsOnSource(folders.temp, opened)) {
    folders.temp.clear();
    ui.MessageBox(Text(StringId::BlockingTemporary), Text(StringId::CaptionOverwriteProtection), MsgIcon::Warning,
                  MsgButtons::Ok);
  }
  if (!folders.settings.empty() && PathIsOnSource(folders.settings, opened)) {
    folders.settings.clear();
    ui.MessageBox(Text(StringId::BlockingSettings), Text(StringId::CaptionOverwriteProtection), MsgIcon::Warning,
                  MsgButtons::Ok);
  }
}

}  // namespace kestrova
