// "ls SOURCE [--partition N] [PATH]": a folder of a FAT, exFAT or NTFS volume as the
// explorer lists it, deleted entries included; --recursive walks the tree.
#include "cli/commands.h"
#include "cli/json_writer.h"
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

const char* ListStatus(const ScanEntry& e, FsType fs) {
  if (fs == FsType::Ntfs && e.Kind() != EntryKind::VirtualFolder && e.Kind() != EntryKind::ParentLink) {
    // NTFS keeps the state in the rating: 200 the record is in use, 100 the
    // data is all still free (or resident), below 100 partly reused.
    if (e.rating == rating::kInUse) return "existing";
    if (e.rating < rating::kIntact) return "overwritten";
    return "deleted";
  }
  switch (e.Kind()) {
    case EntryKind::Overwritten: return "overwritten";
    case EntryKind::NotDetected: return "notdetected";
    case EntryKind::FolderVerified: return "folderverified";
    default: return (e.DeletedMark() == 1 || e.clusterInUse == 0) ? "deleted" : "existing";
  }
}

// The rating as the list shows it: 200 as 100, 255 as 110.
unsigned ShownRating(const ScanEntry& e) {
  if (e.rating == rating::kInUse) return 100;
  if (e.rating == rating::kRawClosed) return 110;
  return e.rating;
}

// The list's date column: FAT DOS date, exFAT date and time.
std::string DateText(const ScanEntry& e, FsType fs) {
  if (e.Kind() == EntryKind::Raw || e.kind >= static_cast<std::uint8_t>(EntryKind::ParentLink)) return "";
  char buf[32];
  if (fs == FsType::Ntfs) {
    CivilTime t;
    if (!FileTimeToCivil(e.FileTime(), t)) return "";
    std::snprintf(buf, sizeof buf, "%d-%.2d-%.2d %.2d:%.2d", t.year, t.month, t.day, t.hour, t.minute);
    return buf;
  }
  if (fs == FsType::Exfat) {
    const std::uint32_t t = e.ExfatTime();
    if (t == 0) return "";
    std::snprintf(buf, sizeof buf, "%u-%.2u-%.2u %.2u:%.2u", (t >> 25) + 1980u, (t >> 21) & 0x0Fu, (t >> 16) & 0x1Fu,
                  (t >> 11) & 0x1Fu, (t >> 5) & 0x3Fu);
    return buf;
  }
  const std::uint16_t d = e.FatDate();
  if (d == 0) return "";
  std::snprintf(buf, sizeof buf, "%u-%.2u-%.2u", (d >> 9) + 1980u, (d >> 5) & 0x0Fu, d & 0x1Fu);
  return buf;
}

std::string TypeText(const std::u16string& name, bool folder) {
  if (folder) return "";
  const auto dot = name.rfind(u'.');
  if (dot == std::u16string::npos || dot + 1 == name.size()) return "";
  std::string ext = ToUtf8(name.substr(dot + 1));
  for (char& c : ext) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return ext;
}

struct Lister {
  FsReader& volume;
  const LsOptions& o;
  DisplayFilter filter;
  JsonWriter json;
  std::size_t printed = 0;

  void Print(const std::string& folderPath, const FoundEntry& f) {
    const ScanEntry& e = f.entry;
    const bool folder = IsFolder(e, volume.Type());
    const std::string name = ToUtf8(f.name);
    const std::string path = folderPath + name;
    const FsType fs = volume.Type();
    const std::string status = ListStatus(e, fs);
    const std::uint64_t first = fs == FsType::Ntfs ? e.FirstLcn() : e.FirstCluster();
    if (o.deletedOnly && status == "existing") return;
    ++printed;
    if (o.json) {
      json.BeginObject();
      json.Key("path").String(path).Key("name").String(name).Key("size").Number(e.size);
      json.Key("folder").Bool(folder).Key("deleted").Bool(status != "existing");
      json.Key("status").String(status).Key("rating").Number(ShownRating(e));
      json.Key("firstCluster").Number(first).Key("date").String(DateText(e, volume.Type()));
      json.Key("type").String(TypeText(f.name, folder));
      if (fs == FsType::Ntfs) {
        json.Key("record").Number(e.recordNumber).Key("parent").Number(e.ParentRecord());
        json.Key("compressed").Bool(e.NtfsFlags() & kNtfsCompressed).Key("encrypted").Bool(e.NtfsFlags() & kNtfsEncrypted);
        json.Key("resident").Bool(e.resident == 1).Key("ntfsRating").Number(e.rating);
      }
      json.EndObject();
    } else {
      if (fs == FsType::Ntfs && e.Kind() == EntryKind::VirtualFolder) {
        std::printf("%22s", "");
      } else if (fs == FsType::Ntfs) {
        // Record and parent, then C compressed, E encrypted, R resident.
        std::string marks;
        if (e.NtfsFlags() & kNtfsCompressed) marks += 'C';
        if (e.NtfsFlags() & kNtfsEncrypted) marks += 'E';
        if (e.resident == 1) marks += 'R';
        std::printf("%8llu %8llu %-3s ", static_cast<unsigned long long>(e.recordNumber),
                    static_cast<unsigned long long>(e.ParentRecord()), marks.c_str());
      }
      // Names from the disk are hostile: control characters are shown, not sent to the terminal.
      std::printf("%-12s %12llu %-5s %-16s %3u %-14s %10llu  %s%s\n", status.c_str(),
                  static_cast<unsigned long long>(e.size), EscapeControls(TypeText(f.name, folder)).c_str(), DateText(e, volume.Type()).c_str(),
                  ShownRating(e), e.Kind() == EntryKind::VirtualFolder ? "virtual" : (folder ? "folder" : "file"),
                  static_cast<unsigned long long>(first), EscapeControls(path).c_str(), folder ? "/" : "");
    }
  }

  // Lists one folder; `stack` holds the clusters of the folders being walked,
  // so a crafted ".." or a cluster loop can never recurse forever.
  void Walk(EntryHandle handle, const std::string& path, std::set<EntryHandle>& stack, bool root) {
    std::vector<FoundEntry> entries = volume.List(handle, filter);
    std::stable_partition(entries.begin(), entries.end(),
                          [&](const FoundEntry& f) { return IsFolder(f.entry, volume.Type()); });
    for (const FoundEntry& f : entries) {
      if (f.dotEntry || f.entry.attributes == 0x08 || f.entry.attributes == 0x28) continue;
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

int RunLs(const LsOptions& o) {
  BrowseSession session;
  session.collectMft = !o.noMft;
  session.scanFirst = o.scan;
  if (int code = session.Open(o.source, o.partition, "ls"); code != kExitOk) return code;
  Lister lister{*session.volume, o, {}, {}, 0};
  if (!o.mask.empty()) {
    lister.filter.flags = show::kMasks | show::kOverwritten | show::kNotDetected | show::kDeleted | show::kExisting |
                          show::kFiles | show::kFolders | show::kEncrypted | show::kCompressed | show::kDollarNames;
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
