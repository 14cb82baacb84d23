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
#include <string>
#include <tuple>
#include <vector>

#include <boost/shared_ptr.hpp>
#include <windows.h>

#include "checks/run_control.h"
#include "checks/run_queue.h"
#include "support/threads/unique_handle.h"

namespace Vardok {

namespace RunQueueDetail {

inline uint64_t nowMs() { return GetTickCount64(); }

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

inline void abandonAll(const Controls& controls) {
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

}  // namespace RunQueueDetail

struct RunQueue::State {
  using Key = RunQueueDetail::Key;
  using Request = RunQueueDetail::Request;
  using Running = RunQueueDetail::Running;
  using ContactState = RunQueueDetail::ContactState;

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

}  // namespace Vardok
