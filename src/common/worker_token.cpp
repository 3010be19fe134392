#include "common/worker_token.h"

namespace kestrova {

// Every request is stored under the lock before the wake-up, so a worker
// between its test and its wait cannot miss it.

void WorkerToken::RequestStop() {
  {
    std::scoped_lock guard(lock_);
    stop_.store(true, std::memory_order_release);
  }
  changed_.notify_all();
}

void WorkerToken::Pause() {
  std::scoped_lock guard(lock_);
  paused_.store(true, std::memory_order_release);
}

void WorkerToken::Resume() {
  {
    std::scoped_lock guard(lock_);
    paused_.store(false, std::memory_order_release);
  }
  changed_.notify_all();
}

bool WorkerToken::TogglePause() {
  bool nowPaused;
  {
    std::scoped_lock guard(lock_);
    nowPaused = !paused_.load(std::memory_order_relaxed);
    paused_.store(nowPaused, std::memory_order_release);
  }
  changed_.notify_all();
  return nowPaused;
}

bool WorkerToken::AbortWhilePaused() {
  {
    std::scoped_lock guard(lock_);
    if (!paused_.load(std::memory_order_relaxed)) return false;
    abandoned_.store(true, std::memory_order_release);
    stop_.store(true, std::memory_order_release);
  }
  changed_.notify_all();
  return true;
}

void WorkerToken::WaitUntilParked() {
  std::unique_lock guard(lock_);
  changed_.wait(guard, [&] {
    return parked_.load(std::memory_order_relaxed) || !running_.load(std::memory_order_relaxed) ||
           !paused_.load(std::memory_order_relaxed) || stop_.load(std::memory_order_relaxed);
  });
}

void WorkerToken::Reset() {
  std::scoped_lock guard(lock_);
  stop_ = false;
  paused_ = false;
  parked_ = false;
  abandoned_ = false;
  done_ = 0;
  total_ = 0;
  items_ = 0;
  status_.clear();
  statusGeneration_.fetch_add(1, std::memory_order_relaxed);
}

bool WorkerToken::WaitWhilePaused() {
  if (!paused_.load(std::memory_order_acquire)) return !stop_.load(std::memory_order_acquire);
  std::unique_lock guard(lock_);
  if (paused_.load(std::memory_order_relaxed) && !stop_.load(std::memory_order_relaxed)) {
    parked_.store(true, std::memory_order_release);
    changed_.notify_all();  // a session save waits for the park
    changed_.wait(guard, [&] {
      return !paused_.load(std::memory_order_relaxed) || stop_.load(std::memory_order_relaxed);
    });
    parked_.store(false, std::memory_order_release);
  }
  return !stop_.load(std::memory_order_relaxed);
}

void WorkerToken::SetRunning(bool running) {
  {
    std::scoped_lock guard(lock_);
    running_.store(running, std::memory_order_release);
  }
  changed_.notify_all();
}

void WorkerToken::SetStatus(std::u16string text) {
  std::scoped_lock guard(lock_);
  status_ = std::move(text);
  statusGeneration_.fetch_add(1, std::memory_order_release);
}

WorkerProgress WorkerToken::Progress() const {
  WorkerProgress p;
  p.done = done_.load(std::memory_order_relaxed);
  p.total = total_.load(std::memory_order_relaxed);
  p.items = items_.load(std::memory_order_relaxed);
  p.statusGeneration = statusGeneration_.load(std::memory_order_acquire);
  return p;
}

std::u16string WorkerToken::Status() const {
  std::scoped_lock guard(lock_);
  return status_;
}

}  // namespace kestrova
