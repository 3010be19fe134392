// The one way a worker thread starts: its owner (a window, the command line)
// hands it a token and a body. The thread gets an alternate signal stack of
// its own (a fault on it still writes the crash report, even when the fault
// is a stack overflow) and a table of its own for the activity marks; the
// token reads "running" for the life of the body. Destroying the launcher
// requests a stop and waits for the thread.
#pragma once

#include "common/worker_token.h"

#include <cstddef>
#include <functional>
#include <thread>

namespace kestrova {

// Installs an alternate signal stack for the calling thread for the scope's
// lifetime and frees it afterwards. Does nothing when the thread already has one.
class AlternateSignalStack {
 public:
  static constexpr std::size_t kSize = 64 * 1024;
  AlternateSignalStack();
  ~AlternateSignalStack();
  AlternateSignalStack(const AlternateSignalStack&) = delete;
  AlternateSignalStack& operator=(const AlternateSignalStack&) = delete;
  bool installed() const { return memory_ != nullptr; }

 private:
  void* memory_ = nullptr;
  std::size_t size_ = 0;
};

class WorkerThread {
 public:
  using Body = std::function<void(WorkerToken&)>;

  WorkerThread() = default;
  WorkerThread(WorkerToken& token, Body body) { Start(token, std::move(body)); }
  ~WorkerThread() { StopAndJoin(); }
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Starts the body on a new thread. The token reads running before this
  // returns, so an owner that asks at once does not see an idle worker. The
  // token must outlive the thread (declare it before the launcher).
  // False when a thread of this launcher still runs.
  bool Start(WorkerToken& token, Body body);
  // Waits for the body to return (no stop request).
  void Join();
  // Requests a stop (a paused worker wakes) and waits.
  void StopAndJoin();
  bool joinable() const { return thread_.joinable(); }

 private:
  WorkerToken* token_ = nullptr;
  std::jthread thread_;
};

}  // namespace kestrova
