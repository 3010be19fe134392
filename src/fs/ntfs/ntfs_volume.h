// A mounted NTFS volume: the MFT located through record 0's run list, records
// read by number with their fixups, and the volume bitmap.
#pragma once

#include "device/sector_device.h"
#include "fs/ntfs/ntfs_format.h"
#include "fs/ntfs/run_list.h"
#include "volume/mount.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrova {

struct NtfsVolume {
  std::uint32_t bytesPerSector = 512;
  std::uint32_t sectorsPerCluster = 8;
  std::uint32_t bytesPerCluster = 4096;
  std::uint64_t lastCluster = 0;
  std::uint64_t mftCluster = 0;
  std::uint64_t mirrorCluster = 0;
  std::uint32_t recordSize = 1024;
  std::vector<DataRun> mftRuns;      // of "$MFT"'s unnamed $DATA; empty: no MFT to collect
  std::uint64_t mftBytes = 0;
  std::vector<std::uint8_t> bitmap;  // bit n: cluster n
  std::uint64_t freeClusters = 0;
  bool ignoreMetadata = false;
  bool mounted = false;

  std::uint64_t RecordCount() const { return recordSize ? mftBytes / recordSize : 0; }
};

// Fills the volume from the mounted device; with `load` (and metadata not
// ignored) also reads the bitmap and counts free clusters.
bool MountNtfsGeometry(SectorDevice& device, const MountedVolume& mounted, bool load, NtfsVolume& volume);

// The update-sequence fixups of a record read as `recordSize` bytes; a torn
// record is still used (what it holds is all there is).
inline bool ApplyFixups(std::span<std::uint8_t> record, std::uint32_t recordSize) {
  return ApplyNtfsRecordFixups(record.first(std::min<std::size_t>(record.size(), recordSize))).applied;
}

// Record `number` of the MFT, read through its runs and fixed up.
bool ReadMftRecord(SectorDevice& device, const NtfsVolume& v, std::uint64_t number, std::vector<std::uint8_t>& out);

// Reads `clusters` clusters from virtual cluster `vcn` of a run list (sparse
// runs as zeros) into out (resized); false when the runs end first. A part
// that cannot be read stays zeros and sets *unreadable.
bool ReadRuns(SectorDevice& device, const std::vector<DataRun>& runs, std::uint64_t vcn, std::uint64_t clusters,
              std::uint32_t bytesPerCluster, std::vector<std::uint8_t>& out,
              bool* unreadable = nullptr);

bool IsNtfsClusterFree(const NtfsVolume& v, std::uint64_t cluster);
// Clusters up to the highest whose bitmap bit is clear.
std::uint64_t CountFreeClusters(const NtfsVolume& v);
// Percentage of the runs' clusters free in the bitmap; 110 without a bitmap.
std::uint8_t FreeClusterPercent(const NtfsVolume& v, const std::vector<DataRun>& runs);

// A backup boot sector at `sector` (absolute): "NTFS" at 3, 512 bytes per
// sector, 0x800080 at 0x24, and a following sector without the loader names
// (a primary boot sector is followed by its loader). Gives the boot sector and
// the volume start (sector minus the total-sectors field).
bool CheckNtfsBootCopy(SectorDevice& device, std::uint64_t sector, std::vector<std::uint8_t>& bootSector,
                       std::uint64_t& volumeStart);

class NtfsReader {
 public:
  NtfsVolume volume;
  MountHooks Hooks(const DriveSettings& settings);
};

}  // namespace kestrova
