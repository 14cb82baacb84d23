#include "checks/run_queue.h"

#include <algorithm>

#include "checks/item.h"
#include "checks/run_queue_state.h"
#include "checks/test_seams.h"
#include "hostapi/column_ids.h"
#include "hostapi/host.h"
#include "support/assert.h"
#include "support/threads/threads.h"

namespace Vardok {

using namespace RunQueueDetail;

std::map<Key, Request>::iterator RunQueue::State::nextEligible() {
  // Requests of contacts with a run in progress wait; each contact has at
  // most two requests, so few are passed over.
  for (auto it = queue.begin(); it != queue.end(); ++it) {
    auto contact = contacts.find(it->second.item->contact());
    if (contact == contacts.end() || !contact->second.running) return it;
  }
  return queue.end();
}

void RunQueue::State::take(std::map<Key, Request>::iterator at, std::shared_ptr<RunControl>* control,
                           boost::shared_ptr<Item>* item) {
  Request request = std::move(at->second);
  const Key key = at->first;
  queue.erase(at);
  ContactState& contact = contacts[request.item->contact()];
  if (contact.scheduled == key) contact.scheduled.reset();
  if (contact.interactive == key) contact.interactive.reset();
  *control = std::make_shared<RunControl>(request.item.get(), request.interactive, std::move(request.command), nowMs(),
                                          request.limitMs);
  *item = std::move(request.item);
  contact.running = *control;
  runs[control->get()] = Running{*control, true, false};
  ++counting;
}

void RunQueue::State::finish(const std::shared_ptr<RunControl>& control) {
  auto contact = contacts.find(control->contact());
  if (contact != contacts.end() && contact->second.running == control) {
    contact->second.running.reset();
    if (contact->second.empty()) contacts.erase(contact);
  }
  auto run = runs.find(control.get());
  if (run == runs.end()) return;
  if (run->second.counting)
    --counting;
  else
    --released;
  runs.erase(run);
}

void RunQueue::State::release(Running& run) {
  if (!run.counting) return;
  run.counting = false;
  --counting;
  ++released;
  // A free slot for the queue, and the watchdog adds a worker for it.
  WakeAllConditionVariable(&work);
  WakeConditionVariable(&watch);
}

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
  unsigned generation, count;
  {
    Locked locked(s.lock);
    if (s.open) return;
    s.open = true;
    s.bound = s.nextBound;
    generation = s.generation;
    count = s.bound;
    s.workers = count;
    s.watchdog = true;
  }
  s.startThreads(generation, count, true);
  s.ensureThreads();
}

void RunQueue::shutDown() {
  QUORLIN_ASSERT(Quorlin::mainThread.isCurrent(), "checks");
  State& s = *_state;
  Controls running;
  {
    Locked locked(s.lock);
    if (!s.open) return;
    s.open = false;
    ++s.generation;
    for (auto& entry : s.runs) running.push_back(entry.second.control);
    s.runs.clear();
    s.queue.clear();
    s.contacts.clear();
    s.counting = s.released = s.workers = 0;
    s.watchdog = false;
    if (s.retryTimer) CancelWaitableTimer(s.retryTimer.get());
    WakeAllConditionVariable(&s.work);
    WakeAllConditionVariable(&s.watch);
  }
  abandonAll(running);
}

void RunQueue::push(const boost::shared_ptr<Item>& item, bool interactive, const std::string& command) {
  QUORLIN_ASSERT(Quorlin::mainThread.isCurrent(), "checks");
  State& s = *_state;
  // The limit is read as the request is made, on this thread.
  const int32_t interval = GetContactInt(item->contact(), intervalColumn());
  Controls ended;
  bool noThreads = false;
  {
    Locked locked(s.lock);
    if (!s.open) return;
    const uint64_t limit = runLimitMs(interval, s.limitBaseMs);
    ContactState& contact = s.contacts[item->contact()];
    const Key key(interactive ? 0 : 1, interactive ? 0 : nowMs(), ++s.arrivals);
    if (!interactive) {
      // Queued at most once; a run in progress re-arms when it ends.
      if (contact.scheduled || contact.interactive || contact.running) return;
      s.queue.emplace(key, Request{item, false, command, limit});
      contact.scheduled = key;
    } else if (contact.interactive) {
      // At most one interactive request waits: the latest.
      Request& waiting = s.queue[*contact.interactive];
      waiting.item = item;
      waiting.command = command;
      waiting.limitMs = limit;
    } else {
      if (contact.scheduled) {
        s.queue.erase(*contact.scheduled);
        contact.scheduled.reset();
      }
      s.queue.emplace(key, Request{item, true, command, limit});
      contact.interactive = key;
      // An overdue run gives way: it is ended and the contact is free.
      auto run = contact.running ? s.runs.find(contact.running.get()) : s.runs.end();
      if (run != s.runs.end() && run->second.overdue) {
        ended.push_back(contact.running);
        contact.running.reset();
      }
    }
    WakeConditionVariable(&s.work);
    // Only when no thread of the queue could be started so far.
    noThreads = s.workers == 0 && !s.watchdog;
  }
  abandonAll(ended);
  if (noThreads) s.ensureThreads();
}

void RunQueue::forget(uint32_t contact) {
  State& s = *_state;
  Controls ended;
  {
    Locked locked(s.lock);
    auto found = s.contacts.find(contact);
    if (found == s.contacts.end()) return;
    if (found->second.running) ended.push_back(found->second.running);
    if (found->second.scheduled) s.queue.erase(*found->second.scheduled);
    if (found->second.interactive) s.queue.erase(*found->second.interactive);
    s.contacts.erase(found);
  }
  abandonAll(ended);
}

void RunQueue::endScheduled(uint32_t contact) {
  State& s = *_state;
  Controls ended;
  {
    Locked locked(s.lock);
    auto found = s.contacts.find(contact);
    if (found == s.contacts.end()) return;
    ContactState& state = found->second;
    if (state.running && !state.running->interactive()) ended.push_back(state.running);
    if (state.scheduled) {
      s.queue.erase(*state.scheduled);
      state.scheduled.reset();
    }
  }
  abandonAll(ended);
}

void RunQueue::releaseCurrentRun() {
  RunControl* current = RunControl::current();
  if (!current) return;
  State& s = *_state;
  Locked locked(s.lock);
  auto run = s.runs.find(current);
  if (run != s.runs.end()) s.release(run->second);
}

unsigned RunQueue::bound() const {
  Locked locked(_state->lock);
  return _state->bound;
}

unsigned RunQueue::running() const {
  Locked locked(_state->lock);
  return static_cast<unsigned>(_state->runs.size());
}

unsigned RunQueue::threads() const {
  Locked locked(_state->lock);
  return _state->threadsAlive;
}

unsigned RunQueue::counting() const {
  Locked locked(_state->lock);
  return _state->counting;
}

void RunQueue::setBoundForTests(unsigned bound) {
  Locked locked(_state->lock);
  _state->nextBound = bound ? bound : kDefaultBound;
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