// RunQueue: the runs of every check, in due order, served by a small fixed
// pool of worker threads.
//
// A timer routine or a user's request only queues an item and returns; the
// workers take the earliest request whose contact has no run in progress.
// Interactive requests go before scheduled ones. At most bound() runs are
// in progress at once, but a run that has passed its limit (overdue) or
// that shows a message box stops counting against the bound, and a worker
// is added meanwhile, so hung checks and open boxes never stop the others.
// A watchdog thread reports overdue runs.
//
// One run per contact, whatever happens to its items: a request for a
// contact with a run in progress waits (or, for a scheduled one, is dropped:
// the run re-arms its timer when it ends).
//
// Threads: open, push, forget, endScheduled and shutDown are main-thread
// calls (the host's message thread and its timer routines) and do O(log n)
// work under the queue's lock; the workers and the watchdog are the
// queue's own threads, which pin the module while they live and end after
// shutDown.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <boost/shared_ptr.hpp>
#include <windows.h>

#include "checks/run_control.h"

namespace Vardok {

class Item;

class RunQueue {
 public:
  static constexpr unsigned kDefaultBound = 4;
  static constexpr uint64_t kLimitBaseMs = 60000;

  RunQueue();
  ~RunQueue();
  RunQueue(const RunQueue&) = delete;
  RunQueue& operator=(const RunQueue&) = delete;

  // Starts the workers and the watchdog (HM_ATTACH_CORE). Main thread.
  void open();
  // Ends every run in progress with its process tree, empties the queue
  // and lets every worker end after its run (HM_DETACH_CORE). Requests
  // made until the next open are dropped. Main thread.
  void shutDown();

  // Queues a run of item. A scheduled request is dropped when the contact
  // has one queued or a run in progress. An interactive request goes to
  // the front; it replaces an interactive request of the contact that is
  // still waiting and the contact's queued scheduled one, and when the
  // contact's run is overdue that run is ended, so the new one starts at
  // once. Main thread.
  void push(const boost::shared_ptr<Item>& item, bool interactive, const std::string& command);
  // The contact is gone (removed, left network 82, recreated): its run is
  // ended and its requests dropped. Main thread.
  void forget(uint32_t contact);
  // The contact was disabled: a scheduled run of it is ended and a queued
  // scheduled request dropped; interactive ones go on. Main thread.
  void endScheduled(uint32_t contact);

  // The calling worker's run stops counting against the bound (it shows a
  // message box and may wait for a person). Any thread; nothing without a
  // current run.
  void releaseCurrentRun();

  unsigned bound() const;
  // Runs in progress, and of those the ones that count against the bound.
  unsigned running() const;
  unsigned counting() const;
  // The queue's threads still alive, of this and of earlier openings.
  unsigned threads() const;

  // --- for tests ---
  void setBoundForTests(unsigned bound);  // takes effect at the next open
  void setLimitBaseForTests(uint64_t ms); // 0: the default

  struct State;

 private:
  std::unique_ptr<State> _state;
};

// The plug-in's queue: lives from library load to unload.
RunQueue& runQueue();

// The time after which a run of a check with this interval is overdue:
// the larger of the base (60 s) and twice the interval.
uint64_t runLimitMs(int32_t intervalSeconds, uint64_t baseMs);

}  // namespace Vardok
