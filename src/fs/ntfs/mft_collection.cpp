#include "fs/ntfs/mft_collection.h"

namespace kestrova {

MftCollection::MftCollection(NtfsContext& ctx, Ui& ui, ScanFlags& scan) : scan_(scan) {
  if (ctx.volume.ignoreMetadata) {
    finished_ = true;
    return;
  }
  thread_ = std::thread([this, &ctx, &ui] {
    added_ = CollectMft(ctx, ui, &stop_);
    finished_ = true;
  });
}

MftCollection::~MftCollection() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void MftCollection::Cancel() {
  stop_ = true;
  if (scan_.scanRunning) scan_.stopRequested = true;
}

std::size_t MftCollection::Wait() {
  if (thread_.joinable()) thread_.join();
  return added_;
}

}  // namespace kestrova
