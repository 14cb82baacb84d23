// The run queue's threads: the workers that make the runs and the
// watchdog that reports overdue runs, keeps the pool at its size and makes
// sure stopped runs stop.
#include <algorithm>

#include "checks/item.h"
#include "checks/run_queue_state.h"
#include "checks/test_seams.h"
#include "support/win32_error.h"
#include "support/internet/cancellable_calls.h"

namespace Vardok {

using namespace RunQueueDetail;

namespace {

// While workers are missing because the platform would not start them.
constexpr uint64_t kRetryMs = 1000;
// While stopped runs wind down: how often their blocking calls are
// cancelled again (a call that began just after the first cancel).
constexpr DWORD kPokeMs = 100;

// A real handle to the calling thread, with the right to cancel its calls.
Quorlin::ThreadHandle currentThreadHandle() {
  HANDLE self = nullptr;
  // Without it, a stopped HTTP run of this worker ends only by itself.
  Quorlin::checkCall(DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                                     DUPLICATE_SAME_ACCESS) != FALSE,
                     "DuplicateHandle");
  return Quorlin::ThreadHandle(self);
}

}  // namespace

bool RunQueue::State::startThread(std::function<void()> body, bool isWatchdog) {
  {
    Locked locked(lock);
    ++threadsAlive;
  }
  const Quorlin::ThreadHandle thread(TestSeams::platformCalls().startWorker(
      [this, body] {
        body();
        Locked locked(lock);
        --threadsAlive;
      },
      isWatchdog));
  if (thread) return true;
  Locked locked(lock);
  --threadsAlive;
  return false;
}

unsigned RunQueue::State::startThreads(unsigned generation, unsigned count, bool withWatchdog) {
  unsigned started = 0;
  for (unsigned i = 0; i < count; ++i) {
    if (!startThread([this, generation] { workerLoop(generation); }, false)) break;
    ++started;
  }
  bool watching = false;
  if (withWatchdog) watching = startThread([this, generation] { watchdogLoop(generation); }, true);
  Locked locked(lock);
  if (generation != this->generation) return started;
  // Counted at start: a thread that failed to start is taken back.
  workers -= count - started;
  if (withWatchdog && !watching) watchdog = false;
  return started;
}

void RunQueue::State::stop(const RunLifecycle::Ended& ended) {
  if (ended.empty()) return;
  {
    Locked locked(lock);
    for (const auto& run : ended)
      if (active.count(run.control.get())) stopping.push_back(run.control);
    WakeConditionVariable(&watch);
  }
  for (const auto& run : ended) run.control->stop();
}

void RunQueue::State::makeRun(const std::shared_ptr<RunControl>& control) {
  Item& item = control->item();
  TestSeams::notifyRunStart(item.contact());
  item.cancel();
  item.runOnWorker(*control);
}

void RunQueue::State::workerLoop(unsigned generation) {
  const Quorlin::ThreadHandle self = currentThreadHandle();
  // The sockets WinINet opens on this thread can be cancelled, so a run
  // that is stopped while it waits for a server stops at once.
  const Quorlin::CancellableCalls cancellable;
  AcquireSRWLockExclusive(&lock);
  for (;;) {
    if (generation != this->generation) break;
    // Workers added while runs were overdue or showing a box end once the
    // pool is back at its size.
    if (workers > rules.workersWanted()) {
      --workers;
      break;
    }
    const RunLifecycle::Run* run = rules.take(nowMs());
    if (!run) {
      SleepConditionVariableSRW(&work, &lock, INFINITE, 0);
      continue;
    }
    const std::shared_ptr<RunControl> control = run->request.control;
    control->started(run->id, run->startedMs, self.get());
    active.insert(control.get());
    WakeConditionVariable(&watch);  // a new deadline
    ReleaseSRWLockExclusive(&lock);

    makeRun(control);

    AcquireSRWLockExclusive(&lock);
    // Not while its overdue report is being written: that report uses the item.
    while (!rules.finish(control->id())) SleepConditionVariableSRW(&written, &lock, INFINITE, 0);
    active.erase(control.get());
    stopping.erase(std::remove(stopping.begin(), stopping.end(), control), stopping.end());
    WakeAllConditionVariable(&work);  // the contact is free again
    WakeConditionVariable(&watch);
    ReleaseSRWLockExclusive(&lock);
    // The item goes back to the main thread, where items end their life.
    Item::finishRun(control->releaseItem());
    AcquireSRWLockExclusive(&lock);
  }
  ReleaseSRWLockExclusive(&lock);
}

void RunQueue::State::reportOverdue(uint64_t run) {
  std::shared_ptr<RunControl> control;
  {
    Locked locked(lock);
    if (!rules.beginOverdueReport(run)) return;
    control = rules.find(run)->request.control;
  }
  control->item().reportOverdue(*control);
  endWrite(run);
}

void RunQueue::State::endWrite(uint64_t run) {
  RunLifecycle::Ended ended;
  {
    Locked locked(lock);
    ended = rules.endWrite(run);
    WakeAllConditionVariable(&written);
    WakeAllConditionVariable(&work);  // an end that waited frees the contact
  }
  stop(ended);
}

void RunQueue::State::watchdogLoop(unsigned generation) {
  uint64_t tryWorkersAt = 0;
  AcquireSRWLockExclusive(&lock);
  for (;;) {
    const bool current = generation == this->generation;
    // An ended generation's watchdog stays until its stopped runs are done.
    if (!current && stopping.empty()) break;
    const uint64_t now = nowMs();
    RunLifecycle::Deadlines due;
    unsigned missing = 0;
    if (current) {
      due = rules.checkDeadlines(now);
      if (now >= tryWorkersAt && rules.workersWanted() > workers) missing = rules.workersWanted() - workers;
      workers += missing;
    }
    // A run that left the bound frees a place for an idle worker now; the
    // worker added for it comes as it starts.
    if (due.released) WakeAllConditionVariable(&work);
    if (missing || !due.report.empty() || !due.ended.empty()) {
      ReleaseSRWLockExclusive(&lock);
      const unsigned started = missing ? startThreads(generation, missing, false) : 0;
      if (started < missing) tryWorkersAt = now + kRetryMs;
      stop(due.ended);
      for (uint64_t run : due.report) reportOverdue(run);
      AcquireSRWLockExclusive(&lock);
      continue;  // the runs may have changed meanwhile: look again before sleeping
    }
    for (const auto& control : stopping) control->poke();
    // Computed under the lock it sleeps with, so no change is missed: every
    // change that moves a deadline wakes this condition after it.
    uint64_t wait = INFINITE;
    if (current) {
      if (const auto next = rules.nextDeadline()) wait = *next - now;
      if (rules.workersWanted() > workers) wait = std::min(wait, tryWorkersAt - now);
    }
    if (!stopping.empty()) wait = std::min<uint64_t>(wait, kPokeMs);
    SleepConditionVariableSRW(&watch, &lock, static_cast<DWORD>(std::min<uint64_t>(wait, INFINITE - 1)), 0);
  }
  ReleaseSRWLockExclusive(&lock);
}

void RunQueue::State::ensureThreads() {
  unsigned current;
  {
    Locked locked(lock);
    if (!rules.isOpen() || watchdog) return;
    watchdog = true;
    current = generation;
  }
  // The watchdog starts the workers.
  startThreads(current, 0, true);
  bool failed;
  {
    Locked locked(lock);
    failed = rules.isOpen() && current == generation && !watchdog;
  }
  if (failed && retryTimer) {
    LARGE_INTEGER due;
    due.QuadPart = -10000000LL;  // 1 s
    Quorlin::checkCall(SetWaitableTimer(retryTimer.get(), &due, 0, &State::retry, this, FALSE) != FALSE,
                       "SetWaitableTimer");
  }
}

}  // namespace Vardok
