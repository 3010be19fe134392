// The folders the program works in, the per-user store of the folder values
// (sp, tp, spath), and the checks of the configuration-folders dialog with the
// overwrite protection of both folders. All folder strings end with '/'.
#pragma once

#include "common/ui.h"
#include "device/device_identity.h"
#include "resources/strings.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova {

// "key=value" lines in a per-user file; opening creates it.
class UserRegistry {
 public:
  explicit UserRegistry(std::string file);
  // $XDG_CONFIG_HOME/kestrova/registry, or ~/.config/kestrova/registry.
  static std::string DefaultPath();
  // A value that is stored but empty reads as absent.
  std::optional<std::string> Read(std::string_view name) const;
  bool Write(std::string_view name, std::string_view value);
  const std::string& file() const { return file_; }

 private:
  std::string file_;
  std::map<std::string, std::string, std::less<>> values_;
};

inline constexpr std::string_view kSettingsFileName = "Kestrova.cfg";

struct AppFolders {
  std::string application;  // the running executable's folder
  std::string settings;     // empty: no settings file is used
  std::string temp;
  std::string reports;
  std::string language;
  std::vector<std::string> notes;  // fallbacks taken, for the log
  std::string SettingsFile() const { return settings.empty() ? std::string() : settings + std::string(kSettingsFileName); }
};

// The executable's folder (from /proc/self/exe), with a trailing '/'.
std::string ExecutableFolder();
// Adds the trailing '/' when missing.
std::string WithSeparator(std::string folder);

// Start-up: folders from the registry values and the application folder.
// Values naming folders that no longer exist count as unset. Folders the
// program creates fall back to per-user locations when the application
// folder is not writable (an installed program's usually is not).
AppFolders ResolveFolders(const std::string& applicationFolder, const UserRegistry& registry);

// The reports folder alone (created): application folder + "reports/", or the
// per-user state folder when that is not writable.
std::string ReportsFolder(const std::string& applicationFolder, std::vector<std::string>* notes = nullptr);

enum class FolderKind { Settings, Temporary };

struct FolderCheck {
  bool ok = false;
  std::string stored;        // the value to store (with '/'), "" for an empty field
  StringId message{};        // when not ok
  StringId caption{};
  MsgIcon icon = MsgIcon::Information;
};

// The four checks of the dialog for one field: a full path, not on the
// device opened for recovery, created with its parents, writable (a probe
// file "x.dat" or "y.dat" is created and deleted).
FolderCheck CheckConfigFolder(FolderKind kind, const std::string& field, const SourceIdentity& opened);
// Runs the check, shows its message and stores the value ("sp" or "tp") when it passes.
bool ApplyConfigFolder(FolderKind kind, const std::string& field, const SourceIdentity& opened, UserRegistry& registry,
                       Ui& ui);

// When a device is opened for recovery: a temporary or settings folder on it
// is cleared for this run, with a warning each.
void ProtectFolders(AppFolders& folders, const SourceIdentity& opened, Ui& ui);

}  // namespace kestrova
