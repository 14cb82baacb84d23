// The run queue's threads: the workers that make the runs and the
// watchdog that reports overdue runs and keeps the pool at its size.
#include <algorithm>

#include "checks/item.h"
#include "checks/run_queue_state.h"
#include "checks/test_seams.h"

namespace Vardok {

using namespace RunQueueDetail;

bool RunQueue::State::startThread(std::function<void()> body) {
  {
    Locked locked(lock);
    ++threadsAlive;
  }
  const Quorlin::ThreadHandle thread(TestSeams::platformCalls().startWorker([this, body] {
    body();
    Locked locked(lock);
    --threadsAlive;
  }));
  if (thread) return true;
  Locked locked(lock);
  --threadsAlive;
  return false;
}

unsigned RunQueue::State::startThreads(unsigned generation, unsigned count, bool withWatchdog) {
  unsigned started = 0;
  for (unsigned i = 0; i < count; ++i) {
    if (!startThread([this, generation] { workerLoop(generation); })) break;
    ++started;
  }
  bool watching = false;
  if (withWatchdog) watching = startThread([this, generation] { watchdogLoop(generation); });
  Locked locked(lock);
  if (generation != this->generation) return started;
  // Counted at start: a worker that failed to start is taken back.
  workers -= count - started;
  if (withWatchdog && !watching) watchdog = false;
  return started;
}

void RunQueue::State::workerLoop(unsigned generation) {
  AcquireSRWLockExclusive(&lock);
  for (;;) {
    if (generation != this->generation) break;
    // Workers added while runs were overdue or showing a box end once the
    // pool is back at its size.
    if (workers > bound + released) {
      --workers;
      break;
    }
    auto next = startable() ? nextEligible() : queue.end();
    if (next == queue.end()) {
      SleepConditionVariableSRW(&work, &lock, INFINITE, 0);
      continue;
    }
    std::shared_ptr<RunControl> control;
    boost::shared_ptr<Item> item;
    take(next, &control, &item);
    WakeConditionVariable(&watch);  // a new deadline
    ReleaseSRWLockExclusive(&lock);

    TestSeams::notifyRunStart(item->contact());
    {
      RunControl::Scope scope(control.get());
      item->cancel();
      item->runOnWorker(control->interactive(), control->command());
      std::lock_guard<std::mutex> report(control->reportLock());
      control->markFinished();
    }

    AcquireSRWLockExclusive(&lock);
    if (generation == this->generation) {
      finish(control);
      WakeAllConditionVariable(&work);  // the contact is free again
    }
    ReleaseSRWLockExclusive(&lock);
    control.reset();
    // The item goes back to the main thread, where items end their life.
    Item::finishRun(std::move(item));
    AcquireSRWLockExclusive(&lock);
  }
  ReleaseSRWLockExclusive(&lock);
}

void RunQueue::State::watchdogLoop(unsigned generation) {
  constexpr DWORD kRetryMs = 1000;  // while workers are missing
  AcquireSRWLockExclusive(&lock);
  for (;;) {
    if (generation != this->generation) break;
    const uint64_t now = nowMs();
    uint64_t wait = INFINITE;
    Controls overdue;
    for (auto& entry : runs) {
      Running& run = entry.second;
      if (run.overdue) continue;
      const uint64_t deadline = run.control->startedMs() + run.control->limitMs();
      if (now >= deadline) {
        run.overdue = true;
        release(run);
        overdue.push_back(run.control);
      } else {
        wait = std::min<uint64_t>(wait, deadline - now);
      }
    }
    const unsigned missing = workersWanted();
    workers += missing;
    ReleaseSRWLockExclusive(&lock);

    const unsigned started = missing ? startThreads(generation, missing, false) : 0;
    for (const auto& control : overdue) control->item()->reportOverdue(*control);

    AcquireSRWLockExclusive(&lock);
    if (!overdue.empty()) continue;
    if (started < missing || workers == 0) wait = std::min<uint64_t>(wait, kRetryMs);
    SleepConditionVariableSRW(&watch, &lock, static_cast<DWORD>(std::min<uint64_t>(wait, INFINITE - 1)), 0);
  }
  ReleaseSRWLockExclusive(&lock);
}

void RunQueue::State::ensureThreads() {
  unsigned current;
  {
    Locked locked(lock);
    if (!open || workers > 0 || watchdog) return;
    watchdog = true;
    current = generation;
  }
  startThreads(current, 0, true);
  bool failed;
  {
    Locked locked(lock);
    failed = open && current == generation && !watchdog;
  }
  if (failed && retryTimer) {
    LARGE_INTEGER due;
    due.QuadPart = -10000000LL;  // 1 s
    SetWaitableTimer(retryTimer.get(), &due, 0, &State::retry, this, FALSE);
  }
}

}  // namespace Vardok
