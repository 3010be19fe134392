// "diag snapshot": the activity snapshot the GUI writes on Ctrl+Shift+F12.
#include "cli/commands.h"
#include "shell/diagnostics.h"
#include "shell/folders.h"

#include <cstdio>
#include <filesystem>

namespace kestrova::cli {

int RunDiagSnapshot(const DiagOptions& o) {
  std::string folder = o.folder.empty() ? ReportsFolder(ExecutableFolder()) : WithSeparator(o.folder);
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  ReportAccumulator text;
  char path[512] = {};
  if (!WriteActivitySnapshot((folder + kReportBaseName).c_str(), &text, path)) {
    std::fprintf(stderr, "kestrova-cli: cannot write a report in %s\n", folder.c_str());
    return kExitCantOpen;
  }
  std::printf("%s\n%s", path, text.Text().c_str());
  return kExitOk;
}

}  // namespace kestrova::cli
