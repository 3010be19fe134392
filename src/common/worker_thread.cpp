#include "common/worker_thread.h"

#include "common/activity.h"

#include <csignal>
#include <sys/mman.h>
#include <unistd.h>

namespace kestrova {

AlternateSignalStack::AlternateSignalStack() {
  stack_t current{};
  if (::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) return;  // keep the one it has
  std::size_t size = kSize;
  const long minimum = ::sysconf(_SC_MINSIGSTKSZ);
  if (minimum > 0 && static_cast<std::size_t>(minimum) * 4 > size) size = static_cast<std::size_t>(minimum) * 4;
  // A guard page below the stack: a handler that overruns it faults instead
  // of writing over other memory.
  const long page = ::sysconf(_SC_PAGESIZE);
  const std::size_t guard = page > 0 ? static_cast<std::size_t>(page) : 4096;
  void* p = ::mmap(nullptr, size + guard, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return;
  ::mprotect(p, guard, PROT_NONE);
  stack_t ss{};
  ss.ss_sp = static_cast<char*>(p) + guard;
  ss.ss_size = size;
  if (::sigaltstack(&ss, nullptr) != 0) {
    ::munmap(p, size + guard);
    return;
  }
  memory_ = p;
  size_ = size + guard;
}

AlternateSignalStack::~AlternateSignalStack() {
  if (!memory_) return;
  stack_t off{};
  off.ss_flags = SS_DISABLE;
  ::sigaltstack(&off, nullptr);
  ::munmap(memory_, size_);
}

bool WorkerThread::Start(WorkerToken& token, Body body) {
  if (thread_.joinable()) return false;
  token_ = &token;
  token.SetRunning(true);
  thread_ = std::jthread([&token, body = std::move(body)] {
    AlternateSignalStack stack;
    ActivityThreadScope activity;
    body(token);
    token.SetRunning(false);
  });
  return true;
}

void WorkerThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void WorkerThread::StopAndJoin() {
  if (!thread_.joinable()) return;
  if (token_) token_->RequestStop();
  thread_.join();
}

}  // namespace kestrova
