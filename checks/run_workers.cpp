// The run queue's threads: the workers that make the runs, the watchdog
// that reports overdue runs and requests that cannot start, keeps the pool
// at its size and makes sure stopped runs stop, and the threads that show
// the runs' message boxes.
#include <algorithm>
#include <cstdio>
#include <new>

#include "checks/item.h"
#include "checks/message_box.h"
#include "checks/run_queue_state.h"
#include "checks/test_seams.h"
#include "hostapi/host.h"
#include "hostapi/texts.h"
#include "support/exception.h"
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

// A thread's host calls pass a run's gate for a scope (see iCallGate).
class GatedCalls {
 public:
  explicit GatedCalls(iCallGate* gate) : _previous(threadCallGate()) {
    if (gate) setThreadCallGate(gate);
  }
  ~GatedCalls() { setThreadCallGate(_previous); }
  GatedCalls(const GatedCalls&) = delete;
  GatedCalls& operator=(const GatedCalls&) = delete;

 private:
  iCallGate* const _previous;
};

// Items end their life on the main thread: a thread that may hold the last
// reference to one hands it over there (with the run that holds it).
void releaseOnMainThread(boost::shared_ptr<Item> item, std::shared_ptr<RunControl> control) {
  if (Quorlin::mainThread.isCurrent()) return;
  try {
    Quorlin::postCall(Quorlin::mainThread, [held = std::move(item), run = std::move(control)] {}, false);
  } catch (...) {
    // No memory for the call: the references go here, as a last resort.
  }
}

// What something thrown says, in the words a user reads.
std::string reasonOf(std::exception_ptr thrown) {
  try {
    std::rethrow_exception(thrown);
  } catch (const std::bad_alloc&) {
    return Texts::kOutOfMemory;
  } catch (const Quorlin::ExceptionString& failure) {
    return failure.getReason();
  } catch (const std::exception& failure) {
    return failure.what();
  } catch (...) {
    return "?";
  }
}

// A run that something thrown ended: logged once, and reported failed.
void failRun(RunControl& control, const std::string& reason) {
  try {
    LogPlatformFailure(("run of contact " + std::to_string(control.item().contact()) + ": " + reason).c_str());
    char output[256];
    snprintf(output, sizeof output, Texts::kRunFailedOutput, reason.c_str());
    const std::string command = control.command();
    control.item().report(-1, output, command, control.interactive(), control);
  } catch (...) {
    // Nothing more can be said: the run is ended as it is.
  }
}

}  // namespace

bool RunQueue::State::startThread(std::function<void()> body, bool isWatchdog) {
  // The thread's call is made before the thread is counted, and the count
  // is taken back whenever no thread came of it: a count left behind would
  // keep the queue's state (and its timer) alive past the unload.
  std::function<void()> run;
  try {
    run = [this, body = std::move(body)] {
      try {
        body();
      } catch (...) {
        LogPlatformFailure("a thread of the run queue ended on something thrown");
      }
      Locked locked(lock);
      --threadsAlive;
    };
  } catch (...) {
    return false;  // no memory for the call: as a thread refused
  }
  {
    Locked locked(lock);
    ++threadsAlive;
  }
  HANDLE started = nullptr;
  try {
    started = TestSeams::platformCalls().startWorker(run, isWatchdog);
  } catch (...) {
    // Thrown only before a thread was made (reporting the refusal).
  }
  const Quorlin::ThreadHandle thread(started);
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
      if (run.control->active) stopping.push_back(run.control);
    WakeConditionVariable(&watch);
  }
  for (const auto& run : ended) run.control->stop();
}

void RunQueue::State::makeRun(const std::shared_ptr<RunControl>& control) {
  Item& item = control->item();
  // The run's host calls pass its gate, which a removal closes.
  const GatedCalls gated(control.get());
  try {
    TestSeams::notifyRunStart(item.contact());
    item.cancel();
    item.runOnWorker(*control);
  } catch (...) {
    failRun(*control, reasonOf(std::current_exception()));
  }
  // The box comes after the report, and holds nothing.
  try {
    control->deliverBox();
  } catch (...) {
    LogPlatformFailure("a run's box: something thrown");
  }
}

void RunQueue::State::workerLoop(unsigned generation) {
  const Quorlin::ThreadHandle self = currentThreadHandle();
  // The sockets WinINet opens on this thread can be cancelled, so a run
  // that is stopped while it waits for a server stops at once.
  const Quorlin::CancellableCalls cancellable;
  HeldLock held(lock);
  try {
    for (;;) {
      if (generation != this->generation) break;
      // Workers added while runs were past their limit end once the pool
      // is back at its size.
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
      control->active = true;
      WakeConditionVariable(&watch);  // a new deadline
      held.unlock();

      makeRun(control);

      held.lock();
      // Not while its overdue report is being written.
      while (!rules.finish(control->id())) SleepConditionVariableSRW(&written, &lock, INFINITE, 0);
      control->active = false;
      stopping.erase(std::remove(stopping.begin(), stopping.end(), control), stopping.end());
      WakeAllConditionVariable(&work);  // the contact is free again
      WakeConditionVariable(&watch);
      held.unlock();
      // The item goes back to the main thread, where items end their life.
      Item::finishRun(control->releaseItem());
      held.lock();
    }
  } catch (...) {
    // The worker is lost: the watchdog starts another in its place.
    if (!held.isHeld()) held.lock();
    if (generation == this->generation && workers > 0) --workers;
    WakeConditionVariable(&watch);
    throw;
  }
}

void RunQueue::State::reportOverdue(uint64_t run, bool gated) {
  std::shared_ptr<RunControl> control;
  boost::shared_ptr<Item> item;
  {
    Locked locked(lock);
    if (!rules.beginOverdueReport(run)) return;
    control = rules.find(run)->request.control;
    // The worker may finish meanwhile (a removal ends the run at once) and
    // give its item back: this report keeps a reference of its own.
    item = control->itemRef();
  }
  {
    const GatedCalls calls(gated ? control.get() : nullptr);
    try {
      item->reportOverdue(*control);
    } catch (...) {
      LogPlatformFailure("overdue report: something thrown");
    }
  }
  endWrite(run);
  releaseOnMainThread(std::move(item), std::move(control));
}

void RunQueue::State::reportStarved(uint64_t run, bool gated) {
  std::shared_ptr<RunControl> control;
  boost::shared_ptr<Item> item;
  unsigned seconds;
  const char* reason;
  {
    Locked locked(lock);
    if (!rules.beginStarvedReport(run)) return;
    const RunLifecycle::Run& request = *rules.find(run);
    control = request.request.control;
    item = control->itemRef();
    seconds = static_cast<unsigned>((nowMs() - request.queuedMs) / 1000);
    reason = workersRefused || !watchdog ? Texts::kStarvedNoThread
             : rules.inProgress() >= rules.ceiling() ? Texts::kStarvedCeiling
                                                     : Texts::kStarvedBusy;
  }
  {
    const GatedCalls calls(gated ? control.get() : nullptr);
    try {
      item->reportStarved(seconds, reason);
    } catch (...) {
      LogPlatformFailure("report of a check that cannot start: something thrown");
    }
  }
  endWrite(run);
  releaseOnMainThread(std::move(item), std::move(control));
}

void RunQueue::State::reportDue(const RunLifecycle::Deadlines& due, bool gated) {
  for (uint64_t run : due.report) reportOverdue(run, gated);
  for (uint64_t run : due.starved) reportStarved(run, gated);
}

void RunQueue::State::logRefusal(unsigned generation, unsigned waiting) {
  {
    Locked locked(lock);
    // An ended generation's watchdog may still be refused as the host
    // detaches: that is not said, and must not hold back what the next
    // session says.
    if (generation != this->generation || !rules.isOpen()) return;
    const uint64_t now = nowMs();
    if (lastRefusalLogMs && now - lastRefusalLogMs < kRefusalLogMs) return;
    lastRefusalLogMs = now;
  }
  LogIf(kLogError, Texts::kThreadsRefusedLog, waiting);
}

std::optional<uint64_t> RunQueue::State::lateness(uint64_t now, std::optional<RunLifecycle::Lateness>& toLog) {
  const auto late = rules.lateness(now);
  if (!late) return std::nullopt;
  if (late->behindMs < kLatenessMinMs) return late->sinceMs + kLatenessMinMs;
  if (lastLatenessLogMs && now - lastLatenessLogMs < kLatenessLogMs) return lastLatenessLogMs + kLatenessLogMs;
  lastLatenessLogMs = now;
  toLog = late;
  return now + kLatenessLogMs;
}

void RunQueue::State::showBox(uint64_t run, uint32_t contact, RunControl::Box box) {
  {
    Locked locked(lock);
    // Ended runs show nothing.
    if (!rules.isOpen() || rules.ended(run)) return;
    const auto up = boxes.find(contact);
    if (up != boxes.end()) {
      up->second.waiting = std::move(box);  // the latest waits behind the one up
      return;
    }
    boxes[contact];
    ++boxesUp;
  }
  bool started = false;
  try {
    started = startThread([this, contact, box] { boxLoop(contact, box); }, false);
  } catch (...) {
    // No memory for the box's call: as a thread refused.
  }
  if (started) return;
  {
    Locked locked(lock);
    boxes.erase(contact);
    --boxesUp;
  }
  LogPlatformFailure(("box of contact " + std::to_string(contact) + ": no thread to show it").c_str());
}

void RunQueue::State::boxLoop(uint32_t contact, RunControl::Box box) {
  for (;;) {
    try {
      ShowMessageBox(box.text, box.caption, box.type);
    } catch (...) {
      // A box that cannot be shown is not shown; the run has reported.
    }
    Locked locked(lock);
    const auto slot = boxes.find(contact);
    if (slot == boxes.end() || !slot->second.waiting) {
      if (slot != boxes.end()) boxes.erase(slot);
      --boxesUp;
      return;
    }
    box = std::move(*slot->second.waiting);
    slot->second.waiting.reset();
  }
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
  HeldLock held(lock);
  try {
    keepWatch(generation, held);
  } catch (...) {
    // The watchdog is lost: the next request starts another.
    if (!held.isHeld()) held.lock();
    if (generation == this->generation) watchdog = false;
    throw;
  }
}

void RunQueue::State::keepWatch(unsigned generation, HeldLock& held) {
  uint64_t tryWorkersAt = 0;
  for (;;) {
    const bool current = generation == this->generation;
    // An ended generation's watchdog stays until its stopped runs are done.
    if (!current && stopping.empty()) break;
    const uint64_t now = nowMs();
    RunLifecycle::Deadlines due;
    unsigned missing = 0;
    std::optional<RunLifecycle::Lateness> late;
    std::optional<uint64_t> lookAgain;
    if (current) {
      due = rules.checkDeadlines(now);
      if (now >= tryWorkersAt && rules.workersWanted() > workers) missing = rules.workersWanted() - workers;
      workers += missing;
      lookAgain = lateness(now, late);
    }
    // A run that left the bound frees a place for an idle worker now; the
    // worker added for it comes as it starts.
    if (due.released) WakeAllConditionVariable(&work);
    if (missing || !due.report.empty() || !due.starved.empty() || late) {
      const unsigned waiting = static_cast<unsigned>(rules.queued());
      held.unlock();
      if (late)
        Log(Texts::kBehindLog, static_cast<unsigned>(late->behindMs / 1000),
              static_cast<unsigned>(late->waiting));
      const unsigned started = missing ? startThreads(generation, missing, false) : 0;
      if (started < missing) {
        tryWorkersAt = now + kRetryMs;
        logRefusal(generation, waiting);
      }
      reportDue(due, true);
      held.lock();
      if (missing) workersRefused = started < missing;
      continue;  // the runs may have changed meanwhile: look again before sleeping
    }
    for (const auto& control : stopping) control->poke();
    // Computed under the lock it sleeps with, so no change is missed: every
    // change that moves a deadline wakes this condition after it.
    uint64_t wait = INFINITE;
    if (current) {
      if (const auto next = rules.nextDeadline()) wait = *next > now ? *next - now : 0;
      if (lookAgain) wait = std::min(wait, *lookAgain > now ? *lookAgain - now : 0);
      if (rules.workersWanted() > workers) wait = std::min(wait, tryWorkersAt > now ? tryWorkersAt - now : 0);
    }
    if (!stopping.empty()) wait = std::min<uint64_t>(wait, kPokeMs);
    SleepConditionVariableSRW(&watch, &lock, static_cast<DWORD>(std::min<uint64_t>(wait, INFINITE - 1)), 0);
  }
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
  unsigned waiting;
  {
    Locked locked(lock);
    failed = rules.isOpen() && current == generation && !watchdog;
    waiting = static_cast<unsigned>(rules.queued());
  }
  if (!failed) return;
  // No thread of the queue can start: say so, and try again in a second
  // (requests that come meanwhile leave the time as it is).
  logRefusal(current, waiting);
  {
    Locked locked(lock);
    if (retryPending) return;
  }
  LARGE_INTEGER due;
  due.QuadPart = -10000000LL;  // 1 s
  if (retryTimer && Quorlin::checkCall(SetWaitableTimer(retryTimer.get(), &due, 0, &State::retry, this, FALSE) != FALSE,
                                       "SetWaitableTimer")) {
    Locked locked(lock);
    retryPending = true;
  }
}

void CALLBACK RunQueue::State::retry(LPVOID state, DWORD, DWORD) {
  State& self = *static_cast<State*>(state);
  {
    Locked locked(self.lock);
    self.retryPending = false;
  }
  try {
    self.ensureThreads();
    self.reportDueWithoutWatchdog();
  } catch (...) {
    LogPlatformFailure("run queue retry: something thrown");
  }
}

void RunQueue::State::reportDueWithoutWatchdog() {
  RunLifecycle::Deadlines due;
  {
    Locked locked(lock);
    if (!rules.isOpen() || watchdog) return;
    due = rules.checkDeadlines(nowMs());
  }
  // The main thread: removals happen here too, so no gate is needed.
  reportDue(due, false);
}

}  // namespace Vardok
