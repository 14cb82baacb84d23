// RunQueue: the runs of every check, served by a small pool of worker
// threads, with a watchdog for runs past their limit.
//
// The rules (which request runs next, when a run is overdue, whether an
// ended run may still write) are RunLifecycle's (run_lifecycle.h); this is
// the thin layer of threads over them: every event goes to the rules under
// the queue's one lock, and what the rules answer is carried out outside
// it (a run to start, processes or a request to stop, an overdue report).
//
// Threads: open, push, forget, endScheduled and shutDown are main-thread
// calls (the host's message thread and its timer routines) and do O(log n)
// work under the lock (forget also waits for a removed run's host call in
// flight). beginWrite, endWrite, waiting and showBox are called by the
// workers through their RunControl. The workers, the watchdog and the box
// threads are the queue's own threads, which pin the module while they
// live and end after shutDown (a box thread once its box is answered).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <boost/shared_ptr.hpp>

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
  // Ends every run in progress with its process tree or its request,
  // empties the queue and lets every worker end after its run
  // (HM_DETACH_CORE). Requests made until the next open are dropped. Main
  // thread.
  void shutDown();

  // Queues a run of item (see RunLifecycle::push). Main thread.
  void push(const boost::shared_ptr<Item>& item, bool interactive, const std::string& command);
  // The contact is gone (removed, left network 82, recreated): its run is
  // ended and its requests dropped; its box still waiting is dropped; the
  // run's host call in flight, if any, has returned when this returns (or
  // 5 s have passed, which is logged). Main thread.
  void forget(uint32_t contact);
  // The contact was disabled: its scheduled run is ended and a queued
  // scheduled request dropped; interactive ones go on. Main thread.
  void endScheduled(uint32_t contact);

  // --- a run's turns, for its RunControl (workers) ---
  // Waits while the run's overdue report is being written; false when the
  // run was ended.
  bool beginWrite(uint64_t run);
  void endWrite(uint64_t run);
  // Shows the run's box on a thread of its own unless the run was ended:
  // one box up per contact, and the latest one waiting behind it.
  void showBox(uint64_t run, uint32_t contact, RunControl::Box box);
  // The run only waits for its work now (see RunLifecycle::waiting).
  void waiting(uint64_t run);

  unsigned bound() const;
  // Runs in progress, and of those the ones that count against the bound.
  unsigned running() const;
  unsigned counting() const;
  // The queue's threads still alive, of this and of earlier openings.
  unsigned threads() const;
  // Whether this opening's watchdog is alive.
  bool watching() const;
  // Message boxes up now, of every contact.
  unsigned boxesUp() const;

  // --- for tests ---
  // Take effect at the next open; 0: the default.
  void setBoundForTests(unsigned bound, unsigned ceiling = 0);
  void setReleaseWaitingForTests(uint64_t ms);
  void setLimitBaseForTests(uint64_t ms);

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
