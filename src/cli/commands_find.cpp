// "find-partitions SOURCE": the search of the whole source for volumes no
// table lists (deep or fast), with a resumable .kvsp session; every volume
// found is printed with its status.
#include "cli/browse.h"
#include "cli/commands.h"
#include "cli/entry_output.h"
#include "cli/json_writer.h"
#include "cli/terminal_ui.h"
#include "common/number_text.h"
#include "common/text.h"
#include "explore/partition_finder.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

namespace kestrova::cli {
namespace {

std::atomic<bool> gInterrupted{false};
void OnFindInterrupt(int) { gInterrupted.store(true); }

const char* StatusWord(PartitionStatus s) {
  switch (s) {
    case PartitionStatus::Ok: return "Ok";
    case PartitionStatus::Overwritten: return "Overwritten";
    case PartitionStatus::Lost: break;
  }
  return "Lost";
}

}  // namespace

int RunFindPartitions(const FindPartitionsOptions& o) {
  TerminalUi ui(o.json);
  PartitionFinder finder(ui);
  if (SessionStatus s = finder.Open(o.source); s != SessionStatus::Ok) return ReportSessionStatus(s, o.source);

  bool started = false;
  if (!o.resume.empty()) {
    PartitionSession session;
    switch (finder.LoadSession(o.resume, session)) {
      case ResumeStatus::Ok: break;
      case ResumeStatus::CantRead:
        std::fprintf(stderr, "kestrova-cli: %s is not a readable partition-search session (.kvsp)\n", o.resume.c_str());
        return kExitCantOpen;
      case ResumeStatus::Corrupt:
        std::fprintf(stderr, "kestrova-cli: %s is damaged: its sizes or counts do not fit the file\n", o.resume.c_str());
        return kExitBadData;
      case ResumeStatus::OtherDisk:
        std::fprintf(stderr, "kestrova-cli: %s was saved for a disk of %llu sectors, not %s (%llu sectors)\n",
                     o.resume.c_str(), static_cast<unsigned long long>(session.deviceSectors), o.source.c_str(),
                     static_cast<unsigned long long>(finder.deviceSectors()));
        return kExitUsage;
    }
    if (o.modeGiven) session.mode = o.fast ? 1 : 0;
    started = finder.Resume(session);
  } else {
    started = finder.Start(o.fast ? SearchMode::Fast : SearchMode::Deep, o.from);
  }
  if (!started) return kExitCantOpen;

  // Ctrl+C stops the search after its current buffer; the session keeps the position.
  gInterrupted.store(false);
  auto previous = std::signal(SIGINT, OnFindInterrupt);
  auto previousTerm = std::signal(SIGTERM, OnFindInterrupt);
  while (finder.Running()) {
    if (gInterrupted.load()) {
      finder.Stop();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  finder.Wait();
  std::signal(SIGINT, previous);
  std::signal(SIGTERM, previousTerm);

  PartitionSearch& search = *finder.search();
  if (search.failed()) {
    std::fprintf(stderr, "kestrova-cli: %s cannot be read\n", o.source.c_str());
    return kExitCantOpen;
  }
  if (!o.session.empty() && !search.SaveNow(o.session)) {
    std::fprintf(stderr, "kestrova-cli: cannot write the session %s\n", o.session.c_str());
    return kExitCantOpen;
  }
  const std::vector<FoundVolume> found = finder.Found();
  const bool complete = search.finished();
  if (o.json) {
    JsonWriter json;
    json.BeginArray();
    for (std::size_t i = 0; i < found.size(); ++i) {
      json.BeginObject();
      WriteEntryJson(json, found[i].entry);
      json.Key("type").Number(found[i].entry.partitionType);
      json.Key("index").Number(i + 1);
      json.Key("status").String(StatusWord(found[i].status));
      json.Key("damaged").Bool(found[i].damaged);
      json.EndObject();
    }
    json.EndArray();
    std::printf("%s\n", json.str().c_str());
  } else {
    std::printf("%-3s %12s %12s %-10s %-12s %-11s %s\n", "#", "start", "sectors", "fs", "size", "status", "label");
    for (std::size_t i = 0; i < found.size(); ++i) {
      const DriveEntry& e = found[i].entry;
      std::printf("%-3zu %12llu %12llu %-10s %-12s %-11s %s%s\n", i + 1, static_cast<unsigned long long>(e.start),
                  static_cast<unsigned long long>(e.sectors), ToUtf8(EntryFsName(e)).c_str(),
                  SizeText(e.sectors * 512).c_str(), StatusWord(found[i].status), ToUtf8(EntryLabel(e)).c_str(),
                  found[i].damaged ? " [DAMAGED]" : "");
    }
    if (found.empty()) std::printf("no volume found\n");
    if (!complete)
      std::printf("stopped at sector %llu of %llu%s\n", static_cast<unsigned long long>(search.position()),
                  static_cast<unsigned long long>(search.deviceSectors()),
                  o.session.empty() ? "" : " (resume with --resume)");
  }
  if (!complete) return kExitIncomplete;
  return found.empty() ? kExitNotFound : kExitOk;
}

}  // namespace kestrova::cli
