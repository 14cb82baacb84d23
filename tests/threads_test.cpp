// The threading kit: Thread::invoke, postCall, startThread and WaitableTimer.
#include <atomic>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/exception.h"
#include "support/threads/threads.h"
#include "support/win32_error.h"

using Quorlin::Thread;

namespace {

std::atomic<int> g_calls{0};
std::atomic<DWORD> g_callThread{0};

void CALLBACK countCall(ULONG_PTR) {
  ++g_calls;
  g_callThread = GetCurrentThreadId();
}

void drainQueue() { SleepEx(0, TRUE); }

class Threads : public ::testing::Test {
 protected:
  void SetUp() override {
    drainQueue();
    g_calls = 0;
    g_callThread = 0;
  }
};

TEST_F(Threads, MainThreadIsTheLoadingThread) {
  EXPECT_EQ(Quorlin::mainThread.id(), GetCurrentThreadId());
  EXPECT_NE(Quorlin::mainThread.handle(), nullptr);
  EXPECT_NE(Quorlin::mainThread.handle(), GetCurrentThread());
}

TEST_F(Threads, InvokeOnItsOwnThreadRunsAtOnce) {
  Thread self(GetCurrentThread(), 0);
  EXPECT_EQ(self.id(), GetCurrentThreadId());
  EXPECT_TRUE(self.invoke(&countCall, 0, false));
  EXPECT_EQ(g_calls, 1);
}

TEST_F(Threads, QueueAlwaysQueuesEvenOnItsOwnThread) {
  Thread self(GetCurrentThread(), 0);
  EXPECT_TRUE(self.invoke(&countCall, 0, true));
  EXPECT_EQ(g_calls, 0);
  Sleep(20);  // not alertable: still queued
  EXPECT_EQ(g_calls, 0);
  drainQueue();
  EXPECT_EQ(g_calls, 1);
}

TEST_F(Threads, InvokeFromAnotherThreadRunsAtTheNextAlertableWait) {
  std::atomic<bool> queued{false};
  const Quorlin::ThreadHandle worker(
      Quorlin::startThread([&] { queued = Quorlin::mainThread.invoke(&countCall, 0, false); }));
  ASSERT_TRUE(worker);
  WaitForSingleObject(worker.get(), INFINITE);  // not alertable
  EXPECT_TRUE(queued);
  EXPECT_EQ(g_calls, 0);
  drainQueue();
  EXPECT_EQ(g_calls, 1);
  EXPECT_EQ(g_callThread, GetCurrentThreadId());
}

TEST_F(Threads, ThreadWithoutAnIdCannotRunAtOnce) {
  Thread other(nullptr, 0);
  EXPECT_EQ(other.id(), 0u);
  EXPECT_FALSE(other.invoke(&countCall, 0, false));
  EXPECT_EQ(g_calls, 0);
}

struct Counter {
  int calls = 0;
  DWORD thread = 0;
  void bump() {
    ++calls;
    thread = GetCurrentThreadId();
  }
};

TEST_F(Threads, PostCallFromAWorkerLandsOnTheMainThread) {
  Counter counter;
  const Quorlin::ThreadHandle worker(Quorlin::startThread([&] {
    Quorlin::postCall(Quorlin::mainThread, std::make_pair(&Counter::bump, &counter), false);
  }));
  WaitForSingleObject(worker.get(), INFINITE);
  EXPECT_EQ(counter.calls, 0);
  drainQueue();
  EXPECT_EQ(counter.calls, 1);
  EXPECT_EQ(counter.thread, GetCurrentThreadId());
  // On the main thread itself the call runs at once.
  Quorlin::postCall(Quorlin::mainThread, std::make_pair(&Counter::bump, &counter), false);
  EXPECT_EQ(counter.calls, 2);
}

// Sees the debugger's thread-naming exception before the kit's own handler.
std::vector<std::string> g_names;
std::vector<DWORD> g_namedThreads;
LONG CALLBACK watchNames(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->ExceptionCode == 0x406D1388 && record->NumberParameters == 4 && record->ExceptionInformation[0] == 0x1000) {
    g_names.push_back(reinterpret_cast<const char*>(record->ExceptionInformation[1]));
    g_namedThreads.push_back(static_cast<DWORD>(record->ExceptionInformation[2]));
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

TEST_F(Threads, StartThreadNamesTheThreadForADebuggerAndGoesOn) {
  g_names.clear();
  g_namedThreads.clear();
  PVOID watcher = AddVectoredExceptionHandler(1, &watchNames);
  std::atomic<int> ran{0};
  DWORD id = 0;
  const Quorlin::ThreadHandle threads[] = {
      Quorlin::ThreadHandle(Quorlin::startThread([&] { ++ran; }, "vardok worker", nullptr, false, &id)),
      Quorlin::ThreadHandle(Quorlin::startThread([&] { ++ran; }, "", nullptr, false, nullptr)),
      Quorlin::ThreadHandle(Quorlin::startThread([&] { ++ran; }))};
  for (const Quorlin::ThreadHandle& thread : threads) {
    ASSERT_TRUE(thread);
    WaitForSingleObject(thread.get(), INFINITE);
  }
  RemoveVectoredExceptionHandler(watcher);
  EXPECT_EQ(ran, 3);
  ASSERT_EQ(g_names.size(), 1u);
  EXPECT_EQ(g_names[0], "vardok worker");
  EXPECT_EQ(g_namedThreads[0], id);
}

TEST_F(Threads, SuspendedThreadWaitsForResume) {
  std::atomic<int> ran{0};
  const Quorlin::ThreadHandle thread(Quorlin::startThread([&] { ++ran; }, nullptr, nullptr, true));
  ASSERT_TRUE(thread);
  Sleep(50);
  EXPECT_EQ(ran, 0);
  ResumeThread(thread.get());
  WaitForSingleObject(thread.get(), INFINITE);
  EXPECT_EQ(ran, 1);
}

// --- WaitableTimer ---

std::atomic<int> g_firings{0};

class TestTimer : public Quorlin::WaitableTimer {
 public:
  TestTimer() { _timer.reset(CreateWaitableTimerA(nullptr, FALSE, nullptr)); }
  void set(int64_t due) {
    LARGE_INTEGER at;
    at.QuadPart = due;
    SetWaitableTimer(_timer.get(), &at, 0, &WaitableTimer::apcRoutine, static_cast<WaitableTimer*>(this), FALSE);
    _armed = true;
  }
  void onTimer(uint64_t) override { ++g_firings; }
};

TEST_F(Threads, TimerFiresOnlyAtAnAlertableWaitAndClearsArmed) {
  g_firings = 0;
  TestTimer timer;
  timer.set(-10 * 10000);  // 10 ms
  EXPECT_TRUE(timer.armed());
  Sleep(60);
  EXPECT_EQ(g_firings, 0);
  SleepEx(0, TRUE);
  EXPECT_EQ(g_firings, 1);
  EXPECT_FALSE(timer.armed());
}

TEST_F(Threads, DestroyedTimerNeverFires) {
  g_firings = 0;
  {
    TestTimer pending;
    pending.set(-20 * 10000);
  }
  {
    // This one has fired and its routine is queued, not yet run.
    TestTimer fired;
    fired.set(0);
    Sleep(50);
  }
  SleepEx(100, TRUE);
  EXPECT_EQ(g_firings, 0);
}

TEST_F(Threads, TimerWithoutAHandleFailsQuietly) {
  struct NoTimer : Quorlin::WaitableTimer {
    void onTimer(uint64_t) override { ++g_firings; }
  };
  g_firings = 0;
  { NoTimer none; }
  SleepEx(10, TRUE);
  EXPECT_EQ(g_firings, 0);
}

// Boundaries: what a queued call, a timer routine or a thread throws is
// told to the failure log once, as "WHERE: WHAT", and goes no further.
std::mutex g_failureLock;
std::vector<std::string> g_failureLines;

void recordFailure(const char* line) {
  std::lock_guard<std::mutex> guard(g_failureLock);
  g_failureLines.push_back(line);
}

std::vector<std::string> failureLines() {
  std::lock_guard<std::mutex> guard(g_failureLock);
  return g_failureLines;
}

class Boundaries : public Threads {
 protected:
  void SetUp() override {
    Threads::SetUp();
    std::lock_guard<std::mutex> guard(g_failureLock);
    g_failureLines.clear();
    _previous = Quorlin::setFailureLog(&recordFailure);
  }
  void TearDown() override { Quorlin::setFailureLog(_previous); }
  // Waits alertably until a failure line has come (5 s at most).
  std::vector<std::string> awaitLines() {
    for (int i = 0; i < 500 && failureLines().empty(); ++i) SleepEx(10, TRUE);
    SleepEx(0, TRUE);
    return failureLines();
  }

 private:
  Quorlin::FailureLog _previous = nullptr;
};

TEST_F(Boundaries, AQueuedCallThatRunsOutOfMemoryIsToldOnce) {
  int after = 0;
  ASSERT_TRUE(Quorlin::postCall(Quorlin::mainThread, [] { throw std::bad_alloc(); }, true));
  ASSERT_TRUE(Quorlin::postCall(Quorlin::mainThread, [&] { ++after; }, true));
  EXPECT_EQ(awaitLines(), std::vector<std::string>{"queued call: out of memory"});
  EXPECT_EQ(after, 1) << "the calls queued behind it still run";
}

TEST_F(Boundaries, ACallRunAtOnceThatThrowsIsToldAndAnsweredAsRun) {
  EXPECT_TRUE(Quorlin::postCall(Quorlin::mainThread, [] { throw 42; }, false));
  EXPECT_EQ(failureLines(), std::vector<std::string>{"queued call: unknown exception"});
}

TEST_F(Boundaries, ATimerRoutineThatThrowsIsToldOnce) {
  struct ThrowingTimer : TestTimer {
    void onTimer(uint64_t) override { throw std::runtime_error("timer broke"); }
  };
  ThrowingTimer timer;
  timer.set(0);
  EXPECT_EQ(awaitLines(), std::vector<std::string>{"timer routine: timer broke"});
  EXPECT_FALSE(timer.armed());
}

TEST_F(Boundaries, AThreadThatThrowsEndsAndIsToldOnce) {
  const Quorlin::ThreadHandle thread(
      Quorlin::startThread([] { throw Quorlin::ExceptionInternet("Failed send: refused or unreachable"); }));
  ASSERT_TRUE(thread);
  ASSERT_EQ(WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
  DWORD code = STILL_ACTIVE;
  GetExitCodeThread(thread.get(), &code);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(failureLines(), std::vector<std::string>{"thread: Failed send: refused or unreachable"});
}

TEST_F(Boundaries, OutOfMemoryIsToldInTheWordsGiven) {
  Quorlin::setOutOfMemoryWords("brak pamieci");
  ASSERT_TRUE(Quorlin::postCall(Quorlin::mainThread, [] { throw std::bad_alloc(); }, false));
  Quorlin::setOutOfMemoryWords(nullptr);
  EXPECT_EQ(failureLines(), std::vector<std::string>{"queued call: brak pamieci"});
}

}  // namespace
