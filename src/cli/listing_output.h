// One listed entry as "ls" prints it (a text line or a JSON object), shared by
// "ls" and "search" so search results can be fed to "recover".
#pragma once

#include "cli/json_writer.h"
#include "common/fs_type.h"
#include "fs/dir_find.h"

#include <string>

namespace kestrova::cli {

// "existing", "deleted", "overwritten", "notdetected" or "folderverified".
const char* ListStatus(const ScanEntry& e, FsType fs);
// JSON into `json` when given, else a text line on stdout. folderPath ends with '/'.
void PrintListedEntry(JsonWriter* json, FsType fs, const std::string& folderPath, const FoundEntry& f);

}  // namespace kestrova::cli
