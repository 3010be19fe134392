#include "shell/diagnostics.h"

#include "common/activity.h"
#include "common/civil_date.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

namespace kestrova {
namespace {

// --- async-signal-safe formatting ---

std::size_t PutText(char* out, std::size_t at, std::size_t cap, const char* text) {
  while (*text && at + 1 < cap) out[at++] = *text++;
  out[at] = 0;
  return at;
}

std::size_t PutDecimal(char* out, std::size_t at, std::size_t cap, std::uint64_t v, int width = 0) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  while (n < width) digits[n++] = '0';
  while (n && at + 1 < cap) out[at++] = digits[--n];
  out[at] = 0;
  return at;
}

std::size_t PutHex(char* out, std::size_t at, std::size_t cap, std::uint64_t v, int width) {
  static const char kHex[] = "0123456789ABCDEF";
  char digits[20];
  int n = 0;
  do {
    digits[n++] = kHex[v & 15];
    v >>= 4;
  } while (v);
  while (n < width) digits[n++] = '0';
  while (n && at + 1 < cap) out[at++] = digits[--n];
  out[at] = 0;
  return at;
}


// A report file: every ASCII line goes out as UTF-16LE and into the accumulator.
class ReportFile {
 public:
  ReportFile(const char* basePath, char* pathOut) {
    char path[1024];
    ReportFileName(basePath, path, sizeof path);
    if (pathOut) PutText(pathOut, 0, 512, path);
    fd_ = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }
  ~ReportFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void Line(const char* ascii, ReportAccumulator* accumulator) {
    const std::size_t n = std::strlen(ascii);
    if (accumulator) accumulator->Append(ascii, n);
    char wide[1024];
    std::size_t w = 0;
    for (std::size_t i = 0; i < n && w + 2 <= sizeof wide; ++i) {
      wide[w++] = ascii[i];
      wide[w++] = 0;
    }
    std::size_t done = 0;
    while (done < w) {
      const ssize_t r = ::write(fd_, wide + done, w - done);
      if (r <= 0) return;
      done += static_cast<std::size_t>(r);
    }
  }

 private:
  int fd_ = -1;
};

void WriteActiveSlots(ReportFile& file, ReportAccumulator* accumulator) {
  file.Line("\r\nSER_INDEX:\r\n\r\n", accumulator);
  for (std::size_t slot = 0; slot < kActivitySlots; ++slot) {
    if (!IsActive(slot)) continue;
    char line[32];
    std::size_t at = PutDecimal(line, 0, sizeof line, slot);
    PutText(line, at, sizeof line, "\r\n");
    file.Line(line, accumulator);
  }
}

// --- the installed handler ---

char gBasePath[1024];
ReportAccumulator gAccumulator;
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

void FillRegisters(void* context, FaultInfo& f) {
#if defined(__x86_64__)
  const auto* uc = static_cast<const ucontext_t*>(context);
  const auto& g = uc->uc_mcontext.gregs;
  f.pcName = "RIP";
  f.pc = static_cast<std::uint64_t>(g[REG_RIP]);
  const struct {
    const char* name;
    int index;
  } regs[] = {{"RAX", REG_RAX}, {"RBP", REG_RBP}, {"RBX", REG_RBX}, {"RCX", REG_RCX},
              {"RDX", REG_RDX}, {"RDI", REG_RDI}, {"RSI", REG_RSI}, {"RSP", REG_RSP}};
  for (const auto& r : regs) f.registers[f.registerCount++] = {r.name, static_cast<std::uint64_t>(g[r.index])};
#elif defined(__aarch64__)
  const auto* uc = static_cast<const ucontext_t*>(context);
  f.pcName = "PC";
  f.pc = uc->uc_mcontext.pc;
  const char* names[] = {"X0", "X1", "X2", "X3", "X4", "X5", "X29", "SP"};
  const std::uint64_t values[] = {uc->uc_mcontext.regs[0], uc->uc_mcontext.regs[1], uc->uc_mcontext.regs[2],
                                  uc->uc_mcontext.regs[3], uc->uc_mcontext.regs[4], uc->uc_mcontext.regs[5],
                                  uc->uc_mcontext.regs[29], uc->uc_mcontext.sp};
  for (int i = 0; i < 8; ++i) f.registers[f.registerCount++] = {names[i], values[i]};
#else
  (void)context;
  f.pcName = "PC";
#endif
}

void OnFault(int signo, siginfo_t*, void* context) {
  MarkEnter(static_cast<std::size_t>(Fn::FaultHandler));
  FaultInfo fault;
  fault.code = static_cast<std::uint32_t>(signo);
  FillRegisters(context, fault);
  gAccumulator.Clear();
  WriteFaultReport(gBasePath, fault, &gAccumulator);
  // Let the signal do what it would have done (core dump, exit status).
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(signo, &dfl, nullptr);
  ::raise(signo);
}

}  // namespace

void ReportAccumulator::Append(const char* ascii, std::size_t length) {
  for (std::size_t i = 0; i < length && size_ < kCapacity; ++i) buffer_[size_++] = ascii[i];
}

void ReportFileName(const char* basePath, char* out, std::size_t cap) {
  timespec now {}, tick {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  ::clock_gettime(CLOCK_MONOTONIC, &tick);
  const CivilDate date = CivilFromDays(static_cast<std::int64_t>(now.tv_sec) / 86400);
  const auto ms = static_cast<std::uint64_t>(tick.tv_sec) * 1000 + static_cast<std::uint64_t>(tick.tv_nsec) / 1000000;
  std::size_t at = PutText(out, 0, cap, basePath);
  at = PutText(out, at, cap, "_");
  at = PutDecimal(out, at, cap, static_cast<std::uint64_t>(date.year));
  at = PutText(out, at, cap, "-");
  at = PutDecimal(out, at, cap, static_cast<std::uint64_t>(date.month), 2);
  at = PutText(out, at, cap, "-");
  at = PutDecimal(out, at, cap, static_cast<std::uint64_t>(date.day), 2);
  at = PutText(out, at, cap, "_");
  at = PutHex(out, at, cap, ms & 0xFFFFFFFFu, 8);
  PutText(out, at, cap, ".TXT");
}

bool WriteFaultReport(const char* basePath, const FaultInfo& fault, ReportAccumulator* accumulator, char* pathOut) {
  ActivityMark mark(Fn::WriteFaultReport);
  for (std::uint32_t ignored : kIgnoredFaultCodes)
    if (fault.code == ignored) return false;
  ReportFile file(basePath, pathOut);
  if (!file.ok()) return false;
  char line[128];
  std::size_t at = PutText(line, 0, sizeof line, "EXCEPTION CODE: 0x");
  at = PutHex(line, at, sizeof line, fault.code, 8);
  PutText(line, at, sizeof line, "\r\n\r\n");
  file.Line(line, accumulator);
  at = PutText(line, 0, sizeof line, fault.pcName);
  at = PutText(line, at, sizeof line, ": 0x");
  at = PutHex(line, at, sizeof line, fault.pc, 16);
  PutText(line, at, sizeof line, "\r\n\r\n");
  file.Line(line, accumulator);
  for (int i = 0; i < fault.registerCount; ++i) {
    at = PutText(line, 0, sizeof line, fault.registers[i].name);
    at = PutText(line, at, sizeof line, ": 0x");
    at = PutHex(line, at, sizeof line, fault.registers[i].value, 16);
    PutText(line, at, sizeof line, "\r\n");
    file.Line(line, accumulator);
  }
  WriteActiveSlots(file, accumulator);
  return true;
}

bool WriteActivitySnapshot(const char* basePath, ReportAccumulator* accumulator, char* pathOut) {
  ActivityMark mark(Fn::WriteActivitySnapshot);
  ReportFile file(basePath, pathOut);
  if (!file.ok()) return false;
  WriteActiveSlots(file, accumulator);
  return true;
}

bool InstallFaultHandler(const std::string& basePath) {
  PutText(gBasePath, 0, sizeof gBasePath, basePath.c_str());
  static char altStack[64 * 1024];
  stack_t ss {};
  ss.ss_sp = altStack;
  ss.ss_size = sizeof altStack;
  if (::sigaltstack(&ss, nullptr) != 0) return false;
  struct sigaction sa {};
  sa.sa_sigaction = OnFault;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (int s : kSignals)
    if (::sigaction(s, &sa, nullptr) != 0) return false;
  return true;
}

}  // namespace kestrova
