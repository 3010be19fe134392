// "recover SOURCE --to DIR [PATH...]": copies files (and, with --recursive,
// folders) of a FAT or exFAT volume out to a folder on another device.
#include "cli/commands.h"
#include "cli/json_writer.h"
#include "cli/browse.h"
#include "cli/source.h"
#include "common/text.h"
#include "fs/fat/fat_find.h"
#include "recovery/recovery_job.h"
#include "volume/fs_names.h"
#include "volume/mount.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

namespace kestrova::cli {
namespace {

// Progress on stderr: files, bytes, rate and elapsed time.
class RecoverUi : public TerminalUi {
 public:
  RecoverUi(const RecoveryControl& control) : control_(control), start_(std::chrono::steady_clock::now()) {}
  void Progress(std::uint64_t done, std::uint64_t total) override {
    const auto now = std::chrono::steady_clock::now();
    // At most ten lines a second, and the last one.
    if (done != total && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double mb = static_cast<double>(control_.bytesWritten()) / 1e6;
    std::fprintf(stderr, "\rfiles %llu/%llu, %.1f MB, %.1f MB/s, %.0f s   ", static_cast<unsigned long long>(done),
                 static_cast<unsigned long long>(total), mb, seconds > 0 ? mb / seconds : 0.0, seconds);
    if (done == total) std::fprintf(stderr, "\n");
  }
  void Status(std::u16string_view) override {}

 private:
  const RecoveryControl& control_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace

int RunRecover(const RecoverOptions& options) {
  RecoverOptions o = options;
  // With a session the drive comes from it: every positional is a PATH.
  if (!o.session.empty() && !o.source.empty()) {
    o.paths.insert(o.paths.begin(), o.source);
    o.source.clear();
  }
  if (o.session.empty() && o.source.empty()) {
    std::fprintf(stderr, "kestrova-cli: recover needs SOURCE or --session FILE\n");
    return kExitUsage;
  }
  // The destination must not be on the device being read.
  RecoveryRequest request;
  // A relative destination is taken from the working folder; an empty one is refused below.
  request.destination = o.to;
  if (!o.to.empty() && o.to.front() != '/' && o.to.find_first_not_of(" \t") != std::string::npos) {
    std::error_code ec;
    const auto cwd = std::filesystem::current_path(ec);
    if (!ec) request.destination = (cwd / o.to).string();
  }
  request.blockDuplicates = o.noDuplicates;
  request.defragment = o.defrag;
  if (!o.join.empty()) {
    request.mode = RecoveryMode::Join;
    request.joinName = ToUtf16(o.join);
  }
  std::vector<std::u16string> history;
  int systemError = 0;
  if (auto refused = CheckDestination(request.destination, IdentityOfSource(o.source), history, &systemError)) {
    std::fprintf(stderr, "kestrova-cli: \"%s\": %s%s%s%s\n", EscapeControls(o.to).c_str(), ToUtf8(Text(*refused)).c_str(),
                 systemError ? " (" : "", systemError ? std::strerror(systemError) : "", systemError ? ")" : "");
    return kExitUsage;
  }


  BrowseSession session;
  session.collectMft = !o.noMft;
  session.scanFirst = o.scan;
  session.atSector = o.atSector;
  session.sector = o.sector;
  session.count = o.count;
  const int code =
      o.session.empty() ? session.Open(o.source, o.partition, "recover") : session.OpenSession(o.session, o.device);
  if (code != kExitOk) return code;
  FsReader& volume = *session.volume;

  DisplayFilter filter;
  if (o.deletedOnly || !o.mask.empty()) {
    filter.flags = show::kFiles | show::kFolders | show::kDeleted | show::kOverwritten | show::kNotDetected |
                   show::kEncrypted | show::kCompressed | show::kDollarNames;
    if (!o.deletedOnly) filter.flags |= show::kExisting;
    if (!o.mask.empty()) {
      filter.flags |= show::kMasks;
      filter.masks = DisplayFilter::SplitMasks(ToUtf16(o.mask));
    }
  }
  if (!o.status.empty()) {
    std::string bad;
    if (!ParseStatusList(o.status, filter.flags, bad)) {
      std::fprintf(stderr, "kestrova-cli: --status: unknown status \"%s\"\n", EscapeControls(bad).c_str());
      return kExitUsage;
    }
    if (o.deletedOnly) filter.flags &= ~show::kExisting;
    filter.masks = DisplayFilter::SplitMasks(ToUtf16(o.mask));
  }

  // The marked entries: the named files, or the contents of the named folders.
  std::vector<MarkedEntry> marked;
  std::string missing;
  if (session.session.Mark(o.paths, o.recursive, filter, marked, missing) != SessionStatus::Ok) {
    std::fprintf(stderr, "kestrova-cli: %s: not found on this volume\n", EscapeControls(missing).c_str());
    return kExitNotFound;
  }
  if (CheckMarked(marked.size(), 2) != MarkedCheck::Ok) {
    std::fprintf(stderr, "kestrova-cli: %s\n", ToUtf8(Text(StringId::NothingToRecover)).c_str());
    return kExitNotFound;
  }

  RecoverUi ui(request.control);
  RecoveryJob job(volume, request, ui, nullptr);
  if (!job.Run(marked, filter)) {
    std::fprintf(stderr, "kestrova-cli: %s\n", ToUtf8(Text(StringId::CantCreateOpenDirectory)).c_str());
    return kExitCantOpen;
  }
  const RecoveryStatistics& s = job.statistics();
  if (o.json) {
    JsonWriter json;
    json.BeginObject();
    json.Key("written").Number(s.written).Key("skipped").Number(s.skipped).Key("failed").Number(s.failed);
    json.Key("bytes").Number(s.bytesWritten);
    json.Key("files").BeginArray();
    for (const RecoveredFile& f : job.files()) {
      json.BeginObject().Key("source").String(f.source).Key("output").String(f.output).Key("size").Number(f.size);
      json.Key("complete").Bool(f.complete).Key("unreadable").Bool(f.unreadable);
      json.Key("error").String(f.error ? std::strerror(f.error) : "").EndObject();
    }
    json.EndArray().EndObject();
    std::printf("%s\n", json.str().c_str());
  } else {
    for (const RecoveredFile& f : job.files()) {
      std::string why;
      if (f.error) why = std::string("  (") + std::strerror(f.error) + ")";
      else if (f.unreadable) why = "  (unreadable parts written as zeros)";
      std::printf("%-9s %12llu  %s -> %s%s\n", f.output.empty() ? "skipped" : (f.complete ? "recovered" : "partial"),
                  static_cast<unsigned long long>(f.size), EscapeControls(f.source).c_str(),
                  f.output.empty() ? "-" : EscapeControls(f.output).c_str(), why.c_str());
    }
    std::printf("%llu written, %llu skipped, %llu incomplete, %llu bytes\n", static_cast<unsigned long long>(s.written),
                static_cast<unsigned long long>(s.skipped), static_cast<unsigned long long>(s.failed),
                static_cast<unsigned long long>(s.bytesWritten));
  }
  // Scripts must see a run that did not bring back all it was asked for.
  if (s.failed > 0 || s.notCreated > 0) {
    std::fprintf(stderr, "kestrova-cli: not everything was recovered: %llu incomplete, %llu could not be written\n",
                 static_cast<unsigned long long>(s.failed), static_cast<unsigned long long>(s.notCreated));
    return kExitIncomplete;
  }
  return kExitOk;
}

}  // namespace kestrova::cli
