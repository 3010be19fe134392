// The MFT collection on a thread of its own, started when an NTFS volume is
// opened, while the progress dialog lets the user stop it early.
#pragma once

#include "device/scan_flags.h"
#include "fs/ntfs/ntfs_files.h"

#include <atomic>
#include <cstddef>
#include <thread>

namespace kestrova {

class MftCollection {
 public:
  // Starts collecting at once (unless metadata is ignored: then nothing runs).
  MftCollection(NtfsContext& ctx, Ui& ui, ScanFlags& scan);
  ~MftCollection();
  MftCollection(const MftCollection&) = delete;
  MftCollection& operator=(const MftCollection&) = delete;

  // "Explore files now - stop collecting all entries.": stops after the current record.
  void ExploreNow() { stop_ = true; }
  // The dialog's Cancel: stops the same way and also stops a running scan.
  void Cancel();
  // Waits for the end; the entries added to the lost-files list.
  std::size_t Wait();
  bool finished() const { return finished_; }

 private:
  ScanFlags& scan_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
  std::size_t added_ = 0;
  std::thread thread_;
};

}  // namespace kestrova
