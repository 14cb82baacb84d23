// RunLifecycle: the rules of the runs of every check, as plain code with
// time as an input.
//
// Each run is one record here from the moment it is asked for until its
// worker is done with it, in one of these states:
//
//   queued    asked for (scheduled, or interactive: the settings page's
//             button, the contact menu, activation), waiting for a worker
//   running   taken by a worker, within its limit
//   overdue   past its limit (the larger of 60 s and twice the interval);
//             reported critical once, and not stopped for that
//   ended     stopped from outside: its contact was removed, left network
//             82, was disabled or given a new command, the plug-in was
//             detached, or an interactive request needed the contact
//   (finished) its worker is done; the record is gone
//
// Who may change a run: the main thread queues (push) and ends (forget,
// endScheduled, push of an interactive request, shutDown); a worker takes,
// writes and finishes; the watchdog turns runs overdue at their deadline.
// Every change happens here, under the run queue's lock, so the decision
// whether a run may still write to the host is made once, atomically with
// ending it: a run that has been ended never writes again (its message
// box, its report, its overdue report), and a run that has begun writing
// its report or its overdue report finishes that first (the end then takes
// effect as the writing ends), so no report is ever half made and no stale
// report follows a newer one.
//
// One run per contact: a contact has at most one run in progress (running
// or overdue, or writing after it was ended), at most one scheduled request
// and at most one interactive request waiting (the latest). An interactive
// request ends the contact's run when that run is overdue, whenever either
// happens first, so a person who asked never waits behind a run past its
// limit.
//
// The pool: at most bound() runs count at once; the bound is there for
// what is dear to the platform, starting processes. A run stops counting
// when it has only been waiting (for its child process or its server) for
// kReleaseWaitingMs, when it passes its limit, or when it shows a message
// box (it may wait for a person), and workersWanted() grows by one for
// each such run, so neither slow or hung checks nor open boxes can stop
// the others. Each run in progress holds a worker thread and its
// processes, so their number has a ceiling of its own (kLiveRunCeiling):
// at the ceiling nothing more is taken until a run finishes.
//
// Not thread-safe: the run queue (run_queue.h) calls it under its lock. No
// threads, timers or host calls here; tests drive it with tables of events
// and times in milliseconds.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace Vardok {

// What the threads need to make and to stop one run (run_control.h). The
// rules only carry it.
class RunControl;

class RunLifecycle {
 public:
  using RunId = uint64_t;
  // How long a run waits before it leaves its place in the bound: long
  // enough that quick checks (most end within tens of milliseconds) never
  // do, short enough that one slow check delays the due ones by a second.
  static constexpr uint64_t kReleaseWaitingMs = 1000;
  // Runs in progress at most, counting or not: a worker thread and a
  // process tree each. Far above what a healthy pool holds, low enough
  // that a host with thousands of slow checks keeps its threads and
  // memory within reason.
  static constexpr unsigned kLiveRunCeiling = 64;
  enum class State { Queued, Running, Overdue, Ended };
  // The answer to a worker that wants to write to the host.
  enum class Turn {
    Write,   // go on; end the writing with endWrite (or endBox)
    Silent,  // the run was ended: write nothing
    Wait,    // its overdue report is being written; ask again after it
  };

  struct Request {
    uint32_t contact = 0;
    bool interactive = false;
    std::string command;  // empty: the contact's stored command
    uint64_t limitMs = 0;
    uint64_t intervalMs = 0;  // the contact's interval, for how late a request is
    std::shared_ptr<RunControl> control;
  };
  struct Run {
    RunId id = 0;
    Request request;
    State state = State::Queued;
    uint64_t startedMs = 0;
    bool counting = false;    // counts against the bound
    bool pastLimit = false;   // its deadline has been seen
    std::optional<uint64_t> waitingSinceMs;  // only waiting since then
    bool writing = false;     // its report or its overdue report is under way
    bool boxUp = false;       // shows a message box
    bool endPending = false;  // ended while writing: takes effect after it
    uint64_t queuedMs = 0;    // when it was asked for
  };
  // Runs that have just been ended: the caller stops their processes or
  // requests, outside its lock.
  struct EndedRun {
    RunId run;
    std::shared_ptr<RunControl> control;
  };
  using Ended = std::vector<EndedRun>;
  struct Deadlines {
    std::vector<RunId> report;  // newly overdue runs to report critical
    Ended ended;                // overdue runs an interactive request was waiting for
    unsigned released = 0;      // runs that left their place in the bound
  };

  // Opens with a bound, a ceiling on runs in progress (at least the bound)
  // and how long a waiting run keeps its place in the bound; requests made
  // while closed are dropped.
  void open(unsigned bound, unsigned ceiling = kLiveRunCeiling, uint64_t releaseWaitingMs = kReleaseWaitingMs);
  // Ends every run in progress and drops every request; closes.
  Ended shutDown();
  bool isOpen() const { return _open; }

  // --- the main thread ---
  // Queues a run. A scheduled request is dropped while the contact has a
  // request queued or a run in progress. An interactive one replaces the
  // contact's waiting interactive request (keeping its place) or its
  // queued scheduled one, and ends the contact's run when it is overdue.
  Ended push(Request request, uint64_t nowMs);
  // The contact is gone: its run is ended and its requests dropped.
  Ended forget(uint32_t contact);
  // The contact was disabled: its scheduled run is ended and its queued
  // scheduled request dropped; interactive ones go on.
  Ended endScheduled(uint32_t contact);

  // --- workers ---
  // Takes the first queued request, interactive ones first and then by due
  // time, whose contact has no run in progress, while fewer than bound()
  // runs count and fewer than ceiling() are in progress. Answers the run,
  // now running, or null.
  const Run* take(uint64_t nowMs);
  // The run has started its work and only waits for it now: its child
  // process runs, or its request is with the server. kReleaseWaitingMs
  // later (as opened) it stops counting, at a deadline of checkDeadlines.
  void waiting(RunId run, uint64_t nowMs);
  // The run's own report: Write, Silent or Wait.
  Turn beginWrite(RunId run);
  // The writing is over; an end that came meanwhile takes effect.
  Ended endWrite(RunId run);
  // A message box of the run: Silent when ended, else Write; the run stops
  // counting against the bound, and an end takes effect at once while the
  // box is up.
  Turn beginBox(RunId run);
  void endBox(RunId run);
  // The worker is done with the run; its contact is free. False (and
  // nothing changes) while its overdue report is being written: ask again
  // after that.
  bool finish(RunId run);

  // --- the watchdog ---
  // Turns runs whose deadline is at or before nowMs overdue, and lets runs
  // that have waited kReleaseWaitingMs leave the bound.
  Deadlines checkDeadlines(uint64_t nowMs);
  // The earliest deadline not yet seen (a limit, or the end of a run's
  // time in the bound), if any run has one.
  std::optional<uint64_t> nextDeadline() const;
  // The overdue report of a run: false when the run is writing, shows a
  // box, was ended or is no longer overdue. Ended with endWrite.
  bool beginOverdueReport(RunId run);

  // --- how late the queue is ---
  // Behind: the oldest queued request has waited longer than its
  // contact's interval (more runs are due than the pool can make).
  struct Lateness {
    uint64_t behindMs = 0;  // how long past its interval the oldest request waits
    size_t waiting = 0;     // requests in the queue
  };
  std::optional<Lateness> lateness(uint64_t nowMs) const;

  // --- what is there ---
  const Run* find(RunId run) const;
  // The contact's run in progress.
  std::optional<RunId> current(uint32_t contact) const;
  unsigned bound() const { return _bound; }
  unsigned ceiling() const { return _ceiling; }
  unsigned counting() const { return _counting; }
  unsigned inProgress() const { return _counting + _released; }
  size_t queued() const { return _order.size(); }
  unsigned workersWanted() const;

 private:
  // Queue order: interactive first, then by due time, then by arrival.
  using Key = std::tuple<int, uint64_t, uint64_t>;
  struct Contact {
    std::optional<RunId> current;
    std::optional<RunId> scheduled;
    std::optional<RunId> interactive;
    bool empty() const { return !current && !scheduled && !interactive; }
  };

  RunId queue(Request request, const Key& key, uint64_t nowMs);
  void dropQueued(std::optional<RunId>& slot);
  void end(Run& run, Ended& ended);
  void release(Run& run);
  // When a waiting run that still counts leaves the bound.
  std::optional<uint64_t> releaseAt(const Run& run) const;
  void freeContact(const Run& run);
  // Drops the contact's entry when it holds nothing.
  void prune(uint32_t contact);

  bool _open = false;
  unsigned _bound = 0;
  unsigned _ceiling = 0;
  uint64_t _releaseWaitingMs = kReleaseWaitingMs;
  unsigned _counting = 0;
  unsigned _released = 0;
  RunId _lastId = 0;
  uint64_t _arrivals = 0;
  std::map<RunId, Run> _runs;
  std::map<RunId, Key> _keys;  // of queued runs
  std::map<Key, RunId> _order;
  std::map<uint32_t, Contact> _contacts;
};

}  // namespace Vardok
