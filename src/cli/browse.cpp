#include "cli/browse.h"

#include "cli/commands.h"
#include "common/text.h"
#include "common/worker_thread.h"
#include "fs/ntfs/mft_collection.h"
#include "volume/fs_names.h"

#include <cstdio>

namespace kestrova::cli {

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

int BrowseSession::Open(const std::string& source, std::size_t partition, const char* command) {
  if (int code = src.Open(source); code != kExitOk) return code;
  if (partition == 0) {
    if (src.rows.size() != 1) {
      std::fprintf(stderr, "kestrova-cli: %s has %zu volumes; choose one with --partition (see 'partitions')\n",
                   source.c_str(), src.rows.size());
      return src.rows.empty() ? kExitNotFound : kExitUsage;
    }
    partition = 1;
  }
  if (partition > src.rows.size()) {
    std::fprintf(stderr, "kestrova-cli: --partition takes 1..%zu\n", src.rows.size());
    return kExitUsage;
  }
  DriveEntry entry = src.rows[partition - 1].entry;
  OpenedVolume opened;
  if (int code = src.OpenVolume(source, entry, opened); code != kExitOk) return code;
  DriveSettings settings;
  const MountHooks fatHooks = fat.Hooks(settings);
  const MountHooks exfatHooks = exfat.Hooks(settings);
  const MountHooks ntfsHooks = ntfs.Hooks(settings);
  hooks = fatHooks;
  hooks.locateExfat = exfatHooks.locateExfat;
  hooks.loadTables = [fatLoad = fatHooks.loadTables, exfatLoad = exfatHooks.loadTables,
                      ntfsLoad = ntfsHooks.loadTables](SectorDevice& d, MountedVolume& m) {
    if (d.fsType == FsType::Exfat) return exfatLoad(d, m);
    if (d.fsType == FsType::Ntfs) return ntfsLoad(d, m);
    return fatLoad(d, m);
  };
  MountRequest mount;
  mount.depth = 1;
  mount.partitionCount = entry.sectors;
  mount.hooks = &hooks;
  if (!MountVolume(src.device, src.ui, mount, opened, mounted)) {
    std::fprintf(stderr, "kestrova-cli: the volume cannot be mounted\n");
    return kExitNotFound;
  }
  lists = std::make_unique<ResultLists>(&src.ui);
  if (IsFatFamily(src.device.fsType) && fat.volume.IsFat()) {
    fatContext = std::make_unique<FatContext>(FatContext{src.device, fat.volume, lists.get(), nullptr, true});
    volume = std::make_unique<FatRecoverable>(*fatContext);
  } else if (src.device.fsType == FsType::Exfat && exfat.volume.mounted) {
    exfatContext = std::make_unique<ExfatContext>(ExfatContext{src.device, exfat.volume, lists.get(), nullptr});
    volume = std::make_unique<ExfatRecoverable>(*exfatContext);
  } else if (src.device.fsType == FsType::Ntfs && ntfs.volume.mounted) {
    ntfsContext.reset(new NtfsContext{src.device, ntfs.volume, lists.get()});
    ntfsContext->ui = &src.ui;
    // The collection thread; the command line has no dialog to stop it early.
    if (collectMft) {
      WorkerToken collection;
      WorkerThread thread(collection, [&](WorkerToken& token) { RunMftCollection(*ntfsContext, src.ui, token); });
      thread.Join();
    }
    volume = std::make_unique<NtfsRecoverable>(*ntfsContext);
  } else {
    std::fprintf(stderr, "kestrova-cli: %s reads FAT12/16/32, exFAT and NTFS volumes; this one is %s\n", command,
                 ToUtf8(FsTypeName(src.device.fsType)).c_str());
    return kExitNotFound;
  }
  return kExitOk;
}

}  // namespace kestrova::cli
