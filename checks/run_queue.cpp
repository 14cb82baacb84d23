#include "checks/run_queue.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <tuple>
#include <vector>

#include "checks/item.h"
#include "checks/test_seams.h"
#include "hostapi/column_ids.h"
#include "hostapi/host.h"
#include "support/assert.h"
#include "support/threads/threads.h"

namespace Vardok {

namespace {

uint64_t nowMs() { return GetTickCount64(); }

// Queue order: interactive requests first, then by due time, then by
// arrival.
using Key = std::tuple<int, uint64_t, uint64_t>;

struct Request {
  boost::shared_ptr<Item> item;
  bool interactive = false;
  std::string command;
  uint64_t limitMs = 0;
};

// A run in progress, as the queue counts it.
struct Running {
  std::shared_ptr<RunControl> control;
  bool counting = true;  // counts against the bound
  bool overdue = false;
};

struct ContactState {
  std::shared_ptr<RunControl> running;
  std::optional<Key> scheduled;
  std::optional<Key> interactive;
  bool empty() const { return !running && !scheduled && !interactive; }
};

using Controls = std::vector<std::shared_ptr<RunControl>>;

void abandonAll(const Controls& controls) {
  for (const auto& control : controls) control->abandon();
}

// Holds the queue's lock for a scope.
class Locked {
 public:
  explicit Locked(SRWLOCK& lock) : _lock(lock) { AcquireSRWLockExclusive(&_lock); }
  ~Locked() { ReleaseSRWLockExclusive(&_lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  SRWLOCK& _lock;
};

}  // namespace

struct RunQueue::State {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE work = CONDITION_VARIABLE_INIT;   // workers wait here
  CONDITION_VARIABLE watch = CONDITION_VARIABLE_INIT;  // the watchdog waits here

  std::map<Key, Request> queue;
  std::map<uint32_t, ContactState> contacts;
  std::map<const RunControl*, Running> runs;
  uint64_t arrivals = 0;

  // A generation lasts from open to shutDown; threads of an older one end.
  unsigned generation = 0;
  bool open = false;
  unsigned bound = kDefaultBound;
  unsigned nextBound = kDefaultBound;
  unsigned workers = 0;     // of this generation, counted from their start
  bool watchdog = false;    // of this generation
  unsigned counting = 0;    // runs that count against the bound
  unsigned released = 0;    // runs in progress that do not
  unsigned threadsAlive = 0;  // of every generation
  uint64_t limitBaseMs = kLimitBaseMs;
  // Tries again to start the queue's threads when none could be started.
  Quorlin::TimerHandle retryTimer{CreateWaitableTimerA(nullptr, FALSE, nullptr)};

  // --- main thread ---
  // When no thread of the queue is alive, starts the watchdog (which starts
  // the workers); if that fails too, tries again a second later.
  void ensureThreads();
  static void CALLBACK retry(LPVOID state, DWORD, DWORD) { static_cast<State*>(state)->ensureThreads(); }

  // --- under the lock ---
  bool startable() const { return counting < bound; }
  std::map<Key, Request>::iterator nextEligible();
  void take(std::map<Key, Request>::iterator at, std::shared_ptr<RunControl>* control, boost::shared_ptr<Item>* item);
  void finish(const std::shared_ptr<RunControl>& control);
  void release(Running& run);
  unsigned workersWanted() const { return bound + released > workers ? bound + released - workers : 0; }

  // --- without the lock ---
  void workerLoop(unsigned generation);
  void watchdogLoop(unsigned generation);
  // Starts up to count workers (and the watchdog when withWatchdog);
  // answers how many workers started.
  unsigned startThreads(unsigned generation, unsigned count, bool withWatchdog);
  bool startThread(std::function<void()> body);
};

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

    {
      RunControl::Scope scope(control.get());
      item->cancel();
      item->runOnWorker(control->interactive(), control->command());
      std::lock_guard<std::mutex> report(control->reportLock());
      control->markFinished();
    }

    AcquireSRWLockExclusive(&lock);
    bool surplus = false;
    if (generation == this->generation) {
      finish(control);
      WakeAllConditionVariable(&work);  // the contact is free again
      surplus = workers > bound + released;
      if (surplus) --workers;
    }
    ReleaseSRWLockExclusive(&lock);
    control.reset();
    // The item goes back to the main thread, where items end their life.
    Item::finishRun(std::move(item));
    if (surplus) return;
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
