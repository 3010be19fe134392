#include "cli/commands.h"
#include "cli/entry_output.h"
#include "cli/json_writer.h"
#include "cli/terminal_ui.h"
#include "common/text.h"
#include "device/device_open.h"
#include "volume/fs_names.h"
#include "volume/identify.h"
#include "volume/open_volume.h"

#include <cstdio>
#include <sys/stat.h>

namespace kestrova::cli {

int RunIdentify(const IdentifyOptions& o) {
  TerminalUi ui;
  ScanFlags scan;
  SectorDevice device(scan);
  DriveTables tables;

  struct stat st {};
  if (::stat(o.source.c_str(), &st) != 0) {
    std::fprintf(stderr, "kestrova-cli: cannot open %s: no such file or device\n", o.source.c_str());
    return kExitCantOpen;
  }
  if (S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "kestrova-cli: %s is a folder, not an image file or a device\n", o.source.c_str());
    return kExitCantOpen;
  }
  OpenRequest req;
  req.start = o.sector;
  req.count = o.count;
  if (S_ISBLK(st.st_mode))
    req.volumePath = o.source;
  else
    req.imagePath = o.source;
  OpenedVolume opened;
  if (!OpenDevice(device, tables, ui, req, opened)) return kExitCantOpen;
  if (!opened.raw.bootSectorRead) {
    std::fprintf(stderr, "kestrova-cli: sector %llu of %s cannot be read\n",
                 static_cast<unsigned long long>(o.sector), o.source.c_str());
    return kExitCantOpen;
  }

  // Identification reads absolute sectors of the whole device.
  device.volumeStart = 0;
  IdentifyContext ctx{device, 0, nullptr, nullptr};
  MbrEntry table;
  table.sectorCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(o.count, 0xFFFFFFFFu));
  DriveEntry entry = MakeDriveEntry();
  bool ok = IdentifyVolume(ctx, o.sector, o.count ? &table : nullptr, entry);
  // The open found the boot sector only at a backup position the listing does not
  // try (exFAT's backup region): identify from that copy.
  if ((!ok || EntryFsName(entry) == u"UNKNOWN") && opened.bootSectorAt != 0) {
    DriveEntry fromBackup = MakeDriveEntry();
    if (IdentifyVolume(ctx, o.sector, o.count ? &table : nullptr, fromBackup, opened.raw.bootSector) &&
        EntryFsName(fromBackup) != u"UNKNOWN") {
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
