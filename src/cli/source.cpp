#include "cli/source.h"

#include "cli/commands.h"

#include <cstdio>
#include <sys/stat.h>

namespace kestrova::cli {

bool SourceRequest(const std::string& source, OpenRequest& request) {
  struct stat st {};
  if (::stat(source.c_str(), &st) != 0) {
    std::fprintf(stderr, "kestrova-cli: cannot open %s: no such file or device\n", source.c_str());
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "kestrova-cli: %s is a folder, not an image file or a device\n", source.c_str());
    return false;
  }
  if (S_ISBLK(st.st_mode))
    request.volumePath = source;
  else
    request.imagePath = source;
  return true;
}

int OpenSource(const std::string& source, std::uint64_t start, std::uint64_t count, SectorDevice& device,
               const DriveTables& tables, Ui& ui, OpenedVolume& opened) {
  OpenRequest request;
  if (!SourceRequest(source, request)) return kExitCantOpen;
  request.start = start;
  request.count = count;
  if (!OpenDevice(device, tables, ui, request, opened)) return kExitCantOpen;
  if (!opened.raw.bootSectorRead) {
    std::fprintf(stderr, "kestrova-cli: sector %llu of %s cannot be read\n", static_cast<unsigned long long>(start),
                 source.c_str());
    return kExitCantOpen;
  }
  return kExitOk;
}

}  // namespace kestrova::cli
