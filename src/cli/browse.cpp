#include "cli/browse.h"

#include "cli/commands.h"
#include "cli/scan_progress.h"
#include "common/text.h"
#include "common/worker_thread.h"
#include "volume/fs_names.h"

#include <cstdio>

namespace kestrova::cli {

int ReportSessionStatus(SessionStatus status, const std::string& source) {
  switch (status) {
    case SessionStatus::Ok: return kExitOk;
    case SessionStatus::Missing:
      std::fprintf(stderr, "kestrova-cli: cannot open %s: no such file or device\n", source.c_str());
      return kExitCantOpen;
    case SessionStatus::IsFolder:
      std::fprintf(stderr, "kestrova-cli: %s is a folder, not an image file or a device\n", source.c_str());
      return kExitCantOpen;
    case SessionStatus::BootUnreadable:
      std::fprintf(stderr, "kestrova-cli: sector 0 of %s cannot be read\n", source.c_str());
      return kExitCantOpen;
    case SessionStatus::CantOpen: return kExitCantOpen;  // the open has said why
    case SessionStatus::NoVolume:
    case SessionStatus::NotFound:
    case SessionStatus::CantMount:
    case SessionStatus::Unsupported: return kExitNotFound;
    case SessionStatus::NeedVolume:
    case SessionStatus::BadVolume: return kExitUsage;
  }
  return kExitNotFound;
}

int BrowseSession::Open(const std::string& source, std::size_t partition, const char* command) {
  if (SessionStatus s = session.OpenSource(source); s != SessionStatus::Ok) return ReportSessionStatus(s, source);
  const std::size_t rows = session.rows().size();
  if (partition == 0) {
    if (rows != 1) {
      std::fprintf(stderr, "kestrova-cli: %s has %zu volumes; choose one with --partition (see 'partitions')\n",
                   source.c_str(), rows);
      return rows == 0 ? kExitNotFound : kExitUsage;
    }
    partition = 1;
  }
  if (partition > rows) {
    std::fprintf(stderr, "kestrova-cli: --partition takes 1..%zu\n", rows);
    return kExitUsage;
  }
  const SessionStatus s = session.MountRow(partition - 1);
  if (s == SessionStatus::CantMount) {
    std::fprintf(stderr, "kestrova-cli: the volume cannot be mounted\n");
    return kExitNotFound;
  }
  if (s == SessionStatus::Unsupported && allowUnsupported) return kExitOk;
  if (s == SessionStatus::Unsupported) {
    std::fprintf(stderr, "kestrova-cli: %s reads FAT12/16/32, exFAT and NTFS volumes; this one is %s\n", command,
                 ToUtf8(FsTypeName(session.fsType())).c_str());
    return kExitNotFound;
  }
  if (s != SessionStatus::Ok) return ReportSessionStatus(s, source);
  // The command line has no dialog to stop the collection early.
  if (collectMft) {
    WorkerToken collection;
    WorkerThread thread(collection, [&](WorkerToken& token) { session.CollectMft(token); });
    thread.Join();
  }
  volume = &session.volume();
  if (scanFirst) {
    const ScanRun run = RunScanWithProgress(session, ScanOptions{}, false);
    if (run.interrupted) std::fprintf(stderr, "kestrova-cli: scan stopped; what it found so far is used\n");
  }
  return kExitOk;
}

}  // namespace kestrova::cli
