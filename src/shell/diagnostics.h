// Crash reports and activity snapshots: which functions were running, written
// as UTF-16 text (no byte-order mark) to "<base>_<year>-<mm>-<dd>_<tick>.TXT".
// The fault path runs inside a signal handler, so everything it calls is
// async-signal-safe: fixed buffers, raw system calls, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrova {

// Collects the report text as it is written (fixed size: usable in a handler).
class ReportAccumulator {
 public:
  static constexpr std::size_t kCapacity = 1 << 16;
  void Append(const char* ascii, std::size_t length);
  std::string Text() const { return std::string(buffer_, size_); }
  void Clear() { size_ = 0; }

 private:
  char buffer_[kCapacity]{};
  std::size_t size_ = 0;
};

struct FaultRegister {
  const char* name = nullptr;
  std::uint64_t value = 0;
};

// What the handler knows about a fault. The code is the signal number on Linux.
struct FaultInfo {
  std::uint32_t code = 0;
  const char* pcName = "RIP";
  std::uint64_t pc = 0;
  FaultRegister registers[8];
  int registerCount = 0;
};

// Codes that never produce a report.
inline constexpr std::uint32_t kIgnoredFaultCodes[] = {0x0EEDFADE, 1722};

// Writes the report next to basePath ("<reports folder>VEH_REPORT"); false and
// nothing written for an ignored code or when the file cannot be created.
// pathOut (may be null) receives the file name, of at least 512 bytes.
bool WriteFaultReport(const char* basePath, const FaultInfo& fault, ReportAccumulator* accumulator,
                      char* pathOut = nullptr);
// The "SER_INDEX:" part alone, on demand.
bool WriteActivitySnapshot(const char* basePath, ReportAccumulator* accumulator, char* pathOut = nullptr);

// "%s_%i-%0.2i-%0.2i_%0.8X.TXT" for the current UTC date and millisecond tick.
void ReportFileName(const char* basePath, char* out, std::size_t capacity);

// Installs the handler for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT on an
// alternate stack. After writing the report it lets the signal end the process
// as it would have. basePath is copied.
bool InstallFaultHandler(const std::string& basePath);

inline constexpr const char* kReportBaseName = "VEH_REPORT";

}  // namespace kestrova
