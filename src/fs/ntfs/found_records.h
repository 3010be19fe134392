// Records found outside the MFT (by the free-space scan) merged into the
// lost-files list without showing a file twice.
#pragma once

#include "fs/ntfs/ntfs_files.h"

#include <cstddef>
#include <vector>

namespace kestrova {

// Sorts the batch by parent reference, marks 244 (duplicate) every record
// equal to an earlier one of the batch or to one already in the list (same
// parent, same name without regard to case, same flags and, for files, the
// same size), and appends the others under the list's lock. The caller holds
// the scan's lock (taken before the list's). Returns the records appended.
std::size_t FlushFoundRecords(EntryList& lost, std::vector<ParsedRecord>& batch);

}  // namespace kestrova
