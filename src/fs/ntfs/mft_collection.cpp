#include "fs/ntfs/mft_collection.h"

#include "common/activity.h"

namespace kestrova {

std::size_t RunMftCollection(NtfsContext& ctx, Ui& ui, WorkerToken& token) {
  ActivityMark activity(Fn::RunMftCollection);
  if (ctx.volume.ignoreMetadata) return 0;
  return CollectMft(ctx, ui, &token);
}

void CancelMftCollection(WorkerToken& collection, ScanFlags& scan) {
  ActivityMark activity(Fn::CancelMftCollection);
  collection.RequestStop();
  if (scan.scanRunning()) scan.token.RequestStop();
}

}  // namespace kestrova
