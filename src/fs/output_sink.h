// Where recovered bytes go: an output file, or memory (previews, the hex view).
// Pieces are written with the bookkeeping of the saving dialog: the file's
// remaining size, the byte counter, the skip and abort flags, and a full
// destination disk (the file is then skipped).
#pragma once

#include "common/ui.h"
#include "common/worker_token.h"

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrova {

// Set by the saving dialog, read by the writers between pieces. The abort is
// the recovery worker's stop; its byte counter is the token's progress.
struct RecoveryControl {
  WorkerToken token;
  std::atomic<bool> skip{false};  // the current file only: cleared before each file

  bool aborted() const { return token.StopRequested(); }
  void Abort() { token.RequestStop(); }
  std::uint64_t bytesWritten() const { return token.Progress().done; }
};

// Takes the pieces of one file instead of an output (the content search):
// Piece answers false to stop reading ("found"); Restart drops what came so
// far (the writer starts the file again).
class PieceConsumer {
 public:
  virtual ~PieceConsumer() = default;
  virtual bool Piece(std::span<const std::uint8_t> bytes) = 0;
  virtual void Restart() = 0;
};

class OutputSink {
 public:
  static OutputSink ToFile(int fd, std::uint64_t fileSize, Ui& ui, RecoveryControl& control);
  static OutputSink ToMemory(std::vector<std::uint8_t>& buffer, std::uint64_t fileSize, RecoveryControl& control);
  // Content-search mode: no output, every piece goes to the consumer.
  static OutputSink ToConsumer(PieceConsumer& consumer, std::uint64_t fileSize, RecoveryControl& control);

  // Writes a piece (cut to what the file still needs). False: stop this file
  // (skip or abort requested, or the destination is full).
  bool WriteChunk(std::span<const std::uint8_t> bytes);
  // The same for a run of zero bytes (sparse or zero-filled data).
  bool WriteZeros(std::uint64_t length);
  // Back to where this file's output began (a chain that could not be
  // followed is copied again as contiguous clusters). In a JOIN output the
  // files before this one stay as they are.
  bool Rewind();
  // A part of the data could not be read (it was written as zeros): the file
  // is incomplete however many bytes it has.
  void NoteUnreadable() { unreadable_ = true; }
  bool unreadable() const { return unreadable_; }

  std::uint64_t remaining() const { return remaining_; }
  std::uint64_t written() const { return written_; }
  bool diskFull() const { return diskFull_; }

 private:
  OutputSink(int fd, std::vector<std::uint8_t>* memory, std::uint64_t size, Ui* ui, RecoveryControl& control);
  int fd_ = -1;
  std::int64_t start_ = 0;  // file offset (or memory size) where this file's output begins
  std::vector<std::uint8_t>* memory_ = nullptr;
  PieceConsumer* consumer_ = nullptr;
  std::uint64_t size_ = 0;
  std::uint64_t remaining_ = 0;
  std::uint64_t written_ = 0;
  Ui* ui_ = nullptr;
  RecoveryControl* control_;
  bool diskFull_ = false;
  bool unreadable_ = false;
};

}  // namespace kestrova
