#include "cli/commands.h"
#include "cli/entry_output.h"
#include "cli/json_writer.h"
#include "cli/source.h"
#include "cli/terminal_ui.h"
#include "common/text.h"
#include "device/device_open.h"
#include "volume/fs_names.h"
#include "volume/identify.h"
#include "volume/open_volume.h"

#include <cstdio>

namespace kestrova::cli {

int RunIdentify(const IdentifyOptions& o) {
  TerminalUi ui;
  ScanFlags scan;
  SectorDevice device(scan);
  DriveTables tables;

  OpenedVolume opened;
  if (int code = OpenSource(o.source, o.sector, o.count, device, tables, ui, opened); code != kExitOk) return code;

  // Identification reads absolute sectors of the whole device.
  IdentifyContext ctx{device, 0, nullptr, nullptr};
  MbrEntry table;
  table.sectorCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(o.count, 0xFFFFFFFFu));
  DriveEntry entry = MakeDriveEntry();
  bool ok = IdentifyVolume(ctx, o.sector, o.count ? &table : nullptr, entry);
  // The open found the boot sector only at a backup position the listing does not
  // try (exFAT's backup region): identify from that copy.
  if ((!ok || !IsRecognised(entry)) && opened.bootSectorAt != 0) {
    DriveEntry fromBackup = MakeDriveEntry();
    if (IdentifyVolume(ctx, o.sector, o.count ? &table : nullptr, fromBackup, opened.raw.bootSector) &&
        IsRecognised(fromBackup)) {
      entry = fromBackup;
      entry.bootDamaged = 1;
      ok = true;
    }
  }
  entry.detectedFs = static_cast<std::int32_t>(opened.type);
  if (!ok) {
    if (o.json) {
      JsonWriter json;
      json.BeginObject().Key("fs").String("UNKNOWN").Key("start").Number(o.sector).Key("sectors").Number(0);
      json.Key("error").String("no file system recognised and no sector count given").EndObject();
      std::printf("%s\n", json.str().c_str());
    } else {
      std::fprintf(stderr, "kestrova-cli: no file system recognised at sector %llu (give --count to list it as UNKNOWN)\n",
                   static_cast<unsigned long long>(o.sector));
    }
    return kExitNotFound;
  }
  if (o.json) {
    JsonWriter json;
    json.BeginObject();
    WriteEntryJson(json, entry);
    json.Key("detected").String(ToUtf8(FsTypeName(opened.type)));
    json.Key("bootSectorAt").Number(opened.bootSectorAt);
    json.EndObject();
    std::printf("%s\n", json.str().c_str());
  } else {
    std::printf("%s", EntryText(entry).c_str());
    std::printf("detected at open: %s", ToUtf8(FsTypeName(opened.type)).c_str());
    if (opened.bootSectorAt) std::printf(" (boot sector from sector %llu)", static_cast<unsigned long long>(opened.bootSectorAt));
    std::printf("\n");
  }
  return kExitOk;
}

}  // namespace kestrova::cli
