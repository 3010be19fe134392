// "ls SOURCE [--partition N] [PATH]": a folder of a FAT, exFAT or NTFS volume as the
// explorer lists it, deleted entries included; --recursive walks the tree.
#include "cli/commands.h"
#include "cli/json_writer.h"
#include "cli/listing_output.h"
#include "cli/browse.h"
#include "cli/source.h"
#include "cli/terminal_ui.h"
#include "common/text.h"
#include "fs/fat/fat_find.h"
#include "scan/entry_ops.h"
#include "scan/virtual_folders.h"
#include "volume/fs_names.h"
#include "volume/list_partitions.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace kestrova::cli {
namespace {

struct Lister {
  FsReader& volume;
  const LsOptions& o;
  DisplayFilter filter;
  JsonWriter json;
  std::size_t printed = 0;

  void Print(const std::string& folderPath, const FoundEntry& f) {
    if (o.deletedOnly && std::string(ListStatus(f.entry, volume.Type())) == "existing") return;
    ++printed;
    PrintListedEntry(o.json ? &json : nullptr, volume.Type(), folderPath, f);
  }

  // Lists one folder; `stack` holds the clusters of the folders being walked,
  // so a crafted ".." or a cluster loop can never recurse forever.
  void Walk(EntryHandle handle, const std::string& path, std::set<EntryHandle>& stack, bool root) {
    // A walk lists folders even where the filter hides them, to reach what they hold.
    DisplayFilter listed = filter;
    if (o.recursive && listed.flags != show::kEverything) listed.flags |= show::kFolders;
    std::vector<FoundEntry> entries = volume.List(handle, listed);
    std::stable_partition(entries.begin(), entries.end(),
                          [&](const FoundEntry& f) { return IsFolder(f.entry, volume.Type()); });
    for (const FoundEntry& f : entries) {
      if (f.dotEntry || f.entry.attributes == 0x08 || f.entry.attributes == 0x28) continue;
      if (!volume.Shown(f.entry, f.name, filter)) continue;
      Print(path, f);
    }
    if (root) {
      // The virtual folders of the results model, as the explorer shows them at the root.
      for (std::uint32_t marker : {kLostFilesMarker, kRawFilesMarker, kRebuildMarker}) {
        FoundEntry v;
        v.entry = MakeVirtualFolderEntry(marker);
        v.name = VirtualFolderName(marker);
        if (!o.deletedOnly) Print(path, v);
      }
    }
    if (!o.recursive) return;
    for (const FoundEntry& f : entries) {
      const ScanEntry& e = f.entry;
      const EntryHandle cluster = volume.FolderHandle(e);
      if (!IsFolder(e, volume.Type()) || f.dotEntry || e.Kind() == EntryKind::Overwritten || cluster < 2 ||
          stack.count(cluster))
        continue;
      stack.insert(cluster);
      Walk(cluster, path + ToUtf8(f.name) + "/", stack, false);
      stack.erase(cluster);
    }
  }
};

}  // namespace

int RunLs(const LsOptions& options) {
  LsOptions o = options;
  // With a session the drive comes from it: the one positional is the PATH.
  if (!o.session.empty() && !o.source.empty() && o.path.empty()) std::swap(o.source, o.path);
  if (o.session.empty() && o.source.empty()) {
    std::fprintf(stderr, "kestrova-cli: ls needs SOURCE or --session FILE\n");
    return kExitUsage;
  }
  BrowseSession session;
  session.collectMft = !o.noMft;
  session.scanFirst = o.scan;
  session.atSector = o.atSector;
  session.sector = o.sector;
  session.count = o.count;
  const int code = o.session.empty() ? session.Open(o.source, o.partition, "ls") : session.OpenSession(o.session, o.device);
  if (code != kExitOk) return code;
  Lister lister{*session.volume, o, {}, {}, 0};
  if (!o.mask.empty()) {
    lister.filter.flags = show::kMasks | show::kOverwritten | show::kNotDetected | show::kDeleted | show::kExisting |
                          show::kFiles | show::kFolders | show::kEncrypted | show::kCompressed | show::kDollarNames;
    lister.filter.masks = DisplayFilter::SplitMasks(ToUtf16(o.mask));
  }
  if (!o.status.empty()) {
    std::string bad;
    if (!ParseStatusList(o.status, lister.filter.flags, bad)) {
      std::fprintf(stderr, "kestrova-cli: --status: unknown status \"%s\"\n", EscapeControls(bad).c_str());
      return kExitUsage;
    }
    lister.filter.masks = DisplayFilter::SplitMasks(ToUtf16(o.mask));
  }

  // PATH: "/"-separated from the volume root.
  std::vector<std::u16string> components;
  std::string shown = "/";
  for (const std::string& part : PathComponents(o.path)) {
    components.push_back(ToUtf16(part));
    shown += part + "/";
  }
  const auto resolved = FindFolder(*session.volume, components);
  if (!resolved) {
    std::fprintf(stderr, "kestrova-cli: no folder %s on this volume\n", o.path.c_str());
    return kExitNotFound;
  }
  const EntryHandle handle = resolved->back();
  std::set<EntryHandle> stack(resolved->begin(), resolved->end());
  if (o.json) lister.json.BeginArray();
  lister.Walk(handle, shown, stack, resolved->size() == 1);
  if (o.json) {
    lister.json.EndArray();
    std::printf("%s\n", lister.json.str().c_str());
  }
  return kExitOk;
}

}  // namespace kestrova::cli
