// "session info FILE": what a saved scan session holds, from its trailer
// alone: the drive it belongs to, the state of its scan, and its blocks.
#include "cli/commands.h"
#include "cli/json_writer.h"
#include "common/text.h"
#include "resources/strings.h"
#include "session/session_file.h"

#include <cstdio>
#include <memory>

namespace kestrova::cli {

int RunSessionInfo(const SessionInfoOptions& o) {
  auto trailer = std::make_unique<session::SessionTrailer>();
  const auto r = session::ReadSessionTrailer(o.file, *trailer);
  if (!r.ok()) {
    std::fprintf(stderr, "kestrova-cli: %s: %s (%s)\n", o.file.c_str(), ToUtf8(Text(StringId::SessionFileErr)).c_str(),
                 r.error.c_str());
    return r.status == session::SessionLoadStatus::CantOpen ? kExitCantOpen : kExitBadData;
  }
  const session::SessionTrailer& t = *trailer;
  const std::string image = EscapeControls(ToUtf8(session::TrailerText(t.imagePath)));
  const std::string model = EscapeControls(ToUtf8(FieldText(t.drive.model)));
  const struct {
    const char* name;
    session::BlockRef ref;
  } blocks[] = {{"FIL", t.fil},
                {"LOST_FIL", t.lostFil},
                {"REBUILD_FIL", t.rebuildFil},
                {"RAW_FIL", t.rawFil},
                {"AMAP", t.amap},
                {"LOST_STRINGS", t.lostStrings},
                {"RAW_STRINGS", t.rawStrings},
                {"REBUILD_STRINGS", t.rebuildStrings},
                {"HISTORY_MAIN", t.historyMain},
                {"HISTORY_ADVANCED", t.historyAdvanced},
                {"SAVE_PATHS", t.savePaths}};
  const std::uint64_t lostEntries = t.lostFil.rawSize / sizeof(ScanEntry);
  const std::uint64_t rawEntries = t.rawFil.rawSize / sizeof(ScanEntry);
  const std::uint64_t rebuildEntries = t.rebuildFil.rawSize / sizeof(ScanEntry);
  if (o.json) {
    JsonWriter json;
    json.BeginObject();
    json.Key("image").String(image).Key("driveIndex").Signed(t.partition.drive);
    json.Key("driveName").String(model).Key("driveBytes").Number(t.drive.byteLength);
    json.Key("fromPartitionList").Bool(t.fromPartitionList == 1).Key("identity").Number(t.driveIdentity);
    json.Key("volumeStart").Number(t.partition.start).Key("volumeSectors").Number(t.partition.sectors);
    json.Key("fsType").Number(t.selected.fsType);
    json.Key("scanComplete").Bool(t.scanComplete != 0).Key("paused").Bool(t.paused != 0);
    json.Key("scan").BeginObject();
    json.Key("cluster").Number(t.scan.cluster).Key("sector").Number(t.scan.sector);
    json.Key("freeVisited").Number(t.scan.freeVisited).Key("freeTotal").Number(t.scan.freeTotal);
    json.Key("percent").Number(t.scan.lastPercent);
    json.EndObject();
    json.Key("lostEntries").Number(lostEntries).Key("rawEntries").Number(rawEntries);
    json.Key("rebuildEntries").Number(rebuildEntries).Key("partitions").Number(t.partitionCount);
    json.Key("blocks").BeginArray();
    for (const auto& b : blocks) {
      json.BeginObject().Key("name").String(b.name).Key("offset").Number(b.ref.offset);
      json.Key("raw").Number(b.ref.rawSize).Key("stored").Number(b.ref.storedSize).EndObject();
    }
    json.EndArray().EndObject();
    std::printf("%s\n", json.str().c_str());
    return kExitOk;
  }
  std::printf("drive:     %s\n", image.empty() ? (model.empty() ? "(unnamed)" : model.c_str()) : image.c_str());
  std::printf("           %s, %llu bytes, identity %08X\n", t.fromPartitionList == 1 ? "drive or image" : "volume",
              static_cast<unsigned long long>(t.drive.byteLength), t.driveIdentity);
  std::printf("volume:    start %llu, %llu sectors\n", static_cast<unsigned long long>(t.partition.start),
              static_cast<unsigned long long>(t.partition.sectors));
  std::printf("scan:      %s%s, %u%% (%u of %u free clusters), next cluster %llu\n",
              t.scanComplete ? "complete" : "not finished", t.paused ? ", paused" : "", t.scan.lastPercent,
              t.scan.freeVisited, t.scan.freeTotal, static_cast<unsigned long long>(t.scan.cluster));
  std::printf("entries:   %llu lost, %llu RAW, %llu rebuild\n", static_cast<unsigned long long>(lostEntries),
              static_cast<unsigned long long>(rawEntries), static_cast<unsigned long long>(rebuildEntries));
  std::printf("%-17s %10s %12s %12s\n", "block", "offset", "raw", "stored");
  for (const auto& b : blocks) {
    if (b.ref.rawSize == 0) continue;
    std::printf("%-17s %10u %12u %12u\n", b.name, b.ref.offset, b.ref.rawSize, b.ref.storedSize);
  }
  return kExitOk;
}

}  // namespace kestrova::cli
