// The find-first / find-next contract the file-system readers share: the
// modes, what an enumerated entry carries, the enumeration state, and the
// virtual folders of the results model, whose lists every reader enumerates
// the same way.
#pragma once

#include "scan/display_filter.h"
#include "scan/entry_ops.h"
#include "scan/result_lists.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kestrova {

enum FindMode : int {
  kFindVerify = 0,      // explorer listing: full verification
  kFindScan = 1,        // the scan driver: no high-half search for FAT32 files
  kFindShortNames = 2,  // no long-name assembly
  kFindNoVerify = 4,
  kFindFoldersOnly = 5,  // exFAT: folders only
  kFindFreeCluster = 6,  // exFAT: a folder found in free space (no ".." entry)
};

struct FoundEntry {
  ScanEntry entry = MakeScanEntry();
  std::u16string name;
  bool dotEntry = false;  // the "." or ".." entry itself (by its short name, not by a long name)
};

struct DirFind {
  std::uint32_t handle = 0;
  int mode = kFindVerify;
  DisplayFilter filter;
  bool unfiltered = false;
  std::vector<std::uint8_t> dir;      // the whole directory
  // Byte ranges of `dir` that could not be read (zeros): passed over, not an end.
  std::vector<std::pair<std::size_t, std::size_t>> unreadable;
  std::size_t pos = 0;                // of the current entry
  std::size_t consumed = 0;           // bytes the current entry occupied
  std::vector<std::uint8_t> scratch;  // 4 clusters for verification reads
  bool ownClusterFree = false;        // the folder itself was deleted
  EntryList* list = nullptr;          // a virtual folder: the list enumerated
  std::size_t listIndex = 0;

  std::size_t EntrySlots() const { return dir.size() / 32 + 1; }
  std::size_t SlotBytes() const { return EntrySlots() * sizeof(ScanEntry); }
};

// True for a virtual-folder handle (the lists of the results model).
bool IsVirtualHandle(std::uint32_t handle);
// Points the find at the list behind a virtual-folder handle; false without lists.
bool OpenVirtualFolder(DirFind& find, std::uint32_t handle, ResultLists* lists);
// The next record of the list (under its lock) that the filter accepts.
bool NextFromVirtualFolder(DirFind& find, FsType fs, const SignatureExtensions* extensions, FoundEntry& out);

}  // namespace kestrova
