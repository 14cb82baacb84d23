// RunLifecycle: the rules of the runs of every check, as plain code with
// time as an input.
//
// Each request is one record here from the moment it is asked for until
// it is dropped or its worker is done with it, in one of these states:
//
//   state            what it is                       leaves for
//   ---------------  -------------------------------  ------------------------------
//   Queued           asked for, waiting for a worker  Running (take),
//                                                     Starved (its limit passed)
//   Starved          waited its limit without a       TellingStarved, Running
//                    worker: to be reported critical
//   TellingStarved   that report is being written     Told, TellingDropped
//   TellingDropped   dropped while it was told: goes  (gone, as the report ends)
//                    as the report ends
//   Told             still queued, reported once      Running
//   Running          taken, within its limit          Writing, Late, Ended
//   Late             past its limit: its overdue      WritingOverdue, Writing, Ended
//                    report is due
//   WritingOverdue   the overdue report is written    Overdue, Ended (a person
//                                                     waits), Ending, Ended (removed)
//   Overdue          reported overdue, still running  Writing, Ended
//   Writing          its own report is written        Reported, Ending, Ended (removed)
//   Reported         its report is whole              (gone, as its worker finishes)
//   Ending           ended while writing: the report  Ended, as the report ends
//                    finishes first
//   Ended            ended from outside: writes       (gone, as its worker finishes)
//                    nothing more
//
// Ends: the contact was removed or recreated (forget), disabled
// (endScheduled: scheduled runs only), a person asked for a run of a
// contact whose run is overdue (push), or the plug-in was detached
// (shutDown). An end lets a report under way finish (Ending), except a
// removal: the contact's row is going, so the run is ended at once and its
// host calls are silenced (the caller waits for the one in flight; see
// RunControl::silence), and the contact is free for its next item at once.
//
// What is written, and when: a run's own report once (Writing), an overdue
// report once and only before its own report began (Late), a report that a
// request cannot start once (Starved), and never anything after an end. At
// its limit a run's overdue report comes first, even when a person's
// request waits; that request then ends the run and starts.
//
// One run per contact: a contact has at most one run in progress (its
// current run), one scheduled request and one interactive request waiting
// (the latest), and nothing of it is taken while a report that it cannot
// start is being written.
//
// The pool: at most bound() runs count at once; the bound is there for
// what is dear to the platform, starting processes. A run stops counting
// when it has only been waiting (for its child process or its server) for
// the release time, or when it passes its limit, and workersWanted() grows
// by one for each such run, so slow or hung checks cannot stop the others.
// Each run in progress holds a worker thread and its processes, so their
// number has a ceiling of its own (kLiveRunCeiling); at the ceiling only a
// person's requests are taken. Message boxes hold no run: they are shown
// after the report, outside these rules.
//
// Not thread-safe: the run queue (run_queue.h) calls it under its lock. No
// threads, timers or host calls here; tests drive it with tables of events
// and times in milliseconds, and setChecking(true) makes every rule check
// brokenInvariant() as it ends.
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

  enum class State {
    Queued,
    Starved,
    TellingStarved,
    TellingDropped,
    Told,
    Running,
    Late,
    WritingOverdue,
    Overdue,
    Writing,
    Reported,
    Ending,
    Ended,
  };
  static const char* name(State state);

  // The answer to a worker that wants to write its report.
  enum class Turn {
    Write,   // go on; end the writing with endWrite
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
    uint64_t queuedMs = 0;   // when it was asked for
    uint64_t startedMs = 0;  // when a worker took it
    bool counting = false;   // holds a place in the bound
    std::optional<uint64_t> waitingSinceMs;  // only waiting for its work since then
  };
  // Runs that have just been ended: the caller stops their processes or
  // requests outside its lock; silence: their host calls are silenced too
  // (the contact is being removed), and the caller waits for the one in
  // flight.
  struct EndedRun {
    RunId run;
    std::shared_ptr<RunControl> control;
    bool silence = false;
  };
  using Ended = std::vector<EndedRun>;
  struct Deadlines {
    std::vector<RunId> report;   // runs now Late: their overdue reports
    std::vector<RunId> starved;  // requests now Starved: their reports
    unsigned released = 0;       // runs that left their place in the bound
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
  // The contact is gone: its run is ended at once (silenced) and its
  // requests dropped; the contact is free at once.
  Ended forget(uint32_t contact);
  // The contact was disabled: its scheduled run is ended and its queued
  // scheduled request dropped; interactive ones go on.
  Ended endScheduled(uint32_t contact);

  // --- workers ---
  // Takes the first queued request, interactive ones first and then by due
  // time, whose contact is free: a scheduled one while fewer than bound()
  // runs count and fewer than ceiling() are in progress, an interactive
  // one while fewer than bound() count. Answers the run, now Running, or
  // null.
  const Run* take(uint64_t nowMs);
  // The run has started its work and only waits for it now: its child
  // process runs, or its request is with the server. The release time
  // later it stops counting, at a deadline of checkDeadlines.
  void waiting(RunId run, uint64_t nowMs);
  // The run's own report: Write, Silent or Wait.
  Turn beginWrite(RunId run);
  // A report of the run (its own, overdue or starved) is over; an end that
  // came meanwhile takes effect.
  Ended endWrite(RunId run);
  // The worker is done with the run; its contact is free. False (and
  // nothing changes) while its overdue report is being written: ask again
  // after that.
  bool finish(RunId run);
  // Whether the run was ended (or is gone): it shows nothing more.
  bool ended(RunId run) const;

  // --- the watchdog (or the main thread, when no watchdog can start) ---
  // Turns runs whose limit is at or before nowMs Late, queued requests
  // waiting past their limit Starved, and lets runs that have waited the
  // release time leave the bound.
  Deadlines checkDeadlines(uint64_t nowMs);
  // The earliest deadline not yet seen, if any.
  std::optional<uint64_t> nextDeadline() const;
  // The overdue report of a Late run: false otherwise. Ended with endWrite.
  bool beginOverdueReport(RunId run);
  // The report of a Starved request: false otherwise. Ended with endWrite.
  bool beginStarvedReport(RunId run);

  // --- how late the queue is ---
  // Behind: the oldest queued scheduled request has waited longer than its
  // contact's interval (more runs are due than the pool can make).
  struct Lateness {
    uint64_t behindMs = 0;  // how long past its interval the oldest request waits
    size_t waiting = 0;     // requests in the queue
    uint64_t sinceMs = 0;   // when it began to be behind
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
  // Worker threads wanted: one per run in progress, and one per free place
  // in the bound (within the ceiling, unless a person's request waits).
  unsigned workersWanted() const;

  // --- checking ---
  // The first rule that does not hold, or empty: the bound, the ceiling,
  // one run per contact, the counters against the runs, the queue against
  // the contacts.
  std::string brokenInvariant() const;
  // Every rule checks the invariants as it ends (a failed assertion).
  void setChecking(bool on) { _checking = on; }

 private:
  // Queue order: interactive first, then by due time, then by arrival.
  using Key = std::tuple<int, uint64_t, uint64_t>;
  struct Contact {
    std::optional<RunId> current;
    std::optional<RunId> scheduled;
    std::optional<RunId> interactive;
    unsigned telling = 0;  // reports that a request cannot start, under way
    bool empty() const { return !current && !scheduled && !interactive && telling == 0; }
  };

  static bool isQueued(State state);
  static bool inProgress(State state);
  static bool isWriting(State state);

  RunId queue(Request request, const Key& key, uint64_t nowMs);
  // Drops a queued request; one whose report is being written stays until
  // that report ends.
  void dropQueued(std::optional<RunId>& slot, Ended* silenced);
  void end(Run& run, Ended& ended, bool silence);
  void release(Run& run);
  // When a waiting run that still counts leaves the bound.
  std::optional<uint64_t> releaseAt(const Run& run) const;
  void freeContact(const Run& run);
  // Drops the contact's entry when it holds nothing.
  void prune(uint32_t contact);
  void erase(RunId run);
  void check() const;

  bool _open = false;
  bool _checking = false;
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
