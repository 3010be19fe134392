// The worker token and launcher with real threads (also run under ThreadSanitizer).
#include "common/activity.h"
#include "common/worker_thread.h"
#include "common/worker_token.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

namespace kestrova {
namespace {

using namespace std::chrono_literals;

// Polls a condition a window would see on its timer; false after 10 s.
template <class F>
bool Eventually(F condition) {
  for (int i = 0; i < 10000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return condition();
}

// A worker as the scan threads are: one block per turn, parks at block
// boundaries while paused, ends when stopped.
void CountBlocks(WorkerToken& token) {
  token.SetTotal(1'000'000);
  while (token.WaitWhilePaused()) {
    token.AddDone(1);
    std::this_thread::yield();
  }
}

TEST(WorkerToken, APausedWorkerParksAndWakesOnResumeThenOnStop) {
  WorkerToken token;
  WorkerThread thread(token, CountBlocks);
  EXPECT_TRUE(token.Running()) << "running as soon as it is started";
  ASSERT_TRUE(Eventually([&] { return token.Progress().done > 0; }));

  // The session save: pause, wait for the park, nothing moves meanwhile.
  token.Pause();
  token.WaitUntilParked();
  EXPECT_TRUE(token.Parked());
  const std::uint64_t parkedAt = token.Progress().done;
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(token.Progress().done, parkedAt);

  token.Resume();
  ASSERT_TRUE(Eventually([&] { return token.Progress().done > parkedAt; })) << "resume wakes the wait";
  EXPECT_FALSE(token.Parked());

  // The pause command toggles; a stop wakes the parked worker at once.
  EXPECT_TRUE(token.TogglePause());
  token.WaitUntilParked();
  token.RequestStop();
  thread.Join();
  EXPECT_FALSE(token.Running());
  EXPECT_FALSE(token.Parked());
  EXPECT_FALSE(token.Abandoned()) << "a plain stop is not an abandon";
}

TEST(WorkerToken, AbortWhilePausedLeavesAtOnceAndOnlyWhenPaused) {
  struct Case {
    const char* what;
    bool pauseFirst;
    bool tookEffect;
  };
  for (const Case c : {Case{"paused", true, true}, Case{"running", false, false}}) {
    SCOPED_TRACE(c.what);
    WorkerToken token;
    bool leftThroughWait = false;
    WorkerThread thread(token, [&](WorkerToken& t) {
      CountBlocks(t);
      leftThroughWait = true;
    });
    ASSERT_TRUE(Eventually([&] { return token.Progress().done > 0; }));
    if (c.pauseFirst) {
      token.Pause();
      token.WaitUntilParked();
    }
    EXPECT_EQ(token.AbortWhilePaused(), c.tookEffect);
    EXPECT_EQ(token.Abandoned(), c.tookEffect);
    EXPECT_EQ(token.StopRequested(), c.tookEffect) << "a running worker is not stopped by it";
    if (!c.tookEffect) token.RequestStop();
    thread.Join();
    EXPECT_TRUE(leftThroughWait);
    EXPECT_FALSE(token.Running());
  }
}

TEST(WorkerToken, StoppedBeforeItStartsOrByItsLauncher) {
  // Paused and stopped before the worker ever waits: the wait returns false at once.
  WorkerToken early;
  early.Pause();
  early.RequestStop();
  EXPECT_FALSE(early.WaitWhilePaused());

  // Destroying the launcher stops a parked worker instead of hanging.
  WorkerToken token;
  {
    WorkerThread thread(token, CountBlocks);
    token.Pause();
    token.WaitUntilParked();
  }
  EXPECT_TRUE(token.StopRequested());
  EXPECT_FALSE(token.Running());

  // One thread per launcher at a time; Reset clears the run for the next one.
  WorkerThread thread(token, [](WorkerToken&) {});
  EXPECT_FALSE(thread.Start(token, [](WorkerToken&) {}));
  thread.Join();
  token.Reset();
  EXPECT_FALSE(token.StopRequested());
  EXPECT_FALSE(token.Paused());
  EXPECT_EQ(token.Progress().done, 0u);
  EXPECT_TRUE(thread.Start(token, [](WorkerToken& t) { t.AddItems(3); }));
  thread.Join();
  EXPECT_EQ(token.Progress().items, 3u);
}

TEST(WorkerToken, ProgressAndStatusAsAWindowPollsThem) {
  WorkerToken token;
  const std::uint64_t before = token.Progress().statusGeneration;
  WorkerThread thread(token, [](WorkerToken& t) {
    t.SetTotal(10);
    for (int i = 0; i < 10; ++i) {
      t.AddDone(1);
      if (i % 2) t.AddItems();
      t.SetStatus(u"Sector " + std::u16string(1, static_cast<char16_t>(u'0' + i)));
    }
  });
  // Reads while the worker writes (the window's timer).
  for (int i = 0; i < 100; ++i) {
    const WorkerProgress p = token.Progress();
    EXPECT_LE(p.done, 10u);
    (void)token.Status();
  }
  thread.Join();
  const WorkerProgress p = token.Progress();
  EXPECT_EQ(p.done, 10u);
  EXPECT_EQ(p.total, 10u);
  EXPECT_EQ(p.items, 5u);
  EXPECT_EQ(p.statusGeneration, before + 10);
  EXPECT_EQ(token.Status(), u"Sector 9");
}

TEST(WorkerThread, EachWorkerHasItsOwnSignalStackAndActivityTable) {
  constexpr auto kSlot = static_cast<std::size_t>(Fn::CollectMft);
  WorkerToken token;
  bool ownStack = false, ownTable = false;
  WorkerThread thread(token, [&](WorkerToken& t) {
    stack_t ss{};
    ownStack = ::sigaltstack(nullptr, &ss) == 0 && !(ss.ss_flags & SS_DISABLE) && ss.ss_size >= 64 * 1024;
    ActivityMark mark(Fn::CollectMft);
    ownTable = IsActiveHere(kSlot);
    t.Pause();
    t.WaitWhilePaused();  // inside the function until the main thread resumes it
  });
  ASSERT_TRUE(Eventually([&] { return token.Parked(); }));
  EXPECT_TRUE(ownStack);
  EXPECT_TRUE(ownTable);
  // The same function entered and left on this thread does not hide the
  // worker that is still inside it.
  EXPECT_FALSE(IsActiveHere(kSlot));
  {
    ActivityMark here(Fn::CollectMft);
    EXPECT_TRUE(IsActiveHere(kSlot));
  }
  EXPECT_TRUE(IsActive(kSlot)) << "the worker is still inside";
  token.Resume();
  thread.Join();
  EXPECT_FALSE(IsActive(kSlot));

  // A function that calls itself stays active until its outermost call returns.
  {
    ActivityMark outer(Fn::CollectMft);
    { ActivityMark inner(Fn::CollectMft); }
    EXPECT_TRUE(IsActive(kSlot));
  }
  EXPECT_FALSE(IsActive(kSlot));
}

TEST(WorkerThread, ManyWorkersMarkingAtOnce) {
  constexpr auto kSlot = static_cast<std::size_t>(Fn::DynListAdd);
  constexpr int kWorkers = 8;
  WorkerToken tokens[kWorkers];
  {
    WorkerThread threads[kWorkers];
    for (int i = 0; i < kWorkers; ++i)
      threads[i].Start(tokens[i], [](WorkerToken& t) {
        for (int n = 0; n < 20000 && !t.StopRequested(); ++n) {
          ActivityMark mark(Fn::DynListAdd);
          t.AddDone(1);
        }
      });
    for (int i = 0; i < 200; ++i) (void)IsActive(kSlot);  // the snapshot reads meanwhile
  }
  EXPECT_FALSE(IsActive(kSlot)) << "every worker left";
}

}  // namespace
}  // namespace kestrova
