// The four result lists of a scan and the names their entries carry. Names are
// held by the list and referred to by a 32-bit handle in the record (0: none,
// 1: generated), because session files store the records byte for byte.
#pragma once

#include "common/ui.h"
#include "scan/dyn_list.h"
#include "scan/scan_entry.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kestrova {

// Names of one list's entries; handle h >= 2 is names[h - 2].
class NameStore {
 public:
  // A handle for a copy of name; kNoName when the store is full.
  std::uint32_t Add(std::u16string name);
  // The name of a handle; null for 0, 1 and unknown handles.
  const std::u16string* Find(std::uint32_t handle) const;
  void Clear() { names_.clear(); }
  std::size_t size() const { return names_.size(); }

 private:
  std::vector<std::u16string> names_;
};

enum class ListId : std::uint8_t { Deleted = 1, Lost = 2, Rebuild = 3, Raw = 4 };

inline constexpr std::size_t kDeletedListStep = 0x100000;
inline constexpr std::size_t kLostListStep = 0x1000000;
inline constexpr std::size_t kRebuildListStep = 0x40000;
inline constexpr std::size_t kRawListStep = 0x1000000;

// One list of ScanEntry records with its names and lock.
struct EntryList {
  DynList records;
  NameStore names;
  // Held around every append and every read that may race with one (the scan
  // thread appends to the lost list while the explorer reads it; the scan's
  // own lock is taken first).
  mutable std::mutex lock;

  std::size_t size() const { return records.count<ScanEntry>(); }
  ScanEntry at(std::size_t i) const { return records.at<ScanEntry>(i); }
  // Appends an entry with an optional name (the handle is filled in). Returns
  // the index, or nothing when the list cannot grow (already reported).
  std::optional<std::size_t> Add(ScanEntry entry, const std::u16string* name = nullptr);
  const std::u16string* NameOf(const ScanEntry& e) const { return names.Find(e.name); }
};

class ResultLists {
 public:
  // ui receives the memory messages; limit caps every list (tests).
  explicit ResultLists(Ui* ui = nullptr, std::size_t limit = std::numeric_limits<std::size_t>::max());

  // Empties all four lists, frees the names and allocates the initial
  // capacities again (before a scan, when a session is loaded).
  bool Reset();
  // Frees all data (a failed session load).
  void Release();
  // Takes over the records and names of `other` (a fully loaded session),
  // each list under its lock; `other` gets the previous contents.
  void SwapContents(ResultLists& other);

  DynList deleted;  // DeletedEntryNote records
  mutable std::mutex deletedLock;
  EntryList lost;
  EntryList rebuild;
  EntryList raw;

  EntryList& List(ListId id);

  // The note of a deleted FAT/exFAT entry: the first one whose keys match.
  std::optional<DeletedEntryNote> FindNote(std::uint32_t dirKey, std::uint32_t offset) const;
  bool AddNote(const DeletedEntryNote& note);
};

}  // namespace kestrova
