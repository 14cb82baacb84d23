#include "checks/run_queue.h"

#include <algorithm>

#include "checks/item.h"
#include "checks/run_queue_state.h"
#include "hostapi/column_ids.h"
#include "hostapi/host.h"
#include "hostapi/texts.h"
#include "support/assert.h"
#include "support/threads/threads.h"

namespace Vardok {

using namespace RunQueueDetail;

RunQueue::RunQueue() : _state(new State) {}

RunQueue::~RunQueue() {
  // Threads of the queue pin the module, so at unload none is left; a
  // program that links the plug-in may end with threads still parked,
  // which must not wake on a destroyed lock.
  bool alive;
  {
    Locked locked(_state->lock);
    alive = _state->threadsAlive > 0;
  }
  if (alive) _state.release();
}

void RunQueue::open() {
  QUORLIN_ASSERT(Quorlin::mainThread.isCurrent(), "checks");
  State& s = *_state;
  {
    Locked locked(s.lock);
    if (s.rules.isOpen()) return;
    s.rules.open(s.nextBound, s.nextCeiling, s.nextReleaseWaitingMs);
    // A new session with the host hears at once what is wrong.
    s.lastRefusalLogMs = 0;
    s.lastLatenessLogMs = 0;
    s.workersRefused = false;
  }
  s.ensureThreads();
}

void RunQueue::shutDown() {
  QUORLIN_ASSERT(Quorlin::mainThread.isCurrent(), "checks");
  State& s = *_state;
  RunLifecycle::Ended ended;
  {
    Locked locked(s.lock);
    if (!s.rules.isOpen()) return;
    ended = s.rules.shutDown();
    ++s.generation;
    s.workers = 0;
    s.watchdog = false;
    // Its routine is the DLL's code: nothing of it stays queued.
    Quorlin::stopTimer(s.retryTimer.get());
    s.retryPending = false;
    // The ending generation's watchdog stays until these are done: they are
    // in its list before it can see the list empty.
    for (const auto& run : ended)
      if (run.control->active) s.stopping.push_back(run.control);
    // Boxes of ended runs are not shown: only those up stay.
    for (auto& box : s.boxes) box.second.waiting.reset();
    WakeAllConditionVariable(&s.work);
    WakeAllConditionVariable(&s.watch);
    WakeAllConditionVariable(&s.written);
  }
  for (const auto& run : ended) run.control->stop();
}

void RunQueue::push(const boost::shared_ptr<Item>& item, bool interactive, const std::string& command) {
  QUORLIN_ASSERT(Quorlin::mainThread.isCurrent(), "checks");
  State& s = *_state;
  // The limit is read as the request is made, on this thread.
  const int32_t interval = GetContactInt(item->contact(), intervalColumn());
  RunLifecycle::Ended ended;
  bool watchdogMissing;
  {
    Locked locked(s.lock);
    if (!s.rules.isOpen()) return;
    RunLifecycle::Request request;
    request.contact = item->contact();
    request.interactive = interactive;
    request.command = command;
    request.limitMs = runLimitMs(interval, s.limitBaseMs);
    request.intervalMs = intervalMs(interval);
    request.control = std::make_shared<RunControl>(item, interactive, command, request.limitMs, this);
    ended = s.rules.push(std::move(request), nowMs());
    WakeConditionVariable(&s.work);
    WakeConditionVariable(&s.watch);  // a new deadline, and how late the queue is
    watchdogMissing = !s.watchdog;
  }
  s.stop(ended);
  if (watchdogMissing) s.ensureThreads();
}

void RunQueue::forget(uint32_t contact) {
  State& s = *_state;
  RunLifecycle::Ended ended;
  {
    Locked locked(s.lock);
    ended = s.rules.forget(contact);
    const auto box = s.boxes.find(contact);
    if (box != s.boxes.end()) box->second.waiting.reset();
    WakeAllConditionVariable(&s.work);
    WakeConditionVariable(&s.watch);
  }
  s.stop(ended);
  // The host is told the removal is done when this returns: nothing of the
  // run may reach the row after that.
  for (const auto& run : ended)
    if (run.silence && !run.control->silence(kSilenceWaitMs)) Log(Texts::kRemovalWaitLog, contact);
}

void RunQueue::endScheduled(uint32_t contact) {
  State& s = *_state;
  RunLifecycle::Ended ended;
  {
    Locked locked(s.lock);
    ended = s.rules.endScheduled(contact);
    WakeAllConditionVariable(&s.work);
  }
  s.stop(ended);
}

bool RunQueue::beginWrite(uint64_t run) {
  State& s = *_state;
  Locked locked(s.lock);
  for (;;) {
    switch (s.rules.beginWrite(run)) {
      case RunLifecycle::Turn::Write: return true;
      case RunLifecycle::Turn::Silent: return false;
      case RunLifecycle::Turn::Wait: SleepConditionVariableSRW(&s.written, &s.lock, INFINITE, 0); break;
    }
  }
}

void RunQueue::endWrite(uint64_t run) { _state->endWrite(run); }

void RunQueue::showBox(uint64_t run, uint32_t contact, RunControl::Box box) { _state->showBox(run, contact, std::move(box)); }

void RunQueue::waiting(uint64_t run) {
  State& s = *_state;
  Locked locked(s.lock);
  s.rules.waiting(run, nowMs());
  WakeConditionVariable(&s.watch);  // a new deadline: when it leaves the bound
}

unsigned RunQueue::bound() const {
  Locked locked(_state->lock);
  return _state->rules.isOpen() ? _state->rules.bound() : _state->nextBound;
}

unsigned RunQueue::running() const {
  Locked locked(_state->lock);
  return _state->rules.inProgress();
}

unsigned RunQueue::counting() const {
  Locked locked(_state->lock);
  return _state->rules.counting();
}

unsigned RunQueue::threads() const {
  Locked locked(_state->lock);
  return _state->threadsAlive;
}

unsigned RunQueue::boxesUp() const {
  Locked locked(_state->lock);
  return _state->boxesUp;
}

bool RunQueue::watching() const {
  Locked locked(_state->lock);
  return _state->watchdog;
}

void RunQueue::setBoundForTests(unsigned bound, unsigned ceiling) {
  Locked locked(_state->lock);
  _state->nextBound = bound ? bound : kDefaultBound;
  _state->nextCeiling = ceiling ? ceiling : RunLifecycle::kLiveRunCeiling;
}

void RunQueue::setReleaseWaitingForTests(uint64_t ms) {
  Locked locked(_state->lock);
  _state->nextReleaseWaitingMs = ms ? ms : RunLifecycle::kReleaseWaitingMs;
}

void RunQueue::setLimitBaseForTests(uint64_t ms) {
  Locked locked(_state->lock);
  _state->limitBaseMs = ms ? ms : kLimitBaseMs;
}

RunQueue& runQueue() {
  static RunQueue queue;
  return queue;
}

uint64_t runLimitMs(int32_t intervalSeconds, uint64_t baseMs) {
  return std::max(baseMs, 2 * intervalMs(intervalSeconds));
}

}  // namespace Vardok
