// One control for every worker thread: stop, pause (a wait that wakes on
// resume or stop), abort while paused, and progress counters a window polls.
// The owner (a window, the command line, a test) holds the token and starts
// the worker with a WorkerThread; the worker only reads the requests and
// writes the progress.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace kestrova {

// What a window reads on its timer.
struct WorkerProgress {
  std::uint64_t done = 0;   // units of work done (sectors, bytes, records)
  std::uint64_t total = 0;  // units in all; 0 while unknown
  std::uint64_t items = 0;  // things found or written
  std::uint64_t statusGeneration = 0;  // changes whenever the status text does
};

class WorkerToken {
 public:
  WorkerToken() = default;
  WorkerToken(const WorkerToken&) = delete;
  WorkerToken& operator=(const WorkerToken&) = delete;

  // --- requests (owner, any thread) ---

  // The worker ends at its next check; a parked worker wakes at once.
  void RequestStop();
  void Pause();
  void Resume();
  // The pause command: pauses a running worker, resumes a paused one. True
  // when the worker is paused afterwards.
  bool TogglePause();
  // A parked or paused worker leaves at once and skips its end prompt
  // (another drive chosen, a session loaded over the scan). No effect on a
  // worker that is not paused; true when it took effect.
  bool AbortWhilePaused();
  // Waits until the worker is parked in WaitWhilePaused or no longer running
  // (a session save waits for a paused scan to settle).
  void WaitUntilParked();
  // Clears requests and progress for the next run. Only while no worker runs.
  void Reset();

  // --- state (any thread) ---

  bool StopRequested() const { return stop_.load(std::memory_order_acquire); }
  bool Paused() const { return paused_.load(std::memory_order_acquire); }
  bool Parked() const { return parked_.load(std::memory_order_acquire); }
  // Stopped while paused: the worker leaves without its end prompt.
  bool Abandoned() const { return abandoned_.load(std::memory_order_acquire); }
  // A worker thread is running on this token (set by WorkerThread or a RunScope).
  bool Running() const { return running_.load(std::memory_order_acquire); }

  // --- worker side ---

  // Parks while paused. True: go on; false: stop (also when stopped while parked).
  bool WaitWhilePaused();
  void SetRunning(bool running);

  // Progress counters. Single writer (the worker); readers poll.
  void SetTotal(std::uint64_t total) { total_.store(total, std::memory_order_relaxed); }
  void SetDone(std::uint64_t done) { done_.store(done, std::memory_order_relaxed); }
  void AddDone(std::uint64_t n) { done_.fetch_add(n, std::memory_order_relaxed); }
  void AddItems(std::uint64_t n = 1) { items_.fetch_add(n, std::memory_order_relaxed); }
  void SetStatus(std::u16string text);

  WorkerProgress Progress() const;
  std::u16string Status() const;

 private:
  std::atomic<bool> stop_{false};
  std::atomic<bool> paused_{false};
  std::atomic<bool> parked_{false};
  std::atomic<bool> abandoned_{false};
  std::atomic<bool> running_{false};
  std::atomic<std::uint64_t> done_{0}, total_{0}, items_{0}, statusGeneration_{0};

  // Guards the pause hand-over (so a wake-up between the test and the wait is
  // never lost) and the status text.
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::u16string status_;
};

// Marks a token running for a scope, for work run on the owner's own thread.
class WorkerRunScope {
 public:
  explicit WorkerRunScope(WorkerToken& token) : token_(token) { token_.SetRunning(true); }
  ~WorkerRunScope() { token_.SetRunning(false); }
  WorkerRunScope(const WorkerRunScope&) = delete;
  WorkerRunScope& operator=(const WorkerRunScope&) = delete;

 private:
  WorkerToken& token_;
};

}  // namespace kestrova
