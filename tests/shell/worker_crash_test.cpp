// A fault on a worker thread still writes the crash report, with the
// functions running on every thread; also when the fault is a stack overflow
// (the handler then runs on the worker's own alternate stack).
#include "common/activity.h"
#include "common/worker_thread.h"
#include "shell/diagnostics.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrova {
namespace {

namespace fs = std::filesystem;

// Deep enough to run off any thread stack; not a tail call.
volatile int gOverflowLimit = 1 << 30;
__attribute__((noinline)) int Overflow(int depth) {
  if (depth >= gOverflowLimit) return 0;
  volatile char frame[4096];
  frame[0] = static_cast<char>(depth);
  return Overflow(depth + 1) + frame[0];
}

void AccessFault() {
  void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  *static_cast<volatile int*>(page) = 1;
}

class WorkerCrash : public test::TempDirTest {
 protected:
  WorkerCrash() : TempDirTest("kestrova-worker-crash") {}
  std::string ReadReport() const {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir)) files.push_back(e.path());
    if (files.size() != 1) return {};
    std::ifstream in(files[0], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string text;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) text.push_back(bytes[i]);
    return text;
  }
};

TEST_F(WorkerCrash, AFaultOnAWorkerWritesTheReportWithEveryThreadsFunctions) {
  struct Case {
    const char* what;
    void (*fault)();
  };
  const Case cases[] = {{"access fault", AccessFault}, {"stack overflow", [] { Overflow(0); }}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& e : fs::directory_iterator(dir)) fs::remove(e.path());
    const std::string base = (dir / kReportBaseName).string();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      InstallFaultHandler(base);
      ActivityMark onMain(Fn::ListPartitions);  // the main thread waits inside it
      WorkerToken token;
      WorkerThread worker(token, [&](WorkerToken&) {
        ActivityMark onWorker(Fn::CollectMft);
        { ActivityMark returned(Fn::MountVolume); }
        c.fault();
      });
      worker.Join();
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the signal still ends the process";
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);

    const std::string text = ReadReport();
    ASSERT_FALSE(text.empty()) << "one report written";
    EXPECT_EQ(text.rfind("EXCEPTION CODE: 0x0000000B\r\n\r\n", 0), 0u) << text;
    const auto index = text.find("\r\nSER_INDEX:\r\n\r\n");
    ASSERT_NE(index, std::string::npos);
    const std::string slots = text.substr(index);
    auto listed = [&](Fn fn) {
      return slots.find("\r\n" + std::to_string(static_cast<int>(fn)) + "\r\n") != std::string::npos;
    };
    EXPECT_TRUE(listed(Fn::CollectMft)) << "the worker's function";
    EXPECT_TRUE(listed(Fn::ListPartitions)) << "the main thread's function";
    EXPECT_TRUE(listed(Fn::FaultHandler));
    EXPECT_TRUE(listed(Fn::WriteFaultReport));
    EXPECT_FALSE(listed(Fn::MountVolume)) << "a function that returned is not listed";
  }
}

TEST_F(WorkerCrash, ASnapshotListsWhatWorkersAreRunning) {
  WorkerToken token;
  WorkerThread worker(token, [](WorkerToken& t) {
    ActivityMark running(Fn::RecoverFiles);
    t.Pause();
    t.WaitWhilePaused();
  });
  for (int i = 0; i < 10000 && !token.Parked(); ++i) ::usleep(1000);
  ASSERT_TRUE(token.Parked());
  ReportAccumulator text;
  ASSERT_TRUE(WriteActivitySnapshot((dir / kReportBaseName).string().c_str(), &text));
  token.Resume();
  worker.Join();
  EXPECT_EQ(text.Text().rfind("\r\nSER_INDEX:\r\n\r\n", 0), 0u);
  EXPECT_NE(text.Text().find("\r\n" + std::to_string(static_cast<int>(Fn::RecoverFiles)) + "\r\n"), std::string::npos);
}

}  // namespace
}  // namespace kestrova
