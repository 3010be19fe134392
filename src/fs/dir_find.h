// The find-first / find-next contract the file-system readers share: the
// modes, what an enumerated entry carries, the enumeration state, and the
// virtual folders of the results model, whose lists every reader enumerates
// the same way.
#pragma once

#include "scan/display_filter.h"
#include "scan/entry_ops.h"
#include "scan/result_lists.h"

#include <cstdint>
#include <optional>
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

// Names a folder for listing: a FAT/exFAT cluster, an NTFS record number, or a
// virtual folder of the results model. Virtual folders carry the top bit, so
// they never collide with a cluster (exFAT numbers up to 0xFFFFFFF6) or a
// record (48 bits); below it is the marker the folder's entry holds.
using EntryHandle = std::uint64_t;
inline constexpr EntryHandle kVirtualHandleBit = EntryHandle{1} << 63;
constexpr EntryHandle VirtualHandle(std::uint32_t marker) { return kVirtualHandleBit | marker; }
constexpr std::uint32_t MarkerOf(EntryHandle handle) { return static_cast<std::uint32_t>(handle); }

struct FoundEntry {
  ScanEntry entry = MakeScanEntry();
  std::u16string name;
  bool dotEntry = false;  // the "." or ".." entry itself (by its short name, not by a long name)
};

struct DirFind {
  std::uint32_t handle = 0;  // the folder's cluster (or the marker of a virtual folder)
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
  // "RAW files": its type folders, one per folder name of the signature
  // table with finds (the first row of each name); a type folder: its row.
  std::vector<std::uint16_t> rawTypeRows;
  bool rawTypes = false;
  int rawType = -1;
  bool rawTypeMasked = false;  // a type folder's masks have replaced the filter's

  std::size_t EntrySlots() const { return dir.size() / 32 + 1; }
  std::size_t SlotBytes() const { return EntrySlots() * sizeof(ScanEntry); }
};

// True for a virtual-folder handle (the lists of the results model).
bool IsVirtualHandle(EntryHandle handle);
// True for the marker of a list's virtual folder.
bool IsListMarker(std::uint32_t marker);
// Points the find at the list behind a virtual-folder handle; false without lists.
bool OpenVirtualFolder(DirFind& find, EntryHandle handle, ResultLists* lists);
// The next record of the list (under its lock) that the filter accepts.
// The cluster a handle names for a directory read: itself, or the folder of a
// "Rebuild" entry (its marker carries the cluster in the low 24 bits). Nothing
// for a list's virtual folder or a handle beyond 32 bits.
std::optional<std::uint32_t> DirectoryCluster(EntryHandle handle);
bool NextFromVirtualFolder(DirFind& find, FsType fs, const SignatureExtensions* extensions, FoundEntry& out);
// The masks a "RAW files/<TYPE>" folder lists with in place of the filter's:
// "*" and the extension of every row of that folder name, lower-cased, as
// the generated names carry them (".A.txt" gives "*.a.txt").
std::vector<std::u16string> RawTypeMasks(std::uint16_t row, const SignatureExtensions& extensions);

// A "RAW files/<TYPE>" folder: its handle carries the signature-table row
// whose folder it is (bits 32..47, plus one) beside the type-folder marker.
constexpr EntryHandle RawTypeHandle(std::uint16_t row) {
  return VirtualHandle(kRawTypeMarker) | (EntryHandle{row} + 1) << 32;
}
std::optional<std::uint16_t> RawTypeOf(EntryHandle handle);
// The entry shown for a type folder under "RAW files".
FoundEntry MakeRawTypeFolder(std::uint16_t row);
// The handle that lists a virtual folder's entry (or a link to one): its
// marker, a type folder's row, a "Rebuild" folder's cluster.
EntryHandle VirtualFolderHandle(const ScanEntry& folder);
// A folder of "Rebuild": its firstCluster holds the cluster under the 0x11 marker.
bool IsRebuildFolder(const ScanEntry& e);

}  // namespace kestrova
