// "partitions SOURCE": every volume the partition tables (or their absence)
// give; "mount SOURCE --partition N": the geometry the mount sets for one.
#include "cli/browse.h"
#include "cli/commands.h"
#include "cli/entry_output.h"
#include "cli/json_writer.h"
#include "cli/source.h"
#include "cli/terminal_ui.h"
#include "common/text.h"
#include "volume/fs_names.h"
#include "volume/list_partitions.h"
#include "volume/mount.h"

#include <cstdio>

namespace kestrova::cli {
namespace {

std::string ChsCheck(const DriveEntry& e) {
  if (e.partitionType == 0) return "none";
  const Chs stored{e.startHead, e.startSector, e.startCylinder};
  const Chs storedEnd{e.endHead, e.endSector, e.endCylinder};
  const bool ok = stored == ChsOfSector(e.start) && storedEnd == ChsOfSector(e.start + e.sectors - 1);
  return ok ? "ok" : "differs";
}

const char* TableKind(const PartitionListing& l) {
  if (l.gpt) return "GPT";
  if (l.bare) return "none";
  return "MBR";
}

}  // namespace

int RunPartitions(const PartitionsOptions& o) {
  TerminalUi ui;
  VolumeSession session(ui);
  if (SessionStatus s = session.OpenSource(o.source); s != SessionStatus::Ok) return ReportSessionStatus(s, o.source);
  session.device().Close();
  const PartitionListing& listing = session.listing();
  const std::vector<VolumeRow>& rows = session.rows();

  if (o.json) {
    JsonWriter json;
    json.BeginArray();
    for (std::size_t i = 0; i < rows.size(); ++i) {
      json.BeginObject();
      WriteEntryJson(json, rows[i].entry);
      json.Key("type").Number(rows[i].entry.partitionType);
      json.Key("index").Number(i + 1);
      json.Key("chs").String(ChsCheck(rows[i].entry));
      json.Key("lost").Bool(rows[i].lost);
      json.EndObject();
    }
    json.EndArray();
    std::printf("%s\n", json.str().c_str());
  } else {
    // The count is of slots a partition repair may fill: empty ones, and ones
    // that hold no usable volume. Free slots are normal on a healthy disk.
    std::printf("table: %s%s, MBR slots a repair may fill (empty or unusable): %d\n", TableKind(listing),
                listing.hasExtended ? " with extended partition" : "", listing.wrongMbrEntries);
    std::printf("%-3s %12s %12s %-4s %-10s %-9s %-7s %s\n", "#", "start", "sectors", "type", "fs", "serial", "chs",
                "label");
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const DriveEntry& e = rows[i].entry;
      std::printf("%-3zu %12llu %12llu 0x%02X %-10s %-9s %-7s %s%s%s\n", i + 1,
                  static_cast<unsigned long long>(e.start), static_cast<unsigned long long>(e.sectors),
                  e.partitionType, ToUtf8(EntryFsName(e)).c_str(), SerialText(e.serial).c_str(),
                  ChsCheck(e).c_str(), ToUtf8(EntryLabel(e)).c_str(), e.bootDamaged ? " [boot from backup]" : "",
                  rows[i].lost ? " [not in the table]" : "");
    }
    if (rows.empty()) std::printf("no volume found\n");
  }
  return rows.empty() ? kExitNotFound : kExitOk;
}

int RunMount(const MountOptions& o) {
  TerminalUi ui;
  VolumeSession session(ui);
  SectorDevice& device = session.device();
  OpenedVolume opened;
  MountRequest request;
  if (o.raw) {
    // The whole source, unbounded by any table: as far as the device reaches.
    OpenRequest whole;
    if (!SourceRequest(o.source, whole)) return kExitCantOpen;
    whole.request = FsType::RawOther;
    if (!OpenDevice(device, DriveTables{}, ui, whole, opened)) return kExitCantOpen;
    request.request = FsType::RawOther;
  } else {
    if (SessionStatus s = session.OpenSource(o.source); s != SessionStatus::Ok) return ReportSessionStatus(s, o.source);
    const std::vector<VolumeRow>& rows = session.rows();
    if (o.partition == 0 || o.partition > rows.size()) {
      std::fprintf(stderr, "kestrova-cli: %s has %zu volume(s); --partition takes 1..%zu (see 'partitions')\n",
                   o.source.c_str(), rows.size(), rows.size());
      return rows.empty() ? kExitNotFound : kExitUsage;
    }
    if (session.OpenRow(o.partition - 1, opened) != SessionStatus::Ok) return kExitCantOpen;
    request.partitionCount = rows[o.partition - 1].entry.sectors;
  }
  MountedVolume mounted;
  if (!MountVolume(device, ui, request, opened, mounted)) {
    std::fprintf(stderr, "kestrova-cli: the volume cannot be mounted\n");
    return kExitNotFound;
  }
  const std::string fs = ToUtf8(FsTypeName(device.fsType));
  if (o.json) {
    JsonWriter json;
    json.BeginObject();
    json.Key("fsType").String(fs);
    json.Key("start").Number(device.volumeStart);
    json.Key("sectorSize").Number(device.sectorSize);
    json.Key("sectorsPerCluster").Number(device.sectorsPerCluster);
    json.Key("bytesPerCluster").Number(device.bytesPerCluster);
    json.Key("dataStart").Number(device.dataStart);
    json.Key("clusterBase").Signed(device.clusterBase);
    json.Key("lastCluster").Number(device.lastCluster);
    json.Key("volumeLastSector").Number(device.volumeLastSector);
    json.Key("rootCluster").Number(device.rootCluster);
    json.Key("damaged").Bool(mounted.damaged);
    json.Key("bootSectorAt").Number(mounted.bootSectorAt);
    if (device.fsType == FsType::Ntfs) {
      json.Key("mftRecordSize").Number(mounted.mftRecordSize);
      json.Key("mftStartSector").Number(mounted.mftStartSector);
      json.Key("mftUsable").Bool(mounted.mftUsable);
    }
    json.EndObject();
    std::printf("%s\n", json.str().c_str());
  } else {
    std::printf("fsType:            %s%s\n", fs.c_str(), mounted.damaged ? " (damaged: raw analysis)" : "");
    std::printf("start:             %llu\n", static_cast<unsigned long long>(device.volumeStart));
    std::printf("sector size:       %u\n", device.sectorSize);
    std::printf("sectors/cluster:   %u\n", device.sectorsPerCluster);
    std::printf("data start:        %llu\n", static_cast<unsigned long long>(device.dataStart));
    std::printf("clusterBase:       %lld\n", static_cast<long long>(device.clusterBase));
    std::printf("lastCluster:       %u\n", device.lastCluster);
    std::printf("volumeLastSector:  %llu\n", static_cast<unsigned long long>(device.volumeLastSector));
    if (device.fsType == FsType::Ntfs && !mounted.damaged)
      std::printf("MFT:               sector %llu, records of %u bytes, %s\n",
                  static_cast<unsigned long long>(mounted.mftStartSector), mounted.mftRecordSize,
                  mounted.mftUsable ? "usable" : "unusable (records found by scanning)");
  }
  return kExitOk;
}

}  // namespace kestrova::cli
