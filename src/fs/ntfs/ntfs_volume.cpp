#include "fs/ntfs/ntfs_volume.h"

#include "common/activity.h"

#include "common/le.h"
#include "fs/ntfs/ntfs_record.h"

#include <algorithm>

namespace kestrova {
namespace {

constexpr std::uint64_t kMaxBitmapBytes = 1ull << 30;

// "$MFT" or "$Bitmap" among the first 16 records at `startCluster`.
bool FindSystemRecord(SectorDevice& d, const NtfsVolume& v, std::uint64_t startCluster, std::u16string_view name,
                      std::vector<std::uint8_t>& out) {
  const std::uint32_t sectors = std::max<std::uint32_t>(1, v.recordSize / v.bytesPerSector);
  for (std::uint64_t n = 0; n < 16; ++n) {
    out.assign(v.recordSize, 0);
    const std::uint64_t sector = startCluster * v.sectorsPerCluster + n * sectors;
    if (d.ReadSectors(sector, out, sectors) != ReadOk || !ApplyFixups(out, v.recordSize)) continue;
    const auto fn = FindAttribute(out, kAttrFileName);
    if (!fn) continue;
    const auto value = ResidentValue(out, *fn);
    // A name cut short by the value's end is no match.
    if (value.size() > 0x40 && value.size() >= 0x42 + 2u * value[0x40] && FileNameText(value) == name) return true;
  }
  return false;
}

bool RunPassesVolumeEnd(const SectorDevice& d, std::uint64_t lcn, std::uint64_t clusters) {
  const std::uint64_t spc = std::max<std::uint32_t>(1, d.sectorsPerCluster);
  if (d.volumeLastSector == kAllOnes) return false;
  std::uint64_t first = 0, length = 0;
  if (__builtin_mul_overflow(lcn, spc, &first) || __builtin_mul_overflow(clusters, spc, &length)) return true;
  return first > d.volumeLastSector || d.volumeLastSector - first < length - 1;
}

}  // namespace

bool ReadRuns(SectorDevice& d, const std::vector<DataRun>& runs, std::uint64_t vcn, std::uint64_t clusters,
              std::uint32_t bpc, std::vector<std::uint8_t>& out, bool* unreadable) {
  out.assign(static_cast<std::size_t>(clusters * bpc), 0);
  std::uint64_t done = 0;
  while (done < clusters) {
    const auto p = RunLookup(runs, vcn + done);
    if (!p) return false;
    const std::uint64_t n = std::min(p->left, clusters - done);
    if (p->lcn >= 0) {
      const auto span = std::span(out).subspan(static_cast<std::size_t>(done * bpc), static_cast<std::size_t>(n * bpc));
      // An unreadable part stays zeros; the caller learns of it.
      if (d.ReadClusters(static_cast<std::uint64_t>(p->lcn), span, static_cast<std::uint32_t>(n)) != ReadOk && unreadable)
        *unreadable = true;
      // The device clips a read at the volume's end and calls it good: the part
      // past the end stayed zeros, which the file must not pass off as its data.
      if (unreadable && RunPassesVolumeEnd(d, static_cast<std::uint64_t>(p->lcn), n)) *unreadable = true;
    }
    done += n;
  }
  return true;
}

bool ReadMftRecord(SectorDevice& d, const NtfsVolume& v, std::uint64_t number, std::vector<std::uint8_t>& out) {
  ActivityMark activity(Fn::ReadMftRecord);
  if (v.mftRuns.empty() || v.recordSize == 0) return false;
  const std::uint64_t byte = number * v.recordSize;
  const std::uint64_t vcn = byte / v.bytesPerCluster;
  const std::uint64_t within = byte % v.bytesPerCluster;
  const std::uint64_t clusters = (within + v.recordSize + v.bytesPerCluster - 1) / v.bytesPerCluster;
  std::vector<std::uint8_t> buffer;
  if (!ReadRuns(d, v.mftRuns, vcn, clusters, v.bytesPerCluster, buffer)) return false;
  out.assign(buffer.begin() + static_cast<std::ptrdiff_t>(within),
             buffer.begin() + static_cast<std::ptrdiff_t>(within + v.recordSize));
  return ParseNtfsRecordHeader(out) && ApplyFixups(out, v.recordSize);
}

bool IsNtfsClusterFree(const NtfsVolume& v, std::uint64_t c) {
  if (v.bitmap.empty() || v.ignoreMetadata) return true;
  if (c / 8 >= v.bitmap.size()) return true;
  return !(v.bitmap[static_cast<std::size_t>(c / 8)] & (1u << (c % 8)));
}

std::uint8_t FreeClusterPercent(const NtfsVolume& v, const std::vector<DataRun>& runs) {
  ActivityMark activity(Fn::FreeClusterPercent);
  if (v.bitmap.empty()) return 110;
  std::uint64_t total = 0, free = 0;
  bool any = false;
  for (const DataRun& run : runs) {
    any = true;
    // Sparse runs have no clusters to lose; counting them as used would show
    // every deleted compressed file as overwritten.
    if (run.sparse) continue;
    total += run.length;
    for (std::uint64_t i = 0; i < run.length; ++i) {
      const std::uint64_t c = static_cast<std::uint64_t>(run.lcn) + i;
      if (c / 8 >= v.bitmap.size()) break;  // the run ends at the end of the bitmap
      if (c % 64 == 0 && i + 64 <= run.length && c / 8 + 8 <= v.bitmap.size()) {
        const std::uint64_t word = LoadLe64(v.bitmap, static_cast<std::size_t>(c / 8));
        if (word == 0 || word == ~0ull) {
          if (word == 0) free += 64;
          i += 63;
          continue;
        }
      }
      if (IsNtfsClusterFree(v, c)) ++free;
    }
  }
  if (total == 0) return any ? 100 : 0;
  return static_cast<std::uint8_t>(free * 100 / total);
}

namespace {

bool ContainsUtf16(std::span<const std::uint8_t> bytes, std::u16string_view text) {
  for (std::size_t at = 0; at + 2 * text.size() <= bytes.size(); ++at) {
    bool same = true;
    for (std::size_t i = 0; i < text.size() && same; ++i) same = LoadLe16(bytes, at + 2 * i) == text[i];
    if (same) return true;
  }
  return false;
}

}  // namespace

std::uint64_t CountFreeClusters(const NtfsVolume& v) {
  ActivityMark activity(Fn::CountNtfsFreeClusters);
  const std::uint64_t clusters = std::min<std::uint64_t>(v.lastCluster + 1, std::uint64_t{v.bitmap.size()} * 8);
  std::uint64_t free = 0, c = 0;
  // 64 clusters at a time where their 8 bitmap bytes are all clear or all set.
  for (; c + 64 <= clusters; c += 64) {
    const std::uint64_t word = LoadLe64(v.bitmap, static_cast<std::size_t>(c / 8));
    free += 64 - static_cast<std::uint64_t>(__builtin_popcountll(word));
  }
  for (; c < clusters; ++c)
    if (IsNtfsClusterFree(v, c)) ++free;
  return free;
}

bool CheckNtfsBootCopy(SectorDevice& d, std::uint64_t sector, std::vector<std::uint8_t>& boot, std::uint64_t& start) {
  ActivityMark activity(Fn::CheckNtfsBootCopy);
  std::vector<std::uint8_t> two(1024, 0);
  boot.assign(512, 0);
  if (d.ReadSectors(sector, boot, 1) != ReadOk) return false;
  const auto b = ParseNtfsBootSector(boot);
  if (!b || !b->signature || b->bytesPerSector != 512 || !b->MediaWordValid()) return false;
  const auto next = std::span(two).subspan(512);
  if (d.ReadSectors(sector + 1, next, 1) == ReadOk && (ContainsUtf16(next, u"NTLDR") || ContainsUtf16(next, u"BOOTMGR")))
    return false;
  const std::uint64_t total = b->totalSectors;
  if (total > sector) return false;
  start = sector - total;
  return true;
}

bool MountNtfsGeometry(SectorDevice& d, const MountedVolume& m, bool load, NtfsVolume& v) {
  ActivityMark activity(Fn::MountNtfsGeometry);
  v = NtfsVolume{};
  if (d.fsType != FsType::Ntfs) return false;
  v.bytesPerSector = d.sectorSize ? d.sectorSize : 512;
  v.sectorsPerCluster = std::max<std::uint32_t>(1, d.sectorsPerCluster);
  v.bytesPerCluster = v.sectorsPerCluster * v.bytesPerSector;
  v.lastCluster = d.lastCluster;
  // The geometry's cluster field is 32-bit and clamps; a volume of more than
  // 2^32 clusters would lose its tail, so then the 64-bit sector bound decides.
  if (d.lastCluster == 0xFFFFFFFFu && d.volumeLastSector != kAllOnes)
    v.lastCluster = std::max<std::uint64_t>(v.lastCluster, (d.volumeLastSector + 1) / v.sectorsPerCluster - 1);
  // The mount applied the record-size rule; a size it could not take reads as the common one.
  v.recordSize = m.mftRecordSize ? m.mftRecordSize : kNtfsFallbackRecordSize;
  v.ignoreMetadata = m.damaged;
  v.mounted = true;
  if (m.damaged || m.mftStartSector == kAllOnes) return true;
  v.mftCluster = m.mftStartSector / v.sectorsPerCluster;
  v.mirrorCluster = m.mftMirrorSector == kAllOnes ? 0 : m.mftMirrorSector / v.sectorsPerCluster;
  std::vector<std::uint8_t> record;
  if (!FindSystemRecord(d, v, v.mftCluster, u"$MFT", record) &&
      !(v.mirrorCluster && FindSystemRecord(d, v, v.mirrorCluster, u"$MFT", record)))
    return true;  // no MFT: records can only be found by scanning
  if (const auto data = FindAttribute(record, kAttrData, true); data && !data->resident) {
    v.mftRuns = DecodeRuns(RunListOf(record, *data));
    v.mftBytes = data->dataSize;
  }
  if (!load) return true;
  std::vector<std::uint8_t> bitmapRecord;
  if (!FindSystemRecord(d, v, v.mftCluster, u"$Bitmap", bitmapRecord) &&
      !(v.mirrorCluster && FindSystemRecord(d, v, v.mirrorCluster, u"$Bitmap", bitmapRecord)))
    return true;
  const auto data = FindAttribute(bitmapRecord, kAttrData, true);
  if (!data || data->resident || data->dataSize > kMaxBitmapBytes) return true;
  const auto runs = DecodeRuns(RunListOf(bitmapRecord, *data));
  std::uint64_t clusters = 0;
  for (const DataRun& r : runs) clusters += r.length;
  if (clusters * v.bytesPerCluster > kMaxBitmapBytes) return true;
  if (!ReadRuns(d, runs, 0, clusters, v.bytesPerCluster, v.bitmap)) v.bitmap.clear();
  v.bitmap.resize(static_cast<std::size_t>(std::min<std::uint64_t>(v.bitmap.size(), data->dataSize)));
  v.freeClusters = CountFreeClusters(v);
  return true;
}

MountHooks NtfsReader::Hooks(const DriveSettings&) {
  ActivityMark activity(Fn::NtfsReaderHooks);
  MountHooks h;
  h.loadTables = [this](SectorDevice& d, MountedVolume& m) {
    if (d.fsType != FsType::Ntfs) return true;
    return MountNtfsGeometry(d, m, true, volume);
  };
  return h;
}

}  // namespace kestrova
