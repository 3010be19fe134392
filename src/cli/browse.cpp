#include "cli/browse.h"

#include "cli/commands.h"
#include "cli/scan_progress.h"
#include "common/text.h"
#include "common/worker_thread.h"
#include "explore/scan_session.h"
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
  if (atSector) {
    const std::uint64_t sectors = session.device().deviceSectors;
    if (sector >= sectors || (count != 0 && count > sectors - sector)) {
      std::fprintf(stderr, "kestrova-cli: --sector %llu --count %llu lies outside %s (%llu sectors)\n",
                   static_cast<unsigned long long>(sector), static_cast<unsigned long long>(count), source.c_str(),
                   static_cast<unsigned long long>(sectors));
      return kExitUsage;
    }
  } else if (partition == 0) {
    if (rows != 1) {
      std::fprintf(stderr, "kestrova-cli: %s has %zu volumes; choose one with --partition (see 'partitions')\n",
                   source.c_str(), rows);
      return rows == 0 ? kExitNotFound : kExitUsage;
    }
    partition = 1;
  }
  if (!atSector && partition > rows) {
    std::fprintf(stderr, "kestrova-cli: --partition takes 1..%zu\n", rows);
    return kExitUsage;
  }
  const SessionStatus s = atSector ? session.MountAt(sector, count) : session.MountRow(partition - 1);
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

int ReportScanSessionStatus(const ScanSessionResult& result, const std::string& file) {
  // The core has shown its message; the detail says which block and why.
  if (!result.detail.empty()) std::fprintf(stderr, "kestrova-cli: %s: %s\n", file.c_str(), result.detail.c_str());
  switch (result.status) {
    case ScanSessionStatus::Ok: return kExitOk;
    case ScanSessionStatus::Invalid: return kExitBadData;
    case ScanSessionStatus::CantOpen:
    case ScanSessionStatus::DriveNotFound:
    case ScanSessionStatus::Cancelled:
    case ScanSessionStatus::OnSource:
    case ScanSessionStatus::WriteFailed:
    case ScanSessionStatus::Busy: return kExitCantOpen;
    case ScanSessionStatus::NotMounted:
    case ScanSessionStatus::CantMount: return kExitNotFound;
  }
  return kExitCantOpen;
}

int BrowseSession::OpenSession(const std::string& file, const std::string& device) {
  LoadScanOptions options;
  options.source = device;
  const ScanSessionResult r = LoadScanSession(session, file, options);
  if (!r.ok()) return ReportScanSessionStatus(r, file);
  // A volume scanned for headers only has no reader to browse with.
  volume = session.mounted() ? &session.volume() : nullptr;
  if (!volume && !allowUnsupported) {
    std::fprintf(stderr, "kestrova-cli: the session's volume is %s: no listing\n",
                 ToUtf8(FsTypeName(session.fsType())).c_str());
    return kExitNotFound;
  }
  return kExitOk;
}

}  // namespace kestrova::cli
