#include "cli/commands.h"
#include "cli/entry_output.h"
#include "cli/json_writer.h"
#include "cli/terminal_ui.h"
#include "common/number_text.h"
#include "common/text.h"
#include "volume/drive_list.h"

#include <cstdio>

namespace kestrova::cli {

int RunDevices(const DevicesOptions& options) {
  TerminalUi ui;
  ScanFlags scan;
  SectorDevice device(scan);
  DriveList list;
  RefreshOptions ro;
  ro.includeSystem = !options.noSystem;
  ro.images = options.images;
  RefreshDriveList(list, device, ui, ro);

  // An image that could not be added is an error the caller must see in the exit code.
  int code = kExitOk;
  for (const std::string& image : options.images) {
    const bool listed = std::any_of(list.rows.begin(), list.rows.end(),
                                    [&](const DriveRow& r) { return r.imagePath == image; });
    if (!listed) code = kExitCantOpen;
  }

  if (options.json) {
    JsonWriter json;
    json.BeginObject().Key("groups").BeginArray();
    for (const DriveGroup& g : list.groups) {
      json.BeginObject().Key("title").String(ToUtf8(g.title)).Key("rows").BeginArray();
      for (std::size_t i : g.rows) {
        const DriveRow& row = list.rows[i];
        json.BeginObject();
        WriteEntryJson(json, row.entry);
        json.Key("device").String(row.volumePath).Key("image").String(row.imagePath);
        json.EndObject();
      }
      json.EndArray().EndObject();
    }
    json.EndArray().EndObject();
    std::printf("%s\n", json.str().c_str());
    return code;
  }
  for (const DriveGroup& g : list.groups) {
    std::printf("%s\n", ToUtf8(g.title).c_str());
    for (std::size_t i : g.rows) {
      const RowTexts t = DescribeRow(list.rows[i]);
      std::printf("  %-40s %-12s %12s  free %s\n", ToUtf8(t.name).c_str(), ToUtf8(t.fsName).c_str(),
                  ToUtf8(t.size).c_str(), ToUtf8(t.free).c_str());
    }
  }
  return code;
}

}  // namespace kestrova::cli
