// "image SOURCE [--partition N] --to FILE.img [--map FILE.map] [--retry-bad]":
// a sector copy of the whole source or one listed volume into an image file.
#include "cli/browse.h"
#include "cli/commands.h"
#include "cli/json_writer.h"
#include "cli/terminal_ui.h"
#include "common/activity.h"
#include "common/text.h"
#include "explore/image_copy.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

namespace kestrova::cli {
namespace {

volatile std::sig_atomic_t interrupted = 0;
void OnInterrupt(int) { interrupted = 1; }

// Ctrl+C asks the copy to stop after its current chunk (the map stays usable);
// the default action returns when the command ends.
class InterruptScope {
 public:
  InterruptScope() {
    interrupted = 0;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &old_);
    ::sigaction(SIGTERM, &action, &oldTerm_);
  }
  ~InterruptScope() {
    ::sigaction(SIGINT, &old_, nullptr);
    ::sigaction(SIGTERM, &oldTerm_, nullptr);
  }

 private:
  struct sigaction old_ {}, oldTerm_ {};
};

std::string Duration(double seconds) {
  if (seconds < 0 || seconds > 360000 * 24) return "--:--:--";
  const auto s = static_cast<unsigned long long>(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%02llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
  return text;
}

// One line on stderr, redrawn: percent, sectors, rate, unreadable sectors, time left.
void ShowProgress(const WorkerProgress& p, std::uint64_t startDone, std::uint32_t sectorSize, double seconds,
                  bool last) {
  if (p.total == 0) return;
  const double done = static_cast<double>(p.done - std::min(p.done, startDone)) * sectorSize;
  const double rate = seconds > 0 ? done / seconds : 0;
  const double left = static_cast<double>(p.total - std::min(p.total, p.done)) * sectorSize;
  std::fprintf(stderr, "\r%5.1f%%  %llu/%llu sectors  %.1f MB/s  unreadable %llu  ETA %s   ",
               static_cast<double>(p.done) * 100.0 / static_cast<double>(p.total), static_cast<unsigned long long>(p.done),
               static_cast<unsigned long long>(p.total), rate / 1e6, static_cast<unsigned long long>(p.items),
               rate > 0 ? Duration(left / rate).c_str() : "--:--:--");
  if (last) std::fprintf(stderr, "\n");
}

int ExitFor(const ImageResult& r) {
  switch (r.status) {
    case ImageStatus::Done: return r.sectorsUnreadable > 0 ? kExitIncomplete : kExitOk;
    case ImageStatus::OutputOnSource:
    case ImageStatus::BadRequest: return kExitUsage;
    case ImageStatus::CantCreate: return kExitCantOpen;
    case ImageStatus::MapUnreadable:
    case ImageStatus::MapWithoutImage: return kExitBadData;
    default: return kExitIncomplete;
  }
}

const char* StatusName(ImageStatus s) {
  switch (s) {
    case ImageStatus::Done: return "done";
    case ImageStatus::Aborted: return "aborted";
    case ImageStatus::BadRequest: return "bad-request";
    case ImageStatus::OutputOnSource: return "output-on-source";
    case ImageStatus::CantCreate: return "cant-create";
    case ImageStatus::WriteFailed: return "write-failed";
    case ImageStatus::DiskFull: return "disk-full";
    case ImageStatus::DeviceGone: return "device-gone";
    case ImageStatus::MapUnreadable: return "map-unreadable";
    case ImageStatus::MapWithoutImage: return "map-without-image";
    case ImageStatus::MapWriteFailed: return "map-write-failed";
    case ImageStatus::NoMemory: return "no-memory";
  }
  return "failed";
}

}  // namespace

int RunImage(const ImageOptions& o) {
  ActivityMark activity(Fn::CliImage);
  TerminalUi ui(o.json);
  VolumeSession session(ui);
  // A whole disk is copied even when its first sector cannot be read: that is when an image matters most.
  const SessionStatus opened = session.OpenSource(o.source);
  if (opened != SessionStatus::Ok && !(opened == SessionStatus::BootUnreadable && o.partition == 0))
    return ReportSessionStatus(opened, o.source);

  ImageCopy copy(session);
  ImageChoice choice;
  if (o.partition > 0) choice.row = o.partition - 1;
  choice.outputPath = o.to;
  choice.mapPath = o.map;
  choice.retryBad = o.retryBad;
  ImageRequest request;
  if (SessionStatus s = copy.Prepare(choice, request); s != SessionStatus::Ok) return ReportSessionStatus(s, o.source);

  const std::uint32_t sectorSize = session.device().sectorSize;
  InterruptScope interrupt;
  const auto start = std::chrono::steady_clock::now();
  if (!copy.Start(request)) return kExitUsage;
  bool stopping = false;
  std::uint64_t startDone = kAllOnes;
  while (!copy.finished()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (interrupted && !stopping) {
      stopping = true;
      copy.Abort();
    }
    const WorkerProgress p = copy.Progress();
    if (startDone == kAllOnes && p.total) startDone = p.done;  // a resumed copy counts its rate from here
    if (!o.json)
      ShowProgress(p, startDone, sectorSize,
                   std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), false);
  }
  const ImageResult& r = copy.Wait();
  if (!o.json)
    ShowProgress(copy.Progress(), startDone == kAllOnes ? 0 : startDone, sectorSize,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), true);

  if (r.status != ImageStatus::Done) {
    std::string why = ToUtf8(ImageStatusText(r.status));
    if (r.error) why += std::string(" (") + std::strerror(r.error) + ")";
    if (r.status == ImageStatus::MapUnreadable && r.mapLine) why += " (line " + std::to_string(r.mapLine) + ")";
    std::fprintf(stderr, "kestrova-cli: \"%s\": %s\n", EscapeControls(r.status == ImageStatus::MapUnreadable ||
                                                                       r.status == ImageStatus::MapWriteFailed
                                                                       ? o.map : o.to).c_str(), why.c_str());
  }
  if (o.json) {
    JsonWriter json;
    json.BeginObject();
    json.Key("status").String(StatusName(r.status)).Key("output").String(o.to).Key("map").String(o.map);
    json.Key("start").Number(request.start).Key("sectors").Number(request.count).Key("sectorSize").Number(sectorSize);
    json.Key("copied").Number(r.sectorsCopied).Key("unreadable").Number(r.sectorsUnreadable);
    json.Key("left").Number(r.sectorsLeft).Key("writtenThisRun").Number(r.sectorsWritten);
    json.Key("resumed").Bool(r.resumed).Key("bootReplaced").Bool(r.bootReplaced);
    json.Key("error").String(r.error ? std::strerror(r.error) : "");
    json.Key("unreadableSectors").BeginArray();
    for (std::uint64_t s : r.unreadable) json.Number(s);
    json.EndArray().EndObject();
    std::printf("%s\n", json.str().c_str());
  } else if (r.status != ImageStatus::OutputOnSource && r.status != ImageStatus::BadRequest) {
    std::printf("%s\n", EscapeControls(ToUtf8(ImageSummaryText(r))).c_str());
  }
  return ExitFor(r);
}

}  // namespace kestrova::cli
