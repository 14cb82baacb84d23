// RunControl: one run of a check in progress, as the run queue, its
// watchdog and the main thread see it, with the means to end it.
//
// Created by the run queue when a worker takes a request; shared by the
// worker (which runs and reports), the queue (which may end it) and the
// watchdog (which reports it overdue). Any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include <windows.h>

#include "support/threads/unique_handle.h"

namespace Vardok {

class Item;

class RunControl {
 public:
  // Does not own item: the worker that makes the run holds it until the
  // run has finished.
  RunControl(Item* item, bool interactive, std::string command, uint64_t startedMs, uint64_t limitMs);
  RunControl(const RunControl&) = delete;
  RunControl& operator=(const RunControl&) = delete;

  Item* item() const { return _item; }
  uint32_t contact() const;
  bool interactive() const { return _interactive; }
  // The command asked for; empty: the stored one.
  const std::string& command() const { return _command; }
  uint64_t startedMs() const { return _startedMs; }
  uint64_t limitMs() const { return _limitMs; }

  // --- ending the run ---
  // Worker: the job object that holds the run's processes (its direct
  // child, when no job could be made). Answers false when the run was
  // ended already; the caller then ends what it started.
  bool holdProcesses(Quorlin::JobHandle job, HANDLE directChild);
  // Worker, at the end of the run: closes the job. A run that ends by
  // itself leaves whatever its processes started running.
  void releaseProcesses();
  // The job, or null. Worker only, between hold and release.
  HANDLE job() const { return _job.get(); }
  // Worker: how an HTTP request in progress is ended. Answers false when
  // the run was ended already.
  bool setCancel(std::function<void()> cancel);
  void clearCancel();
  // Any thread: ends the run's process tree or its request. The run
  // reports nothing afterwards.
  void abandon();
  bool abandoned() const;

  // The worker's report and the watchdog's overdue report take turns:
  // each holds this lock for its whole report. The worker marks the run
  // finished under it before it lets the item go, so a report made under
  // the lock of a run that is not finished may use the item.
  std::mutex& reportLock() { return _reportLock; }
  void markFinished() { _finished = true; }
  bool finished() const { return _finished; }

  // The run that the calling worker thread is making, or null.
  static RunControl* current();
  // Makes control the calling thread's current run for a scope.
  class Scope {
   public:
    explicit Scope(RunControl* control);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    RunControl* _previous;
  };

 private:
  Item* const _item;
  const bool _interactive;
  const std::string _command;
  const uint64_t _startedMs;
  const uint64_t _limitMs;

  mutable std::mutex _lock;  // guards what follows
  bool _abandoned = false;
  Quorlin::JobHandle _job;
  HANDLE _directChild = nullptr;  // not owned; only when there is no job
  std::function<void()> _cancel;

  std::mutex _reportLock;
  bool _finished = false;  // under _reportLock
};

}  // namespace Vardok
