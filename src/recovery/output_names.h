// Names of recovered files: collision numbering, and making names read from a
// disk safe to create (they are hostile input: nothing may land outside the
// chosen destination).
#pragma once

#include "common/safe_name.h"

#include <string>
#include <string_view>

namespace kestrova {

// "%s[%.3u].%s" around the last dot (searched from the second-to-last
// character down to index 1), else "%s[%.3u]".
std::u16string MakeCollisionName(std::u16string_view name, unsigned n);

// MakeCollisionName of a safe name, cut first (whole characters, keeping the
// extension) so that the numbered name still fits 255 UTF-8 bytes.
std::u16string NumberedName(std::u16string_view safeName, unsigned n);

// SafeOutputName (common/safe_name.h): the rule for names read from a disk.

// The folder name proposed when several entries are recovered: the current
// folder's name with a leading "?" as "_", without ":" and "\", + " (RECOVERY)".
std::u16string RecoveryFolderName(std::u16string_view currentFolder);

}  // namespace kestrova
