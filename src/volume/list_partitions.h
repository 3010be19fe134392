// Listing the volumes of an opened drive or image: GPT, the MBR with its
// extended chain, or a bare volume without a table, then the volumes that
// follow the last one without a table entry. Also gathers what the partition
// repair needs (volumes missing from the table, the count of wrong MBR slots).
#pragma once

#include "device/drive_entry.h"
#include "device/sector_device.h"
#include "volume/identify.h"
#include "volume/partition_entry.h"

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace kestrova {

// CHS bytes of an MBR entry (head, sector | cylinder bits 8-9, cylinder low)
// for a sector with 255 heads and 63 sectors per track; cylinders above 1023
// are written as 254/63/1023.
struct Chs {
  std::uint8_t head = 0;
  std::uint8_t sector = 0;
  std::uint8_t cylinder = 0;
  bool operator==(const Chs&) const = default;
};
Chs ChsOfSector(std::uint64_t sector);
inline constexpr std::uint64_t kSectorsPerCylinder = 255 * 63;

// A 16-byte MBR entry with CHS computed by the rule above.
MbrEntry MakeMbrEntry(std::uint8_t bootFlag, std::uint8_t type, std::uint32_t firstSector, std::uint32_t count);
void StoreMbrEntry(const MbrEntry& entry, std::span<std::uint8_t> sixteenBytes);

inline bool IsExtendedType(std::uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

// Where to look for the volume after one that ends at `end` (its first sector
// + count) and is `count` sectors long: a count that is no multiple of 63
// tries the next track boundary first (volumeAt says whether a volume is
// there), else the first sector after the volume.
std::uint64_t AlignAfter(std::uint64_t end, std::uint64_t count,
                         const std::function<bool(std::uint64_t)>& volumeAt);

// One record of the extended chain as read (the repair reads them again).
struct ExtendedRecord {
  std::uint64_t sector = 0;
  std::array<MbrEntry, 2> entries{};
};

struct PartitionListing {
  std::vector<DriveEntry> volumes;    // in table order
  std::vector<DriveEntry> afterLast;  // found behind the last volume but in no table: repair candidates
  std::array<MbrEntry, 4> mbr{};
  bool sector0Read = false;
  bool gpt = false;
  bool bare = false;                  // no table: a volume starts at sector 0
  bool hasExtended = false;
  std::uint64_t extendedBase = 0;     // first sector of the extended container
  std::vector<ExtendedRecord> extendedRecords;
  int wrongMbrEntries = 0;            // slots the repair may fill
};

// Limits that keep hostile tables from costing unbounded time.
inline constexpr std::size_t kMaxGptEntries = 128;
inline constexpr std::size_t kMaxExtendedRecords = 256;
inline constexpr std::size_t kMaxVolumesAfterLast = 128;

// Reads the tables of the device open in ctx.device at absolute sectors of the
// whole drive, whatever volume is mounted (its geometry is left as it is).
// deviceSectors bounds the "extends past the end" test (0 = unknown).
PartitionListing ListPartitions(IdentifyContext& ctx, std::uint64_t deviceSectors);

// The wrong-entry test of one MBR slot (the repair fills wrong slots).
bool IsWrongMbrEntry(IdentifyContext& ctx, const MbrEntry& entry, std::uint64_t deviceSectors);

}  // namespace kestrova
