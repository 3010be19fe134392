// The DriveEntry fields as the CLI prints them, shared by every subcommand.
#pragma once

#include "cli/json_writer.h"
#include "device/drive_entry.h"

#include <string>

namespace kestrova::cli {

void WriteEntryJson(JsonWriter& json, const DriveEntry& entry);
std::string EntryText(const DriveEntry& entry);
std::string SerialText(std::uint32_t serial);

}  // namespace kestrova::cli
