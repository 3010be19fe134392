#include "cli/listing_output.h"

#include "common/text.h"
#include "scan/entry_ops.h"

#include <cctype>
#include <cstdio>

namespace kestrova::cli {

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

namespace {

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

}  // namespace

void PrintListedEntry(JsonWriter* jsonOut, FsType fs, const std::string& folderPath, const FoundEntry& f) {
  const ScanEntry& e = f.entry;
  const bool folder = IsFolder(e, fs);
  const std::string name = ToUtf8(f.name);
  const std::string path = folderPath + name;
  const std::string status = ListStatus(e, fs);
  // A virtual folder keeps its marker where a cluster would be: it has no cluster.
  const bool virtualFolder = e.Kind() == EntryKind::VirtualFolder;
  const std::uint64_t first = virtualFolder ? 0 : fs == FsType::Ntfs ? e.FirstLcn() : e.FirstCluster();
  if (jsonOut) {
    JsonWriter& json = *jsonOut;
    json.BeginObject();
    json.Key("path").String(path).Key("name").String(name).Key("size").Number(e.size);
    json.Key("folder").Bool(folder).Key("deleted").Bool(status != "existing");
    json.Key("status").String(status).Key("rating").Number(ShownRating(e));
    json.Key("firstCluster").Number(first).Key("date").String(DateText(e, fs));
    json.Key("type").String(TypeText(f.name, folder));
    if (fs == FsType::Ntfs) {
      json.Key("record").Number(e.recordNumber).Key("parent").Number(e.ParentRecord());
      json.Key("compressed").Bool(e.NtfsFlags() & kNtfsCompressed).Key("encrypted").Bool(e.NtfsFlags() & kNtfsEncrypted);
      json.Key("resident").Bool(e.resident == 1).Key("ntfsRating").Number(e.rating);
    }
    json.EndObject();
  } else {
    if (fs == FsType::Ntfs && virtualFolder) {
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
                static_cast<unsigned long long>(e.size), EscapeControls(TypeText(f.name, folder)).c_str(), DateText(e, fs).c_str(),
                ShownRating(e), e.Kind() == EntryKind::VirtualFolder ? "virtual" : (folder ? "folder" : "file"),
                static_cast<unsigned long long>(first), EscapeControls(path).c_str(), folder ? "/" : "");
  }
}

}  // namespace kestrova::cli
