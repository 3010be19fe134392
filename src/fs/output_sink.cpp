#include "fs/output_sink.h"

#include "common/activity.h"

#include "resources/strings.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace kestrova {

OutputSink::OutputSink(int fd, std::vector<std::uint8_t>* memory, std::uint64_t size, Ui* ui, RecoveryControl& control)
    : fd_(fd), memory_(memory), size_(size), remaining_(size), ui_(ui), control_(&control) {
  if (memory_) {
    start_ = static_cast<std::int64_t>(memory_->size());
  } else if (fd_ >= 0) {
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    start_ = at < 0 ? 0 : static_cast<std::int64_t>(at);
  }
}

OutputSink OutputSink::ToFile(int fd, std::uint64_t fileSize, Ui& ui, RecoveryControl& control) {
  ActivityMark activity(Fn::OutputSinkToFile);
  return OutputSink(fd, nullptr, fileSize, &ui, control);
}

OutputSink OutputSink::ToMemory(std::vector<std::uint8_t>& buffer, std::uint64_t fileSize, RecoveryControl& control) {
  ActivityMark activity(Fn::OutputSinkToMemory);
  return OutputSink(-1, &buffer, fileSize, nullptr, control);
}

OutputSink OutputSink::ToConsumer(PieceConsumer& consumer, std::uint64_t fileSize, RecoveryControl& control) {
  OutputSink sink(-1, nullptr, fileSize, nullptr, control);
  sink.consumer_ = &consumer;
  return sink;
}

bool OutputSink::WriteChunk(std::span<const std::uint8_t> bytes) {
  if (bytes.size() > remaining_) bytes = bytes.subspan(0, static_cast<std::size_t>(remaining_));
  if (consumer_) {
    if (control_->aborted()) return false;
    remaining_ -= bytes.size();
    written_ += bytes.size();
    return bytes.empty() || consumer_->Piece(bytes);
  }
  if (memory_) {
    if (control_->skip.load()) return false;
    memory_->insert(memory_->end(), bytes.begin(), bytes.end());
    remaining_ -= bytes.size();
    written_ += bytes.size();
    return true;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t r = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      if (r < 0 && (errno == ENOSPC || errno == EDQUOT || errno == EFBIG)) {
        diskFull_ = true;
        if (ui_) ui_->MessageBox(Text(StringId::DiskIsFull), Text(StringId::Caption), MsgIcon::Warning, MsgButtons::Ok);
      }
      return false;
    }
    done += static_cast<std::size_t>(r);
    control_->token.AddDone(static_cast<std::uint64_t>(r));
  }
  written_ += done;
  remaining_ -= done;
  return !control_->skip.load();
}

bool OutputSink::WriteZeros(std::uint64_t length) {
  static const std::vector<std::uint8_t> kZeros(1 << 16, 0);
  while (length > 0 && remaining_ > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, kZeros.size()));
    if (!WriteChunk(std::span(kZeros).subspan(0, n))) return false;
    length -= n;
  }
  return true;
}

bool OutputSink::Rewind() {
  if (consumer_) {
    remaining_ = size_;
    written_ = 0;
    unreadable_ = false;
    consumer_->Restart();
    return true;
  }
  if (!memory_) control_->token.SetDone(control_->bytesWritten() - std::min<std::uint64_t>(written_, control_->bytesWritten()));
  remaining_ = size_;
  written_ = 0;
  unreadable_ = false;
  if (memory_) {
    memory_->resize(static_cast<std::size_t>(start_));
    return true;
  }
  // Only this file's part: earlier files of a JOIN output are kept.
  return ::ftruncate(fd_, static_cast<off_t>(start_)) == 0 && ::lseek(fd_, static_cast<off_t>(start_), SEEK_SET) == start_;
}

}  // namespace kestrova
