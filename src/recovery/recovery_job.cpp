#include "recovery/recovery_job.h"

#include "common/activity.h"
#include "common/text.h"
#include "fs/cluster_chain.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <unistd.h>

namespace kestrova {

const StringId kStatisticsRows[8] = {StringId::PrepFoldersTotal,       StringId::PrepDeletedFolders,
                                     StringId::PrepDetectedFolders,    StringId::PrepOverwrittenFolders,
                                     StringId::PrepFilesTotal,         StringId::PrepDeletedFiles,
                                     StringId::PrepDetectedFiles,      StringId::PrepOverwrittenFiles};

MarkedCheck CheckMarked(std::size_t marked, std::size_t itemsInFolder) {
  ActivityMark activity(Fn::CheckMarked);
  if (marked > 0) return MarkedCheck::Ok;
  return itemsInFolder <= 1 ? MarkedCheck::NothingToRecover : MarkedCheck::SelectFiles;
}

std::optional<StringId> CheckDestination(std::string& destination, const SourceIdentity& source,
                                         std::vector<std::u16string>& history, int* systemError) {
  if (systemError) *systemError = 0;
  // An empty or relative path names no folder of its own: "" would become "/"
  // and the files would land in the root folder.
  if (destination.find_first_not_of(" \t") == std::string::npos || destination.front() != '/')
    return StringId::CantCreateOpenDirectory;
  if (destination.back() != '/') destination.push_back('/');
  const std::u16string wide = ToUtf16(destination);
  if (std::none_of(history.begin(), history.end(), [&](const std::u16string& h) { return CompareNoCase(h, wide) == 0; }))
    history.insert(history.begin(), wide);
  if (PathIsOnSource(destination, source)) return StringId::PleaseSelectAnotherDrive;
  std::error_code ec;
  std::filesystem::create_directories(destination, ec);
  if (!std::filesystem::is_directory(destination, ec)) {
    if (systemError) *systemError = ec ? ec.value() : ENOTDIR;
    return StringId::CantCreateOpenDirectory;
  }
  // A read-only folder (or file system) would fail every file: say so now.
  if (const int error = ProbeWritable(destination)) {
    if (systemError) *systemError = error;
    return StringId::CantCreateOpenDirectory;
  }
  return std::nullopt;
}

namespace {
// A deleted FAT/exFAT name's lost first character is written as "_".
std::u16string Cleaned(std::u16string name) {
  if (!name.empty() && name[0] == u'?') name[0] = u'_';
  return name;
}
// Each family keeps an entry's state in its own fields: NTFS in the rating,
// FAT and exFAT in the deleted mark and the cluster state.
}  // namespace

std::u16string JoinName(const std::vector<MarkedEntry>& marked) {
  if (marked.empty()) return u"joined";
  return Cleaned(marked.front().name) + u" - " + Cleaned(marked.back().name);
}

std::u16string RecoveryJob::OutputName(const MarkedEntry& m) const {
  if (request_.mode == RecoveryMode::Join) return request_.joinName;
  return Cleaned(m.name);
}

void RecoveryJob::Count(const MarkedEntry& m, const DisplayFilter& filter, std::vector<EntryHandle>& stack) {
  ActivityMark activity(Fn::RecoveryJobCount);
  const bool folder = IsFolder(m.entry, volume_.Type());
  if (!volume_.Shown(m.entry, m.name, filter)) return;
  const EntryStatus s = StatusOf(m.entry, volume_.Type());
  if (folder) {
    ++stats_.foldersTotal;
    stats_.foldersDeleted += s.deleted;
    stats_.foldersDetected += s.detected;
    stats_.foldersOverwritten += s.overwritten;
    // The folder pass saves the contents: they count too.
    const EntryHandle c = volume_.FolderHandle(m.entry);
    if (c < 2 || std::count(stack.begin(), stack.end(), c)) return;
    stack.push_back(c);
    for (const FoundEntry& child : volume_.List(c, {})) {
      if (child.dotEntry) continue;
      Count(MarkedEntry{child.entry, child.name, {}}, filter, stack);
    }
    stack.pop_back();
    return;
  }
  ++stats_.filesTotal;
  stats_.filesDeleted += s.deleted;
  stats_.filesDetected += s.detected;
  stats_.filesOverwritten += s.overwritten;
  stats_.sizeSum += static_cast<double>(m.entry.size);
  ++total_;
}

const OutputFolder* RecoveryJob::LazyFolder::Get() {
  if (root) return root;
  if (!made && !error) {
    const OutputFolder* above = parent ? parent->Get() : nullptr;
    if (above) {
      made = above->Sub(name);
      if (!made) error = errno ? errno : EACCES;
    } else {
      error = parent && parent->error ? parent->error : EACCES;
    }
  }
  return made ? &*made : nullptr;
}

void RecoveryJob::SaveFile(MarkedEntry& m, LazyFolder& lazy) {
  ActivityMark activity(Fn::RecoveryJobSaveFile);
  RecoveredFile report{m.path, {}, m.entry.size, false};
  request_.control.skip = false;
  std::optional<CreatedFile> created;
  // An encrypted NTFS file is saved as its export stream, beside the name.
  const auto plan = request_.mode == RecoveryMode::Join ? std::nullopt : volume_.PlanExport(m.entry);
  if (request_.mode == RecoveryMode::Join && join_) {
    created = CreatedFile{join_->fd, join_->path, join_->name};
  } else if (const OutputFolder* folder = lazy.Get()) {
    created = CreateOutputFile(*folder, OutputName(m) + (plan ? plan->suffix : u""),
                               {request_.overwrite, request_.blockDuplicates}, &report.error);
    if (created && request_.mode == RecoveryMode::Join) join_ = created;
  } else {
    report.error = lazy.error ? lazy.error : EACCES;
  }
  if (!created) {
    ++stats_.skipped;
    // A name taken while duplicates are blocked is what was asked for.
    if (!(report.error == EEXIST && request_.blockDuplicates)) ++stats_.notCreated;
    files_.push_back(report);
    return;
  }
  ui_.Status(ToUtf16(created->path));
  OutputSink sink = OutputSink::ToFile(created->fd, plan ? plan->size : std::uint64_t{m.entry.size}, ui_, request_.control);
  WriteResult r;
  if (plan)
    r.complete = volume_.WriteExport(m.entry, sink, request_.control) && sink.remaining() == 0;
  else if (request_.defragment)
    r = volume_.WriteDefragmented(m.entry, sink, request_.control);
  else
    r = volume_.Write(m.entry, sink, request_.control);
  report.output = created->path;
  report.complete = r.complete && !sink.unreadable();
  report.unreadable = sink.unreadable();
  if (request_.mode != RecoveryMode::Join) {
    if (sink.diskFull()) {
      // Skipped: a partial file must not pass for a recovered one.
      ::close(created->fd);
      ::unlink(created->path.c_str());
      report.output.clear();
      report.error = ENOSPC;
      ++stats_.skipped;
      ++stats_.notCreated;
      files_.push_back(report);
      return;
    }
    ApplyEntryMetadata(created->fd, m.entry, volume_.Type());
    ::close(created->fd);
  }
  if (report.complete)
    ++stats_.written;
  else
    ++stats_.failed;
  m.entry.marked = 0;
  files_.push_back(report);
  ui_.Progress(++done_, total_);
}

void RecoveryJob::SaveFolder(const MarkedEntry& m, LazyFolder& parent, const DisplayFilter& filter,
                             std::vector<EntryHandle>& stack) {
  const EntryHandle c = volume_.FolderHandle(m.entry);
  if (c < 2 || std::count(stack.begin(), stack.end(), c)) return;  // never a folder already being walked
  std::vector<MarkedEntry> children;
  for (const FoundEntry& child : volume_.List(c, filter)) {
    if (child.dotEntry) continue;
    children.push_back({child.entry, child.name, m.path + "/" + ToUtf8(child.name)});
  }
  LazyFolder folder;
  folder.parent = &parent;
  folder.name = Cleaned(m.name);
  stack.push_back(c);
  for (MarkedEntry& child : children) {
    if (request_.control.aborted()) break;
    if (IsFolder(child.entry, volume_.Type()))
      SaveFolder(child, folder, filter, stack);
    else
      SaveFile(child, folder);
  }
  stack.pop_back();
}

bool RecoveryJob::Run(std::vector<MarkedEntry>& marked, const DisplayFilter& filter) {
  ActivityMark activity(Fn::RecoverFiles);
  const bool pausedHere = scan_ && scan_->scanRunning() && !scan_->scanPaused();
  if (pausedHere) scan_->token.Pause();
  std::vector<EntryHandle> stack{volume_.RootHandle()};
  for (const MarkedEntry& m : marked) Count(m, filter, stack);
  auto destination = OutputFolder::Open(request_.destination, true);
  if (!destination) {
    if (pausedHere) scan_->token.Resume();
    return false;
  }
  if (request_.mode == RecoveryMode::Join && request_.joinName.empty()) request_.joinName = JoinName(marked);
  ui_.Progress(0, total_);
  LazyFolder top;
  top.root = &*destination;
  for (MarkedEntry& m : marked) {
    if (request_.control.aborted()) break;
    if (!volume_.Shown(m.entry, m.name, filter)) continue;
    if (IsFolder(m.entry, volume_.Type())) {
      if (request_.mode != RecoveryMode::Join) SaveFolder(m, top, filter, stack);
    } else {
      SaveFile(m, top);
    }
  }
  if (join_) ::close(join_->fd);
  stats_.bytesWritten = request_.control.bytesWritten();
  if (pausedHere) scan_->token.Resume();
  return true;
}

}  // namespace kestrova
