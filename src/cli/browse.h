// A listed volume of SOURCE mounted for browsing and recovery (FAT or exFAT):
// shared by "ls" and "recover".
#pragma once

#include "cli/source.h"
#include "fs/exfat/exfat_volume.h"
#include "fs/fat/fat_volume.h"
#include "fs/ntfs/ntfs_volume.h"
#include "recovery/recoverable_volume.h"

#include <memory>
#include <string>
#include <vector>

namespace kestrova::cli {

struct BrowseSession {
  ListedSource src;
  FatReader fat;
  ExfatReader exfat;
  NtfsReader ntfs;
  MountHooks hooks;
  MountedVolume mounted;
  std::unique_ptr<ResultLists> lists;
  std::unique_ptr<FatContext> fatContext;
  std::unique_ptr<ExfatContext> exfatContext;
  std::unique_ptr<NtfsContext> ntfsContext;
  std::unique_ptr<RecoverableVolume> volume;
  bool collectMft = true;  // NTFS: fill the lost-files list from the MFT when opening

  // Lists SOURCE, opens volume `partition` (0: the only one) and mounts it.
  // Returns an exit code, having printed why on failure.
  int Open(const std::string& source, std::size_t partition, const char* command);
};

// "/a/b" -> {"a", "b"}.
std::vector<std::string> PathComponents(const std::string& path);

}  // namespace kestrova::cli
