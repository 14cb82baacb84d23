// RunControl: one run of a check as the threads see it: the item it runs,
// what was asked for, its turn to write to the host, and the means to stop
// it (its process tree, or the blocking call of its HTTP request).
//
// Made by the run queue when the run is asked for, handed to the worker
// that makes the run (Item::runOnWorker and what it calls) and kept by the
// queue's rules (run_lifecycle.h) until the worker is done. Whether the run
// may still write is decided by those rules, never here: beginWrite asks
// them. A RunControl made without a queue (a run made directly on the
// calling thread) may always write.
//
// It is also the gate the run's host calls pass (iCallGate): when the
// run's contact is removed, silence() closes it and waits for the call in
// flight, so nothing of the run reaches a row the host has deleted.
//
// Threads: the worker makes the run; stop, poke and silence come from any
// thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include <boost/shared_ptr.hpp>
#include <windows.h>

#include "hostapi/host.h"

namespace Vardok {

class Item;
class RunQueue;

class RunControl : public iCallGate {
 public:
  // A message box of the run: shown after its report.
  struct Box {
    std::string text;
    std::string caption;
    unsigned type = 0;
  };

  // Holds item until the run is done. queue null: a run outside the queue.
  RunControl(boost::shared_ptr<Item> item, bool interactive, std::string command, uint64_t limitMs,
             RunQueue* queue = nullptr);
  ~RunControl();
  RunControl(const RunControl&) = delete;
  RunControl& operator=(const RunControl&) = delete;

  Item& item() const { return *_item; }
  // The worker, once the run is finished: the item goes back to the main
  // thread with it (items end their life there).
  boost::shared_ptr<Item> releaseItem() { return std::move(_item); }
  // Another reference to the item, for a report of the run made by another
  // thread (under the queue's lock, before the worker has finished).
  boost::shared_ptr<Item> itemRef() const { return _item; }
  bool interactive() const { return _interactive; }
  // The command asked for; empty: the stored one.
  const std::string& command() const { return _command; }
  uint64_t limitMs() const { return _limitMs; }

  // --- set by the queue as a worker takes the run ---
  void started(uint64_t id, uint64_t startedMs, HANDLE workerThread);
  uint64_t id() const { return _id; }
  uint64_t startedMs() const { return _startedMs; }
  // A worker makes the run now: the queue's, under its lock.
  bool active = false;

  // --- writing to the host (worker) ---
  // The run's report: false when the run was ended (write nothing). Until
  // endWrite an end waits, so a report is never half made.
  bool beginWrite();
  void endWrite();
  // Keeps a message box to show once the run has reported (the latest
  // one of the run); nothing waits for it.
  void showBox(const std::string& text, const std::string& caption, unsigned type);
  // After the report: hands the kept box to the queue, which shows it on a
  // thread of its own unless the run was ended. A run outside the queue
  // shows it here, on the calling thread.
  void deliverBox();

  // The run has started its work and only waits for it now (its child
  // process runs, its request is with the server): after a while it leaves
  // the queue's bound, so that slow checks do not hold up due ones.
  void waiting();

  // --- the run's processes (worker) ---
  // The job that holds the run's processes (null: there is none, and the
  // direct child is ended alone), for stop to end them; the worker keeps
  // owning both. Answers false when the run was stopped already; the
  // caller then ends what it started.
  bool holdProcesses(HANDLE job, HANDLE directChild);
  // The processes have ended: stop has nothing more to end.
  void releaseProcesses();

  // --- the run's blocking network calls (worker) ---
  // Brackets calls that stop may cancel (CancelSynchronousIo on the
  // worker). Enter answers false when the run was stopped already.
  bool enterBlockingCalls();
  void leaveBlockingCalls();

  // --- stopping (any thread) ---
  // Ends the run's process tree, or cancels its blocking call. Writing is
  // not decided here: the queue's rules have ended the run already.
  void stop();
  bool stopped() const;
  // Cancels the blocking call again, for one that began just after stop.
  void poke();

  // --- the gate of the run's host calls ---
  bool enter() override;
  void leave() override;
  // Closes the gate (later calls are skipped) and waits at most timeoutMs
  // for the call in flight, serving the host meanwhile; false when it
  // gave up. The caller must not be the run's own thread.
  bool silence(DWORD timeoutMs);

 private:
  boost::shared_ptr<Item> _item;
  const uint32_t _contact;
  const bool _interactive;
  const std::string _command;
  const uint64_t _limitMs;
  RunQueue* const _queue;
  uint64_t _id = 0;
  uint64_t _startedMs = 0;

  mutable std::mutex _lock;  // guards what follows
  bool _stopped = false;
  HANDLE _job = nullptr;          // not owned
  HANDLE _directChild = nullptr;  // not owned; only when there is no job
  HANDLE _worker = nullptr;       // not owned; the worker's, while it makes the run
  bool _inBlockingCalls = false;
  std::optional<Box> _box;
  bool _silenced = false;
  unsigned _callsIn = 0;           // host calls that passed the gate, not yet back
  HANDLE _callsBack = nullptr;     // owned; made by silence while calls are in
};

}  // namespace Vardok
