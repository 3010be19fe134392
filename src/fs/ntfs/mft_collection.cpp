#include "fs/ntfs/mft_collection.h"

namespace kestrova {

std::size_t RunMftCollection(NtfsContext& ctx, Ui& ui, WorkerToken& token) {
  if (ctx.volume.ignoreMetadata) return 0;
  return CollectMft(ctx, ui, &token);
}

void CancelMftCollection(WorkerToken& collection, ScanFlags& scan) {
  collection.RequestStop();
  if (scan.scanRunning()) scan.token.RequestStop();
}

}  // namespace kestrova
