// A mounted volume as browsing, the hex view and recovery see it, whatever its
// file system: folders listed by handle, paths resolved, byte ranges read,
// an entry's data written to a sink. Each reader (FAT, exFAT, NTFS) provides
// one; the front ends reach readers only through this interface.
#pragma once

#include "common/fs_type.h"
#include "fs/dir_find.h"
#include "fs/output_sink.h"
#include "scan/display_filter.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrova {

struct WriteResult {
  bool complete = false;      // the whole size was written
  bool chainFallback = false; // the chain could not be followed: copied as contiguous clusters
};

// A RAW find is told apart by its first sector (the top bit keeps it apart from
// the ids of directory entries and records).
inline std::uint64_t RawEntryId(const ScanEntry& e) { return std::uint64_t{1} << 63 | e.RawFirstSector(); }
// A virtual folder ("RAW files", one of its type folders, "Lost files", a
// "Rebuild" folder) is told apart by the handle that lists it; bit 62 keeps it
// apart from RAW finds, and from records whose numbers equal a type row.
inline std::uint64_t VirtualEntryId(const ScanEntry& e) { return std::uint64_t{1} << 62 | VirtualFolderHandle(e); }

class FsReader {
 public:
  virtual ~FsReader() = default;
  virtual FsType Type() const = 0;
  virtual EntryHandle RootHandle() const = 0;
  // The entries of a folder that pass the filter (the folder's ".." first where there is one).
  virtual std::vector<FoundEntry> List(EntryHandle folder, const DisplayFilter& filter) = 0;
  // The handle that lists a folder entry: its first cluster on FAT and exFAT,
  // its record on NTFS, the marker of a virtual folder.
  virtual EntryHandle FolderHandle(const ScanEntry& folder) const = 0;
  // Tells entries apart (their folder and position on FAT and exFAT, their record on NTFS).
  virtual std::uint64_t EntryId(const ScanEntry& e) const = 0;
  // Writes the entry's data to the sink; updates the entry when its chain had to be given up.
  virtual WriteResult Write(ScanEntry& entry, OutputSink& sink, const RecoveryControl& control) = 0;
  // The same, with a deleted file taken from the clusters after its first one
  // that no other file holds, where the file system keeps no layout of its
  // own for it (FAT, exFAT). Elsewhere the same as Write.
  virtual WriteResult WriteDefragmented(ScanEntry& entry, OutputSink& sink, const RecoveryControl& control) {
    return Write(entry, sink, control);
  }
  // `length` bytes of the entry's data from `offset`, through the recovery
  // paths, without reading what lies before it. Short when the data ends or
  // cannot be read.
  virtual std::vector<std::uint8_t> ReadRange(const ScanEntry& entry, std::uint64_t offset, std::uint64_t length) = 0;

  // The entry's rating computed again from the volume as it is now (after a
  // scan has marked more clusters as taken), by the same rules as the listing:
  // the entry is read again in its folder. An entry no longer there, and
  // entries of the results model's lists, keep the rating they were listed with.
  virtual std::uint8_t Rate(const ScanEntry& entry) = 0;

  // A stream saved in place of the data, with the suffix of its file name
  // (NTFS encrypted files: ".efs"); nothing for ordinary entries.
  struct ExportPlan {
    std::u16string suffix;
    std::uint64_t size = 0;
  };
  virtual std::optional<ExportPlan> PlanExport(const ScanEntry&) { return std::nullopt; }
  virtual bool WriteExport(const ScanEntry&, OutputSink&, const RecoveryControl&) { return false; }

  // Whether the entry passes the filter by the rules of its own family.
  bool Shown(const ScanEntry& e, const std::u16string& name, const DisplayFilter& filter) const;
};

// What FAT and exFAT share: folders named by their first cluster, entries
// told apart by where their directory entry lies, ratings read again in the
// entry's own folder.
class ClusterFsReader : public FsReader {
 public:
  EntryHandle FolderHandle(const ScanEntry& folder) const override;
  std::uint64_t EntryId(const ScanEntry& e) const override {
    if (e.Kind() == EntryKind::Raw) return RawEntryId(e);
    if (e.Kind() == EntryKind::VirtualFolder) return VirtualEntryId(e);
    return std::uint64_t{e.FolderCluster()} << 32 | e.DirEntryOffset();
  }
  std::uint8_t Rate(const ScanEntry& entry) override;
};

// The rating of the entry as `folder` lists it now (found by EntryId);
// nothing when it is not there. Entries of the results model's own kinds
// (RAW finds, navigation, virtual folders) keep their rating.
std::optional<std::uint8_t> RateInFolder(FsReader& reader, EntryHandle folder, const ScanEntry& entry);

// The handles of the folders named by `components` (case-insensitive), the
// root first; the virtual folders sit at the root. Nothing when a component
// is not a folder of its parent.
std::optional<std::vector<EntryHandle>> FindFolder(FsReader& reader, const std::vector<std::u16string>& components);

}  // namespace kestrova
