// "scan SOURCE [--partition N] [--no-raw] [--reverse] [--json]": the free-space
// scan of a volume, with its progress on stderr; Ctrl+C ends it cleanly and
// the counts found so far are still printed.
#include "cli/browse.h"
#include "cli/commands.h"
#include "cli/json_writer.h"
#include "cli/scan_progress.h"
#include "common/text.h"
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
  BrowseSession session;
  session.collectMft = false;  // the scan looks at free space; the MFT is the listing's business
  session.allowUnsupported = true;  // no reader: the volume is scanned for file headers only
  if (int code = session.Open(o.source, o.partition, "scan"); code != kExitOk) return code;
  ScanOptions options;
  options.raw = !o.noRaw;
  options.reverse = o.reverse;
  const ScanRun run = RunScanWithProgress(session.session, options, false);
  const ScanSnapshot& s = run.snapshot;
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
    json.EndArray().EndObject();
    std::printf("%s\n", json.str().c_str());
  } else {
    std::printf("scan %s: %.0f MB in %.1f s\n", EndText(run.result.end), static_cast<double>(s.bytesDone) / 1048576.0,
                s.elapsedSeconds);
    std::printf("Lost files %llu\nRebuild %llu\nRAW files %llu\n", static_cast<unsigned long long>(run.result.lostCount),
                static_cast<unsigned long long>(run.result.rebuildCount),
                static_cast<unsigned long long>(run.result.rawCount));
    for (const ScanTypeCount& t : s.types) std::printf("  %-12s %u\n", t.folder.c_str(), t.count);
  }
  return kExitOk;
}

}  // namespace kestrova::cli
