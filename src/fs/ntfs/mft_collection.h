// The MFT collection as its owner runs it when an NTFS volume is opened: on a
// worker thread the owner starts (WorkerThread), while the progress dialog
// lets the user stop it early through the collection's token.
#pragma once

#include "common/worker_token.h"
#include "device/scan_flags.h"
#include "fs/ntfs/ntfs_files.h"

#include <cstddef>

namespace kestrova {

// The collection body: nothing runs when metadata is ignored. Progress
// (records done of all, entries added, the status line) goes to the token.
// Returns the entries added to the lost-files list.
std::size_t RunMftCollection(NtfsContext& ctx, Ui& ui, WorkerToken& token);

// "Explore files now - stop collecting all entries.": stops after the current record.
inline void ExploreNow(WorkerToken& collection) { collection.RequestStop(); }

// The dialog's Cancel: stops the collection the same way and also stops a
// running scan.
void CancelMftCollection(WorkerToken& collection, ScanFlags& scan);

}  // namespace kestrova
