// The record of everything the program finds on a volume. Session files store
// these records byte for byte, so the layout is fixed: 68 bytes, packed,
// little-endian. Several fields mean different things per file system; the
// accessors below name those meanings.
#pragma once

#include "common/fs_type.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestrova {

// Name handle values; any other value names a string held by the entry's list.
inline constexpr std::uint32_t kNoName = 0;
inline constexpr std::uint32_t kGeneratedName = 1;  // RAW entries: "%0.9i" + extension

enum class EntryKind : std::uint8_t {
  Ordinary = 0,
  Raw = 1,            // found by its header
  Overwritten = 2,
  NotDetected = 3,    // no format check exists for its type
  FolderVerified = 4, // deleted FAT folder confirmed by its "." and ".."
  ParentLink = 6,     // ".."
  VirtualFolder = 7,
  VirtualParentLink = 8,
};

namespace rating {
inline constexpr std::uint8_t kIntact = 100;
inline constexpr std::uint8_t kNotComputed = 110;  // deleted, integrity unknown
inline constexpr std::uint8_t kFatFolder = 120;
inline constexpr std::uint8_t kInUse = 200;        // existing file record
inline constexpr std::uint8_t kDuplicate = 244;
inline constexpr std::uint8_t kNavigation = 245;   // ".." and exFAT folders
inline constexpr std::uint8_t kRawOpen = 254;
inline constexpr std::uint8_t kRawClosed = 255;    // also forces the deleted colour
}  // namespace rating

// Markers held by the virtual folders (ScanEntry::Marker).
inline constexpr std::uint32_t kRebuildMarker = 0x11000000;
inline constexpr std::uint32_t kRawFilesMarker = 0x22222222;
inline constexpr std::uint32_t kLostFilesMarker = 0x33333333;
inline constexpr std::uint32_t kRawTypeMarker = 0x44444444;

inline constexpr std::uint32_t kNtfsReadOnly = 0x1;
inline constexpr std::uint32_t kNtfsHidden = 0x2;
inline constexpr std::uint32_t kNtfsSystem = 0x4;
inline constexpr std::uint32_t kNtfsCompressed = 0x800;
inline constexpr std::uint32_t kNtfsEncrypted = 0x4000;
inline constexpr std::uint32_t kNtfsDirectory = 0x10000000;
inline constexpr std::uint8_t kAttrDirectory = 0x10;

#pragma pack(push, 1)
struct ScanEntry {
  std::uint32_t name;           // handle: kNoName, kGeneratedName or a name of the list
  std::uint64_t size;           // FAT: low 32 bits only
  // Fields 12..32 mean different things per family: they are reached only
  // through the accessors below, which say what each family keeps there.
  std::uint64_t at12;           // RAW: first sector; NTFS: sector of the file record
  std::uint32_t at20;           // FAT/exFAT: first cluster (low 16 at 20, high 16 at 22); virtual-folder marker
  std::uint32_t at24;           // NTFS attribute flags; FAT/exFAT: byte offset of the directory entry
  std::uint32_t at28;           // FAT/exFAT: first cluster of the holding folder; NTFS: first LCN low half
  std::uint8_t at32;            // FAT/exFAT: 1 when deleted; NTFS: byte 0 of the first LCN high half
  std::uint8_t chainFallback;   // set by recovery when a chain was copied as contiguous clusters
  std::uint8_t reserved34[2];
  std::uint8_t rating;
  std::uint8_t time[8];         // NTFS FILETIME; exFAT packed date-time; RAW sequence + signature index
  std::uint8_t resident;
  std::uint8_t dataForm;        // NTFS: 0 non-resident, 1 resident, 2 through an attribute list
  std::uint64_t recordNumber;
  std::uint8_t ownName;
  std::uint8_t marked;          // selected for recovery
  std::uint8_t reserved57;
  std::uint8_t kind;            // EntryKind
  std::uint8_t attributes;      // FAT/exFAT attribute byte; NTFS: 0x10 for a folder
  std::uint32_t parentLow;      // NTFS parent record, low 32 bits
  std::uint16_t parentHigh;     // NTFS: parent bits 32..47; FAT: DOS date
  std::uint8_t clusterInUse;    // FAT: first cluster allocated in the FAT
  std::uint8_t reserved67;

  EntryKind Kind() const { return static_cast<EntryKind>(kind); }
  void SetKind(EntryKind k) { kind = static_cast<std::uint8_t>(k); }

  // --- FAT and exFAT ---
  std::uint32_t FirstCluster() const { return at20; }
  void SetFirstCluster(std::uint32_t c) { at20 = c; }
  // Where the directory entry lies: the first cluster of the holding folder
  // and the entry's byte offset in it (together they tell entries apart).
  std::uint32_t FolderCluster() const { return at28; }
  void SetFolderCluster(std::uint32_t c) { at28 = c; }
  std::uint32_t DirEntryOffset() const { return at24; }
  void SetDirEntryOffset(std::uint32_t offset) { at24 = offset; }
  std::uint8_t DeletedMark() const { return at32; }
  void SetDeletedMark(std::uint8_t mark) { at32 = mark; }

  // --- NTFS ---
  std::uint32_t NtfsFlags() const { return at24; }
  void SetNtfsFlags(std::uint32_t flags) { at24 = flags; }
  void AddNtfsFlags(std::uint32_t flags) { at24 |= flags; }
  std::uint64_t RecordSector() const { return at12; }
  void SetRecordSector(std::uint64_t sector) { at12 = sector; }

  // --- RAW ---
  std::uint64_t RawFirstSector() const { return at12; }
  void SetRawFirstSector(std::uint64_t sector) { at12 = sector; }

  // --- virtual folders ---
  std::uint32_t Marker() const { return at20; }
  void SetMarker(std::uint32_t marker) { at20 = marker; }

  // NTFS: the first logical cluster of the data (offsets 28..35).
  std::uint64_t FirstLcn() const {
    const auto high = Load<std::uint32_t>(Bytes() + 32);
    return static_cast<std::uint64_t>(at28) | static_cast<std::uint64_t>(high) << 32;
  }
  void SetFirstLcn(std::uint64_t lcn) {
    at28 = static_cast<std::uint32_t>(lcn);
    Store(Bytes() + 32, static_cast<std::uint32_t>(lcn >> 32));
  }
  // NTFS: the parent folder's record number (48 bits).
  std::uint64_t ParentRecord() const { return parentLow | static_cast<std::uint64_t>(parentHigh) << 32; }
  void SetParentRecord(std::uint64_t ref) {
    parentLow = static_cast<std::uint32_t>(ref);
    parentHigh = static_cast<std::uint16_t>(ref >> 32);
  }
  std::uint16_t FatDate() const { return parentHigh; }
  void SetFatDate(std::uint16_t date) { parentHigh = date; }

  std::uint64_t FileTime() const { return Load<std::uint64_t>(time); }
  void SetFileTime(std::uint64_t ft) { Store(time, ft); }
  std::uint32_t ExfatTime() const { return Load<std::uint32_t>(time); }
  void SetExfatTime(std::uint32_t t) { Store(time, t); }
  std::uint32_t RawSequence() const { return Load<std::uint32_t>(time); }
  std::uint16_t RawSignature() const { return Load<std::uint16_t>(time + 4); }
  void SetRaw(std::uint32_t sequence, std::uint16_t signature) {
    Store(time, sequence);
    Store(time + 4, signature);
  }

 private:
  const std::uint8_t* Bytes() const { return reinterpret_cast<const std::uint8_t*>(this); }
  std::uint8_t* Bytes() { return reinterpret_cast<std::uint8_t*>(this); }
  template <typename T>
  static T Load(const std::uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  template <typename T>
  static void Store(std::uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
  }
};

struct DeletedEntryNote {
  std::uint16_t foundLow;
  std::uint16_t foundHigh;
  std::uint32_t dirKey;   // key 1: the entry's dirKey
  std::uint32_t offset;   // key 2: the entry's flags (directory-entry offset)
  std::uint8_t kind;

  std::uint32_t FoundCluster() const { return foundLow | static_cast<std::uint32_t>(foundHigh) << 16; }
};
#pragma pack(pop)

static_assert(sizeof(ScanEntry) == 68);
static_assert(offsetof(ScanEntry, size) == 4);
static_assert(offsetof(ScanEntry, at12) == 12);
static_assert(offsetof(ScanEntry, at20) == 20);
static_assert(offsetof(ScanEntry, at24) == 24);
static_assert(offsetof(ScanEntry, at28) == 28);
static_assert(offsetof(ScanEntry, at32) == 32);
static_assert(offsetof(ScanEntry, chainFallback) == 33);
static_assert(offsetof(ScanEntry, rating) == 36);
static_assert(offsetof(ScanEntry, time) == 37);
static_assert(offsetof(ScanEntry, resident) == 45);
static_assert(offsetof(ScanEntry, dataForm) == 46);
static_assert(offsetof(ScanEntry, recordNumber) == 47);
static_assert(offsetof(ScanEntry, ownName) == 55);
static_assert(offsetof(ScanEntry, marked) == 56);
static_assert(offsetof(ScanEntry, kind) == 58);
static_assert(offsetof(ScanEntry, attributes) == 59);
static_assert(offsetof(ScanEntry, parentLow) == 60);
static_assert(offsetof(ScanEntry, parentHigh) == 64);
static_assert(offsetof(ScanEntry, clusterInUse) == 66);
static_assert(sizeof(DeletedEntryNote) == 13);
static_assert(offsetof(DeletedEntryNote, dirKey) == 4);
static_assert(offsetof(DeletedEntryNote, offset) == 8);
static_assert(offsetof(DeletedEntryNote, kind) == 12);

// A zeroed record (every reserved byte cleared, no name).
inline ScanEntry MakeScanEntry() {
  ScanEntry e;
  std::memset(&e, 0, sizeof e);
  return e;
}

}  // namespace kestrova
