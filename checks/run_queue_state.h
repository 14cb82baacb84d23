// The run queue's state, shared by the queue's operations (run_queue.cpp)
// and its threads (run_workers.cpp). Private to checks/.
//
// Everything in State is guarded by its lock, except the thread bodies,
// which take it themselves.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include <windows.h>

#include "checks/run_control.h"
#include "checks/run_lifecycle.h"
#include "checks/run_queue.h"
#include "support/threads/unique_handle.h"

namespace Vardok {

namespace RunQueueDetail {

inline uint64_t nowMs() { return GetTickCount64(); }

// At most one line a minute says that the queue is behind, and only once
// it is a second behind.
constexpr uint64_t kLatenessLogMs = 60000;
constexpr uint64_t kLatenessMinMs = 1000;
// At most one line a minute says that worker threads cannot start.
constexpr uint64_t kRefusalLogMs = 60000;
// How long a removal waits for its run's host call in flight.
constexpr DWORD kSilenceWaitMs = 5000;

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

// The queue's lock, held from construction and given up and taken again
// around the work done outside it; released at the end of the scope, also
// when something is thrown.
class HeldLock {
 public:
  explicit HeldLock(SRWLOCK& lock) : _lock(lock) { lock_(); }
  ~HeldLock() {
    if (_held) ReleaseSRWLockExclusive(&_lock);
  }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  void lock() { lock_(); }
  void unlock() {
    _held = false;
    ReleaseSRWLockExclusive(&_lock);
  }
  bool isHeld() const { return _held; }

 private:
  void lock_() {
    AcquireSRWLockExclusive(&_lock);
    _held = true;
  }
  SRWLOCK& _lock;
  bool _held = false;
};

}  // namespace RunQueueDetail

struct RunQueue::State {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE work = CONDITION_VARIABLE_INIT;     // workers wait here
  CONDITION_VARIABLE watch = CONDITION_VARIABLE_INIT;    // the watchdog waits here
  CONDITION_VARIABLE written = CONDITION_VARIABLE_INIT;  // a run's writing is over

  RunLifecycle rules;
  // Stopped runs whose workers are not done yet: the watchdog cancels their
  // blocking calls again until they are.
  std::vector<std::shared_ptr<RunControl>> stopping;

  // A generation lasts from open to shutDown; threads of an older one end.
  unsigned generation = 0;
  unsigned nextBound = kDefaultBound;
  unsigned nextCeiling = RunLifecycle::kLiveRunCeiling;
  uint64_t nextReleaseWaitingMs = RunLifecycle::kReleaseWaitingMs;
  unsigned workers = 0;       // of this generation, counted from their start
  bool watchdog = false;      // of this generation, counted from its start
  unsigned threadsAlive = 0;  // of every generation
  uint64_t limitBaseMs = kLimitBaseMs;
  uint64_t lastLatenessLogMs = 0;  // when the queue last said it is behind
  bool workersRefused = false;     // the last start of a worker failed
  uint64_t lastRefusalLogMs = 0;   // when that was last said
  // Message boxes: one up per contact, with the latest one waiting.
  struct BoxSlot {
    std::optional<RunControl::Box> waiting;
  };
  std::map<uint32_t, BoxSlot> boxes;  // contacts with a box up
  unsigned boxesUp = 0;
  bool retryPending = false;  // the retry timer is set
  // Tries again to start the queue's threads when one could not be started.
  Quorlin::TimerHandle retryTimer{CreateWaitableTimerA(nullptr, FALSE, nullptr)};

  // --- main thread ---
  // Starts the watchdog when it is not alive (it starts the workers); if
  // that fails, tries again a second later.
  void ensureThreads();
  static void CALLBACK retry(LPVOID state, DWORD, DWORD);
  // No watchdog can start: the main thread reports what is due.
  void reportDueWithoutWatchdog();

  // --- without the lock ---
  // Stops the processes or requests of ended runs, and keeps them for the
  // watchdog until their workers are done.
  void stop(const RunLifecycle::Ended& ended);
  void workerLoop(unsigned generation);
  void watchdogLoop(unsigned generation);
  void keepWatch(unsigned generation, RunQueueDetail::HeldLock& held);
  void makeRun(const std::shared_ptr<RunControl>& control);
  // The reports the watchdog makes; gated: through the run's gate (any
  // thread but the main one, where removals happen).
  void reportOverdue(uint64_t run, bool gated);
  void reportStarved(uint64_t run, bool gated);
  void reportDue(const RunLifecycle::Deadlines& due, bool gated);
  // Says, at most once a minute, that workers cannot start.
  void logRefusal(unsigned generation, unsigned waiting);
  // Under the lock: whether the queue is behind by a second or more and
  // has not said so within a minute (toLog: what to say); answers when to
  // look again.
  std::optional<uint64_t> lateness(uint64_t now, std::optional<RunLifecycle::Lateness>& toLog);
  void showBox(uint64_t run, uint32_t contact, RunControl::Box box);
  void boxLoop(uint32_t contact, RunControl::Box box);
  // The run's writing is over; an end that waited takes effect.
  void endWrite(uint64_t run);
  // Starts up to count workers (and the watchdog when withWatchdog);
  // answers how many workers started.
  unsigned startThreads(unsigned generation, unsigned count, bool withWatchdog);
  bool startThread(std::function<void()> body, bool isWatchdog);
};

}  // namespace Vardok
