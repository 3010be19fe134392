// "scan SOURCE [--partition N] [--no-raw] [--reverse] [--old-partitions] [--json]": the free-space
// scan of a volume, with its progress on stderr; Ctrl+C ends it cleanly and
// the counts found so far are still printed.
#include "cli/browse.h"
#include "cli/commands.h"
#include "cli/json_writer.h"
#include "cli/scan_progress.h"
#include "common/number_text.h"
#include "common/text.h"
#include "resources/strings.h"
#include "volume/fs_names.h"

#include <cstdio>

namespace kestrova::cli {
namespace {

const char* EndText(ScanEnd end) {
  switch (end) {
    case ScanEnd::Finished: return "finished";
    case ScanEnd::Stopped: return "stopped";
    case ScanEnd::Abandoned: return "abandoned";
    case ScanEnd::Empty: return "empty";
  }
  return "";
}

}  // namespace

int RunScan(const ScanOptionsCli& o) {
  if (o.resume.empty() == o.source.empty()) {
    std::fprintf(stderr, "kestrova-cli: scan needs SOURCE or --resume FILE (not both)\n");
    return kExitUsage;
  }
  BrowseSession session;
  session.collectMft = false;  // the scan looks at free space; the MFT is the listing's business
  session.allowUnsupported = true;  // no reader: the volume is scanned for file headers only
  ScanCheckpoint checkpoint;
  checkpoint.file = o.resume.empty() ? o.session : (o.session.empty() ? o.resume : o.session);
  checkpoint.everySeconds = o.checkpointEvery;
  if (!o.resume.empty()) {
    // The drive and the results come from the session; the scan goes on from
    // where it stood, with the options it was started with.
    if (int code = session.OpenSession(o.resume, ""); code != kExitOk) return code;
    if (session.session.sessionTrailer().scanComplete != 0) {
      std::fprintf(stderr, "kestrova-cli: the scan of %s had finished; nothing to resume\n", o.resume.c_str());
      return kExitOk;
    }
  } else if (int code = session.Open(o.source, o.partition, "scan"); code != kExitOk) {
    return code;
  }
  ScanOptions options;
  options.raw = !o.noRaw;
  options.reverse = o.reverse;
  if (o.oldPartitions) options.bootProbe = session.session.MountedVolumeRange();
  const ScanRun run = RunScanWithProgress(session.session, options, false, &checkpoint, !o.resume.empty());
  if (checkpoint.failed) return kExitCantOpen;
  const ScanSnapshot& s = run.snapshot;
  const std::vector<DriveEntry> old = session.session.OldPartitions();
  if (o.json) {
    JsonWriter json;
    json.BeginObject();
    json.Key("end").String(EndText(run.result.end)).Key("interrupted").Bool(run.interrupted);
    json.Key("fileSystem").String(ToUtf8(FsTypeName(session.session.fsType())));
    json.Key("percent").Number(s.percent).Key("bytes").Number(s.bytesDone).Key("seconds").Double(s.elapsedSeconds);
    json.Key("lost").Number(run.result.lostCount).Key("rebuild").Number(run.result.rebuildCount);
    json.Key("raw").Number(run.result.rawCount);
    json.Key("types").BeginArray();
    for (const ScanTypeCount& t : s.types)
      json.BeginObject().Key("type").String(t.folder).Key("item").Number(t.item).Key("count").Number(t.count).EndObject();
    json.EndArray();
    if (o.oldPartitions) {
      json.Key("oldPartitions").BeginArray();
      for (const DriveEntry& e : old)
        json.BeginObject()
            .Key("fileSystem").String(ToUtf8(EntryFsName(e)))
            .Key("start").Number(e.start)
            .Key("sectors").Number(e.sectors)
            .Key("label").String(ToUtf8(EntryLabel(e)))
            .Key("damaged").Bool(e.damagedResult != 0)
            .EndObject();
      json.EndArray();
    }
    json.EndObject();
    std::printf("%s\n", json.str().c_str());
  } else {
    std::printf("scan %s: %.0f MB in %.1f s\n", EndText(run.result.end), static_cast<double>(s.bytesDone) / 1048576.0,
                s.elapsedSeconds);
    std::printf("Lost files %llu\nRebuild %llu\nRAW files %llu\n", static_cast<unsigned long long>(run.result.lostCount),
                static_cast<unsigned long long>(run.result.rebuildCount),
                static_cast<unsigned long long>(run.result.rawCount));
    for (const ScanTypeCount& t : s.types) std::printf("  %-12s %u\n", t.folder.c_str(), t.count);
    // As the partition search logs a find: "NTFS detected at sector: 2048 - LABEL (size)".
    for (const DriveEntry& e : old)
      std::printf("%s %s %llu - %s (%s)%s\n", ToUtf8(EntryFsName(e)).c_str(),
                  ToUtf8(Text(StringId::PartScanDetectedAtSector)).c_str(), static_cast<unsigned long long>(e.start),
                  ToUtf8(EntryLabel(e)).c_str(), SizeText(e.sectors * 512).c_str(), e.damagedResult ? " [DAMAGED]" : "");
  }
  return kExitOk;
}

}  // namespace kestrova::cli
