// NTFS records as result entries: parsing a record, collecting the whole MFT
// into the lost-files list, folders built from that list by parent reference,
// and the data of an entry read through its runs.
#pragma once

#include "common/worker_token.h"
#include "fs/dir_find.h"
#include "fs/ntfs/ntfs_record.h"
#include "fs/ntfs/ntfs_volume.h"
#include "fs/output_sink.h"

#include <atomic>
#include <functional>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kestrova {

inline constexpr std::uint64_t kNtfsRootRecord = 5;

// Sorted (reference, position) pairs of the lost-files list, by parent and by
// record number, so a folder listing does not scan the whole list. Rebuilt
// when the list has grown; used only under the list's lock.
struct NtfsListIndex {
  std::size_t indexed = 0;
  std::vector<std::pair<std::uint64_t, std::size_t>> byParent;
  std::vector<std::pair<std::uint64_t, std::size_t>> byRecord;
};

// Records without $STANDARD_INFORMATION seen while parsing: extension records
// of some attribute list, kept for when the MFT gives another record in their
// place (a damaged or reused MFT). Bounded.
struct NtfsSideRecords {
  static constexpr std::size_t kMax = 16384;
  std::mutex lock;
  std::vector<std::vector<std::uint8_t>> records;
};

struct NtfsContext {
  SectorDevice& device;
  NtfsVolume& volume;
  ResultLists* lists = nullptr;
  NtfsListIndex index{};
  NtfsSideRecords side{};
  Ui* ui = nullptr;  // for the messages of parsing (none in tests and fuzzing)
  std::atomic<bool> overflowShown{false};  // the overflow message, once per volume
};

// Record `number` of the MFT; when the MFT holds another record there, a copy
// of the wanted one from the side list, if one was seen.
bool ReadRecordByNumber(NtfsContext& ctx, std::uint64_t number, std::vector<std::uint8_t>& out);

struct ParsedRecord {
  ScanEntry entry = MakeScanEntry();
  std::u16string name;
};

// A record (fixed up here) that lies in `cluster`. True when it is usable: a
// folder, or a file with data.
bool ParseFileRecord(NtfsContext& ctx, std::span<std::uint8_t> record, std::uint64_t cluster, ParsedRecord& out);

// Every usable record of the MFT appended to the lost-files list with its name.
// With a token: stops after the current record when asked, parks between
// blocks while paused, and counts records done and entries added on it.
// Returns the entries added.
std::size_t CollectMft(NtfsContext& ctx, Ui& ui, WorkerToken* token = nullptr);

// The entries whose parent is `record` (record 5: the root), after a ".." link.
std::vector<FoundEntry> ListNtfsFolder(NtfsContext& ctx, EntryHandle record, const DisplayFilter& filter = {});

// The entry's record read again from where it was found, and its unnamed
// $DATA. A large fragmented file keeps its runs in several extents: in the
// base record and in the extension records its attribute list names. All are
// gathered, in VCN order; `data` is the first extent (size, flags, or the
// resident value).
struct EntryData {
  std::vector<std::uint8_t> record, extension;
  bool inExtension = false;
  AttributeRef data;
  std::vector<DataRun> runs;  // every extent's runs, from VCN 0 without gaps
  // False when an extent is missing (an extension record reused, or a list
  // shortened when the file was deleted): the runs stop before the data's end.
  bool complete = true;
  std::span<const std::uint8_t> holder() const { return inExtension ? extension : record; }
};
std::optional<EntryData> ReadEntryData(NtfsContext& ctx, const ScanEntry& entry);
// The same from a record already read and fixed up (`number`: its record number).
std::optional<EntryData> GatherEntryData(NtfsContext& ctx, std::vector<std::uint8_t> record, std::uint64_t number);

// The attribute list of a fixed-up record (resident, or read through its
// runs); empty without one.
std::vector<std::uint8_t> AttributeListOf(NtfsContext& ctx, std::span<const std::uint8_t> record);

// Calls `f(type, name, reference)` for each attribute-list entry until it returns true.
void ForEachListEntry(std::span<const std::uint8_t> list,
                      const std::function<bool(std::uint32_t, std::u16string_view, std::uint64_t)>& f);

// Writes the entry's data (resident or through its runs; sparse runs as zeros).
// Compressed data is expanded; encrypted data is written raw, as it lies on disk.
bool WriteNtfsData(NtfsContext& ctx, const ScanEntry& entry, OutputSink& sink, const WorkerToken& abort);

// `length` bytes of the entry's data from `offset` (the hex view): the same
// paths, with the clusters or units before the offset not read. Short when
// the data ends or cannot be read.
std::vector<std::uint8_t> ReadNtfsRange(NtfsContext& ctx, const ScanEntry& entry, std::uint64_t offset,
                                        std::uint64_t length);

}  // namespace kestrova
