// The rules of a run's life, driven by tables of events with times in
// milliseconds: each row is one event and what it must answer.
#include <algorithm>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "checks/run_lifecycle.h"

using Vardok::RunLifecycle;

namespace {

enum class Op {
  Open,     // subject: the bound, or "bound:ceiling"
  Sched,    // a scheduled request; subject "contact", "contact:limitMs" or "contact:limitMs:intervalMs"
  Ask,      // an interactive request, the same subject
  Take,     // expect "LABEL=contact" or "-"
  Write,    // the run's own report; expect write | silent | wait
  Done,     // endWrite; expect the runs it ended
  Finish,   // expect "" or "wait" (its overdue report is under way)
  Wait,     // the run only waits for its work from now on
  Tick,     // checkDeadlines; expect "!LABEL" for an overdue report, "?SCONTACT" for a starved one
  Overdue,  // beginOverdueReport; expect yes | no
  Tell,     // beginStarvedReport; expect yes | no
  Shown,    // whether the run may still show its box; expect live | ended
  Forget,   // subject: contact; expect the runs it ended
  Disable,  // endScheduled
  Shut,     // expect the runs it ended
  State,    // expect the state's name, or gone
  Count,    // expect "counting released queued wanted"
  Next,     // nextDeadline; expect the time or "none"
  Late,     // lateness; expect "BEHIND_MS WAITING" or "none"
};

struct Row {
  uint64_t ms;
  Op op;
  std::string subject;
  std::string expect;
};

struct Scenario {
  const char* name;
  std::vector<Row> rows;
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

class Driver {
 public:
  Driver() {
    _rules.setChecking(true);
    _rules.open(2);
  }

  void play(const Row& row) {
    switch (row.op) {
      case Op::Open: {
        const size_t colon = row.subject.find(':');
        if (colon == std::string::npos)
          _rules.open(std::stoul(row.subject));
        else
          _rules.open(std::stoul(row.subject), std::stoul(row.subject.substr(colon + 1)));
        return;
      }
      case Op::Sched:
      case Op::Ask: expectEnded(_rules.push(request(row), row.ms), row.expect); return;
      case Op::Take: {
        const RunLifecycle::Run* run = _rules.take(row.ms);
        if (row.expect == "-") {
          EXPECT_EQ(run, nullptr);
          return;
        }
        ASSERT_NE(run, nullptr);
        const size_t equals = row.expect.find('=');
        EXPECT_EQ(std::to_string(run->request.contact), row.expect.substr(equals + 1));
        _labels[row.expect.substr(0, equals)] = run->id;
        return;
      }
      case Op::Write: EXPECT_EQ(turn(_rules.beginWrite(id(row))), row.expect); return;
      case Op::Done: expectEnded(_rules.endWrite(id(row)), row.expect); return;
      case Op::Finish: EXPECT_EQ(_rules.finish(id(row)) ? "" : "wait", row.expect); return;
      case Op::Wait: _rules.waiting(id(row), row.ms); return;
      case Op::Tick: {
        const RunLifecycle::Deadlines due = _rules.checkDeadlines(row.ms);
        std::string seen;
        for (RunLifecycle::RunId run : due.report) seen += " !" + label(run);
        // A starved request has no label yet: it gets "S" and its contact.
        for (RunLifecycle::RunId run : due.starved) {
          const std::string name = "S" + std::to_string(_rules.find(run)->request.contact);
          _labels[name] = run;
          seen += " ?" + name;
        }
        EXPECT_EQ(seen.empty() ? "" : seen.substr(1), row.expect);
        return;
      }
      case Op::Overdue: EXPECT_EQ(_rules.beginOverdueReport(id(row)) ? "yes" : "no", row.expect); return;
      case Op::Tell: EXPECT_EQ(_rules.beginStarvedReport(id(row)) ? "yes" : "no", row.expect); return;
      case Op::Shown: EXPECT_EQ(_rules.ended(id(row)) ? "ended" : "live", row.expect); return;
      case Op::Forget: expectEnded(_rules.forget(std::stoul(row.subject)), row.expect); return;
      case Op::Disable: expectEnded(_rules.endScheduled(std::stoul(row.subject)), row.expect); return;
      case Op::Shut: expectEnded(_rules.shutDown(), row.expect); return;
      case Op::State: EXPECT_EQ(state(id(row)), row.expect); return;
      case Op::Count: {
        std::ostringstream counts;
        counts << _rules.counting() << ' ' << (_rules.inProgress() - _rules.counting()) << ' ' << _rules.queued()
               << ' ' << _rules.workersWanted();
        EXPECT_EQ(counts.str(), row.expect);
        return;
      }
      case Op::Next: {
        const auto next = _rules.nextDeadline();
        EXPECT_EQ(next ? std::to_string(*next) : "none", row.expect);
        return;
      }
      case Op::Late: {
        const auto late = _rules.lateness(row.ms);
        EXPECT_EQ(late ? std::to_string(late->behindMs) + " " + std::to_string(late->waiting) : "none", row.expect);
        return;
      }
    }
  }

  // What holds after every event: the rules check themselves as they go.
  void checkInvariants() { EXPECT_EQ(_rules.brokenInvariant(), ""); }

 private:
  static RunLifecycle::Request request(const Row& row) {
    RunLifecycle::Request request;
    const size_t colon = row.subject.find(':');
    request.contact = std::stoul(row.subject.substr(0, colon));
    request.limitMs = colon == std::string::npos ? 60000 : std::stoull(row.subject.substr(colon + 1));
    const size_t second = colon == std::string::npos ? std::string::npos : row.subject.find(':', colon + 1);
    request.intervalMs = second == std::string::npos ? 60000 : std::stoull(row.subject.substr(second + 1));
    request.interactive = row.op == Op::Ask;
    return request;
  }
  RunLifecycle::RunId id(const Row& row) {
    const auto found = _labels.find(row.subject);
    EXPECT_NE(found, _labels.end()) << "no run labelled " << row.subject;
    return found == _labels.end() ? 0 : found->second;
  }
  std::string label(RunLifecycle::RunId run) const {
    for (const auto& entry : _labels)
      if (entry.second == run) return entry.first;
    return "?";
  }
  void expectEnded(const RunLifecycle::Ended& ended, const std::string& expected) {
    std::string seen;
    for (const auto& run : ended) seen += (seen.empty() ? "" : " ") + label(run.run);
    EXPECT_EQ(seen, expected);
  }
  static std::string turn(RunLifecycle::Turn turn) {
    switch (turn) {
      case RunLifecycle::Turn::Write: return "write";
      case RunLifecycle::Turn::Silent: return "silent";
      case RunLifecycle::Turn::Wait: return "wait";
    }
    return "?";
  }
  std::string state(RunLifecycle::RunId id) const {
    const RunLifecycle::Run* run = _rules.find(id);
    return run ? RunLifecycle::name(run->state) : "gone";
  }

  RunLifecycle _rules;
  std::map<std::string, RunLifecycle::RunId> _labels;
};

const std::vector<Scenario> kScenarios = {
    {"OneScheduledRunAtATime",
     {{0, Op::Sched, "1", ""},
      {0, Op::Sched, "1", ""},  // already queued: dropped
      {0, Op::Count, "", "0 0 1 2"},
      {5, Op::Take, "", "A=1"},
      {5, Op::State, "A", "running"},
      {6, Op::Sched, "1", ""},  // a run in progress re-arms when it ends
      {6, Op::Count, "", "1 0 0 2"},
      {9, Op::Write, "A", "write"},
      {9, Op::Done, "A", ""},
      {9, Op::Finish, "A", ""},
      {9, Op::State, "A", "gone"},
      {9, Op::Count, "", "0 0 0 2"},
      {10, Op::Sched, "1", ""},
      {10, Op::Take, "", "B=1"}}},
    {"InteractiveFirstThenDueOrderWithinTheBound",
     {{0, Op::Sched, "1", ""},
      {10, Op::Sched, "2", ""},
      {20, Op::Sched, "3", ""},
      {30, Op::Ask, "4", ""},
      {40, Op::Take, "", "A=4"},
      {40, Op::Take, "", "B=1"},
      {40, Op::Take, "", "-"},  // the bound
      {50, Op::Finish, "A", ""},
      {50, Op::Take, "", "C=2"}}},
    {"InteractiveReplacesTheQueuedOnesOfItsContact",
     {{0, Op::Sched, "1", ""},
      {1, Op::Ask, "1", ""},
      {1, Op::Count, "", "0 0 1 2"},
      {2, Op::Ask, "1", ""},
      {2, Op::Count, "", "0 0 1 2"},
      {3, Op::Take, "", "A=1"},
      {3, Op::Take, "", "-"}}},
    {"OverdueIsReportedOnceAndLeavesTheBound",
     {{0, Op::Sched, "1:1000", ""},
      {0, Op::Take, "", "A=1"},
      {0, Op::Next, "", "1000"},
      {999, Op::Tick, "", ""},
      {1000, Op::Tick, "", "!A"},
      {1000, Op::State, "A", "late"},
      {1000, Op::Count, "", "0 1 0 3"},
      {1000, Op::Next, "", "none"},
      {5000, Op::Tick, "", ""},
      {5000, Op::Overdue, "A", "yes"},
      {5000, Op::Write, "A", "wait"},  // its own result follows the overdue report
      {5001, Op::Done, "A", ""},
      {7000, Op::Write, "A", "write"},
      {7000, Op::Overdue, "A", "no"},
      {7000, Op::Done, "A", ""},
      {7000, Op::Finish, "A", ""},
      {7000, Op::Count, "", "0 0 0 2"}}},
    {"NoOverdueReportOnceTheRunsOwnReportBegan",
     {{0, Op::Sched, "1:1000", ""},
      {0, Op::Sched, "2:1000", ""},
      {0, Op::Take, "", "A=1"},
      {0, Op::Take, "", "B=2"},
      {900, Op::Write, "A", "write"},
      {1000, Op::Tick, "", "!B"},  // A writes its result: nothing is due
      {1000, Op::State, "A", "writing"},
      {1000, Op::Overdue, "A", "no"},
      {1001, Op::Done, "A", ""},
      {1001, Op::State, "A", "reported"},
      {1002, Op::Tick, "", ""},  // its worker has not finished: still nothing
      {1002, Op::Overdue, "A", "no"},
      {1003, Op::Write, "B", "write"},  // B's result came before its overdue report began
      {1003, Op::Overdue, "B", "no"},
      {1004, Op::Done, "B", ""},
      {1004, Op::State, "B", "reported"}}},
    {"AFailedRunReportsAtOnceAndItsBoxHoldsNothing",
     {{0, Op::Open, "1", ""},
      {0, Op::Ask, "1", ""},
      {0, Op::Sched, "2", ""},
      {0, Op::Take, "", "A=1"},
      {10, Op::Write, "A", "write"},  // no turn for a box before the report
      {10, Op::Done, "A", ""},
      {10, Op::Shown, "A", "live"},
      {10, Op::Finish, "A", ""},
      {10, Op::Take, "", "B=2"},  // the box waits for nobody
      {20, Op::Write, "B", "write"},
      {20, Op::Done, "B", ""},
      {21, Op::Forget, "2", "B"},
      {21, Op::Shown, "B", "ended"}}},
    {"AtTheLimitTheOverdueReportComesFirstThenTheWaitingRequestEndsTheRun",
     {{0, Op::Sched, "1:1000", ""},
      {0, Op::Take, "", "A=1"},
      {500, Op::Ask, "1:1000", ""},
      {600, Op::Take, "", "-"},
      {1000, Op::Tick, "", "!A"},
      {1000, Op::Take, "", "-"},  // the request waits for the overdue report
      {1001, Op::Overdue, "A", "yes"},
      {1002, Op::Done, "A", "A"},
      {1002, Op::State, "A", "ended"},
      {1002, Op::Take, "", "B=1"},
      {2002, Op::Tick, "", "!B"},  // the requested run hangs too: critical again
      {2003, Op::Overdue, "B", "yes"},
      {2003, Op::Ask, "1", ""},
      {2003, Op::Take, "", "-"},
      {2004, Op::Done, "B", "B"},
      {2004, Op::Take, "", "C=1"}}},
    {"RemovalWithTheRunArmedKeepsNoRequest",
     {{0, Op::Sched, "1", ""},
      {0, Op::Take, "", "A=1"},
      {10, Op::Forget, "1", "A"},
      {10, Op::Count, "", "1 0 0 2"},  // its worker still winds down
      {20, Op::Write, "A", "silent"},
      {20, Op::Finish, "A", ""},
      {20, Op::Count, "", "0 0 0 2"},
      {20, Op::Take, "", "-"}}},
    {"RemovalDuringTheReportEndsItAtOnceAndFreesTheContact",
     {{0, Op::Sched, "1", ""},
      {0, Op::Take, "", "A=1"},
      {10, Op::Write, "A", "write"},
      {11, Op::Forget, "1", "A"},  // silenced: nothing more reaches the row
      {11, Op::State, "A", "ended"},
      {12, Op::Sched, "1", ""},  // the new item's first firing (a new command)
      {12, Op::Take, "", "B=1"},
      {13, Op::Done, "A", ""},
      {13, Op::Finish, "A", ""},
      {14, Op::Write, "B", "write"}}},
    {"ARunEndedJustBeforeItsReportIsSilent",
     {{0, Op::Sched, "1", ""},
      {0, Op::Take, "", "A=1"},
      {10, Op::Forget, "1", "A"},
      {10, Op::Write, "A", "silent"},
      {10, Op::Finish, "A", ""}}},
    {"ARequestOnAnOverdueRunEndsItAndStartsAtOnce",
     {{0, Op::Sched, "1:1000", ""},
      {0, Op::Take, "", "A=1"},
      {1000, Op::Tick, "", "!A"},
      {1000, Op::Overdue, "A", "yes"},
      {1001, Op::Done, "A", ""},
      {1200, Op::Ask, "1", "A"},
      {1200, Op::Take, "", "B=1"},
      {1300, Op::Ask, "1", ""},  // B is within its limit: this one waits
      {1300, Op::Take, "", "-"}}},
    {"FirstRequestWithinTheLimitSecondAfterTheDeadline",
     {{0, Op::Sched, "1:1000", ""},
      {0, Op::Take, "", "A=1"},
      {500, Op::Ask, "1", ""},
      {600, Op::Take, "", "-"},
      {1000, Op::Tick, "", "!A"},
      {1000, Op::Overdue, "A", "yes"},
      {1100, Op::Ask, "1", ""},  // replaces the first; A ends after its report
      {1100, Op::Count, "", "0 1 1 3"},
      {1100, Op::Take, "", "-"},
      {1101, Op::Done, "A", "A"},
      {1101, Op::Take, "", "B=1"}}},
    {"APersonsRequestRunsAtTheCeiling",
     {{0, Op::Open, "1:2", ""},
      {0, Op::Sched, "1", ""},
      {0, Op::Sched, "2", ""},
      {0, Op::Sched, "3", ""},
      {0, Op::Take, "", "A=1"},
      {0, Op::Wait, "A", ""},
      {1000, Op::Tick, "", ""},
      {1000, Op::Take, "", "B=2"},
      {1000, Op::Wait, "B", ""},
      {2000, Op::Tick, "", ""},
      {2000, Op::Take, "", "-"},
      {2500, Op::Ask, "4", ""},
      {2500, Op::Count, "", "0 2 2 3"},  // a worker for the person
      {2500, Op::Take, "", "D=4"},
      {2500, Op::Take, "", "-"},  // the scheduled one still waits
      {3000, Op::Finish, "D", ""},
      {60000, Op::Tick, "", "!A ?S3"},  // waited its limit: told, once
      {60001, Op::Tell, "S3", "yes"},
      {60001, Op::Tell, "S3", "no"},
      {60002, Op::Done, "S3", ""},
      {60002, Op::State, "S3", "told"},
      {60003, Op::Tick, "", ""},
      {60004, Op::Finish, "A", ""},
      {60004, Op::Finish, "B", ""},
      {60004, Op::Take, "", "C=3"}}},
    {"NothingOfAContactIsTakenWhileItIsToldItCannotStart",
     {{0, Op::Open, "1:1", ""},
      {0, Op::Sched, "1:1000", ""},
      {0, Op::Sched, "2:1000", ""},
      {0, Op::Take, "", "A=1"},
      {1000, Op::Tick, "", "!A ?S2"},
      {1000, Op::Take, "", "-"},  // A still holds the only place
      {1001, Op::Tell, "S2", "yes"},
      {1001, Op::Finish, "A", ""},
      {1001, Op::Take, "", "-"},  // contact 2 is being told
      {1002, Op::Done, "S2", ""},
      {1002, Op::Take, "", "B=2"}}},
    {"ARequestRemovedWhileItIsToldGoesAsTheReportEnds",
     {{0, Op::Open, "1:1", ""},
      {0, Op::Sched, "1:1000", ""},
      {0, Op::Sched, "2:1000", ""},
      {0, Op::Take, "", "A=1"},
      {1000, Op::Tick, "", "!A ?S2"},
      {1001, Op::Tell, "S2", "yes"},
      {1002, Op::Forget, "2", "S2"},  // silenced
      {1002, Op::State, "S2", "telling dropped"},
      {1002, Op::Count, "", "0 1 0 1"},
      {1003, Op::Sched, "2:1000", ""},
      {1003, Op::Finish, "A", ""},
      {1003, Op::Take, "", "-"},  // the old report is still being written
      {1004, Op::Done, "S2", ""},
      {1004, Op::State, "S2", "gone"},
      {1004, Op::Take, "", "C=2"}}},
    {"StaleResultAfterANewerRunIsSilent",
     {{0, Op::Sched, "1:1000", ""},
      {0, Op::Take, "", "A=1"},
      {1000, Op::Tick, "", "!A"},
      {1000, Op::Overdue, "A", "yes"},
      {1001, Op::Done, "A", ""},
      {1500, Op::Ask, "1", "A"},
      {1500, Op::Take, "", "B=1"},
      {1600, Op::Write, "B", "write"},
      {1600, Op::Done, "B", ""},
      {1600, Op::Finish, "B", ""},
      {9000, Op::Write, "A", "silent"},
      {9000, Op::Finish, "A", ""},
      {9000, Op::Count, "", "0 0 0 2"}}},
    {"AnEndDuringTheOverdueReportWaitsForIt",
     {{0, Op::Sched, "1:1000", ""},
      {0, Op::Take, "", "A=1"},
      {1000, Op::Tick, "", "!A"},
      {1000, Op::Overdue, "A", "yes"},
      {1001, Op::Disable, "1", ""},
      {1001, Op::State, "A", "ending"},
      {1002, Op::Finish, "A", "wait"},
      {1002, Op::Write, "A", "wait"},
      {1002, Op::Done, "A", "A"},
      {1003, Op::Write, "A", "silent"},
      {1003, Op::Finish, "A", ""}}},
    {"ARemovalDuringTheOverdueReportEndsItAtOnce",
     {{0, Op::Sched, "1:1000", ""},
      {0, Op::Take, "", "A=1"},
      {1000, Op::Tick, "", "!A"},
      {1000, Op::Overdue, "A", "yes"},
      {1001, Op::Forget, "1", "A"},
      {1001, Op::State, "A", "ended"},
      {1002, Op::Done, "A", ""},
      {1003, Op::Write, "A", "silent"},
      {1003, Op::Finish, "A", ""}}},
    {"DisablingEndsScheduledRunsOnly",
     {{0, Op::Sched, "1", ""},
      {0, Op::Ask, "2", ""},
      {0, Op::Take, "", "B=2"},
      {0, Op::Take, "", "A=1"},
      {1, Op::Disable, "1", "A"},
      {1, Op::Disable, "2", ""},
      {1, Op::State, "B", "running"},
      {2, Op::Sched, "3", ""},
      {2, Op::Disable, "3", ""},
      {2, Op::Count, "", "2 0 0 2"}}},
    {"AnEndedRunPastItsLimitLeavesTheBound",
     {{0, Op::Sched, "1:1000", ""},
      {0, Op::Take, "", "A=1"},
      {10, Op::Forget, "1", "A"},
      {1000, Op::Tick, "", ""},
      {1000, Op::Count, "", "0 1 0 3"},
      {1001, Op::Finish, "A", ""},
      {1001, Op::Count, "", "0 0 0 2"}}},
    {"TheQueueIsBehindWhenItsOldestRequestWaitedPastItsInterval",
     {{0, Op::Open, "1", ""},
      {0, Op::Sched, "1:60000:1000", ""},
      {0, Op::Take, "", "A=1"},
      {100, Op::Sched, "2:60000:1000", ""},
      {200, Op::Sched, "3:60000:5000", ""},
      {300, Op::Ask, "4", ""},  // interactive requests are not late
      {1100, Op::Late, "", "none"},
      {1101, Op::Late, "", "1 3"},
      {4000, Op::Late, "", "2900 3"},
      {4000, Op::Finish, "A", ""},
      {4000, Op::Take, "", "B=4"},
      {4000, Op::Finish, "B", ""},
      {4000, Op::Take, "", "C=2"},
      {4000, Op::Late, "", "none"},  // contact 3 waits within its 5 s
      {5300, Op::Late, "", "100 1"}}},
    {"ARunWaitingForItsWorkLeavesTheBoundAfterASecond",
     {{0, Op::Open, "1", ""},
      {0, Op::Sched, "1", ""},
      {0, Op::Sched, "2", ""},
      {0, Op::Take, "", "A=1"},
      {40, Op::Wait, "A", ""},  // its child runs
      {40, Op::Next, "", "1040"},
      {500, Op::Take, "", "-"},
      {1039, Op::Tick, "", ""},
      {1039, Op::Count, "", "1 0 1 1"},
      {1040, Op::Tick, "", ""},
      {1040, Op::Count, "", "0 1 1 2"},  // a worker more for the due run
      {1040, Op::Next, "", "60000"},     // only A's limit is left
      {1040, Op::Take, "", "B=2"},
      {1040, Op::Wait, "B", ""},
      {1500, Op::Wait, "B", ""},  // told twice: the first time counts
      {2040, Op::Tick, "", ""},
      {2040, Op::Count, "", "0 2 0 3"},
      {60000, Op::Tick, "", "!A"},  // the overdue rule is unchanged
      {60000, Op::Count, "", "0 2 0 3"},
      {60001, Op::Finish, "A", ""},
      {60001, Op::Finish, "B", ""},
      {60001, Op::Count, "", "0 0 0 1"}}},
    {"ARunStillStartingKeepsItsPlace",
     {{0, Op::Open, "1", ""},
      {0, Op::Sched, "1", ""},
      {0, Op::Sched, "2", ""},
      {0, Op::Take, "", "A=1"},
      {5000, Op::Tick, "", ""},
      {5000, Op::Count, "", "1 0 1 1"},
      {5000, Op::Take, "", "-"},
      {5001, Op::Finish, "A", ""},
      {5001, Op::Take, "", "B=2"},
      {5002, Op::Wait, "B", ""},
      {5500, Op::Finish, "B", ""},  // a quick run: it never left the bound
      {5500, Op::Count, "", "0 0 0 1"},
      {6502, Op::Next, "", "none"}}},
    {"TheCeilingHoldsEveryRunInProgress",
     {{0, Op::Open, "1:2", ""},
      {0, Op::Sched, "1", ""},
      {0, Op::Sched, "2", ""},
      {0, Op::Sched, "3", ""},
      {0, Op::Take, "", "A=1"},
      {0, Op::Wait, "A", ""},
      {1000, Op::Tick, "", ""},
      {1000, Op::Take, "", "B=2"},
      {1000, Op::Wait, "B", ""},
      {2000, Op::Tick, "", ""},
      {2000, Op::Count, "", "0 2 1 2"},  // no idle worker at the ceiling
      {2000, Op::Take, "", "-"},
      {3000, Op::Finish, "A", ""},
      {3000, Op::Take, "", "C=3"},
      {3000, Op::Count, "", "1 1 0 2"}}},
    {"AnEndedRunThatWaitsStillHoldsItsPlaceUntilItsWorkerIsDone",
     {{0, Op::Open, "1:2", ""},
      {0, Op::Sched, "1", ""},
      {0, Op::Sched, "2", ""},
      {0, Op::Take, "", "A=1"},
      {0, Op::Wait, "A", ""},
      {10, Op::Forget, "1", "A"},
      {10, Op::Write, "A", "silent"},
      {1000, Op::Tick, "", ""},
      {1000, Op::Take, "", "B=2"},
      {1000, Op::Wait, "B", ""},
      {2000, Op::Tick, "", ""},
      {2000, Op::Sched, "3", ""},
      {2000, Op::Take, "", "-"},
      {2001, Op::Finish, "A", ""},
      {2001, Op::Take, "", "C=3"}}},
    {"ShutDownEndsEverythingAndDropsLaterRequests",
     {{0, Op::Sched, "1", ""},
      {0, Op::Sched, "2", ""},
      {0, Op::Take, "", "A=1"},
      {1, Op::Shut, "", "A"},
      {1, Op::Write, "A", "silent"},
      {1, Op::Finish, "A", ""},
      {2, Op::Sched, "1", ""},
      {2, Op::Count, "", "0 0 0 2"},
      {2, Op::Take, "", "-"}}},
};

class RunRules : public ::testing::TestWithParam<Scenario> {};

TEST_P(RunRules, FollowTheTable) {
  Driver driver;
  const std::vector<Row>& rows = GetParam().rows;
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i) + " at " + std::to_string(rows[i].ms) + " ms");
    driver.play(rows[i]);
    driver.checkInvariants();
  }
}

INSTANTIATE_TEST_SUITE_P(Tables, RunRules, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

}  // namespace

// --- the rules under random events ---
//
// Simulated workers take, wait, write and finish; a simulated watchdog
// checks the deadlines whenever time moves and begins the reports that
// are due, sometimes an event later; the main thread asks, removes and
// disables. After every event: the invariants hold, nothing is written
// for a run after its end, no overdue report follows a run's own result,
// and nothing is silent past its limit and a second.

namespace {

class RandomDriver {
 public:
  explicit RandomDriver(unsigned seed) : _random(seed) {
    _rules.setChecking(true);
    _rules.open(2, 4, 500);
  }

  void step() {
    _now += pick(0, 400);
    watchdog();
    checkSilence();
    switch (pick(0, 11)) {
      case 0:
      case 1: push(false); break;
      case 2: push(true); break;
      case 3:
      case 4: take(); break;
      case 5: worker(); break;
      case 6: worker(); break;
      case 7: endReport(); break;
      case 8:
        if (pick(0, 3) == 0) ended(_rules.forget(contact()), true);
        break;
      case 9:
        if (pick(0, 3) == 0) ended(_rules.endScheduled(contact()), false);
        break;
      case 10:
        if (pick(0, 60) == 0) {
          ended(_rules.shutDown(), false);
          _runs.clear();
          _reports.clear();
          _rules.open(2, 4, 500);
        }
        break;
      default: finishReported(); break;
    }
  }

 private:
  struct Sim {
    bool taken = false;
    bool waited = false;
    bool wrote = false;        // its own report began
    bool writeOver = false;    // and ended
    bool overdueTold = false;  // its overdue report began
    bool ended = false;
  };

  unsigned pick(unsigned low, unsigned high) { return std::uniform_int_distribution<unsigned>(low, high)(_random); }
  uint32_t contact() { return pick(1, 5); }

  void push(bool interactive) {
    RunLifecycle::Request request;
    request.contact = contact();
    request.interactive = interactive;
    request.limitMs = 1000 + 500 * pick(0, 4);
    request.intervalMs = 500;
    ++_pushes;
    ended(_rules.push(std::move(request), _now), false);
  }

  void take() {
    if (const RunLifecycle::Run* run = _rules.take(_now)) _runs[run->id].taken = true;
  }

  // A worker moves one of the runs on by a step.
  void worker() {
    if (_runs.empty()) return;
    auto it = _runs.begin();
    std::advance(it, pick(0, static_cast<unsigned>(_runs.size() - 1)));
    const RunLifecycle::RunId id = it->first;
    Sim& sim = it->second;
    if (!sim.taken) return;
    if (!sim.waited) {
      _rules.waiting(id, _now);
      sim.waited = true;
      return;
    }
    if (!sim.wrote) {
      const RunLifecycle::Turn turn = _rules.beginWrite(id);
      if (turn == RunLifecycle::Turn::Write) {
        EXPECT_FALSE(isEnded(id)) << "a write after the end of run " << id;
        sim.wrote = true;
      } else if (turn == RunLifecycle::Turn::Silent) {
        sim.wrote = sim.writeOver = true;
      }
      return;
    }
    if (!sim.writeOver) {
      ended(_rules.endWrite(id), false);
      sim.writeOver = true;
      return;
    }
    if (_rules.finish(id)) _runs.erase(it);
  }

  void finishReported() {
    for (auto it = _runs.begin(); it != _runs.end(); ++it)
      if (it->second.taken && it->second.writeOver && _rules.finish(it->first)) {
        _runs.erase(it);
        return;
      }
  }

  void watchdog() {
    const RunLifecycle::Deadlines due = _rules.checkDeadlines(_now);
    for (RunLifecycle::RunId run : due.report) _due.push_back({run, _now, false});
    for (RunLifecycle::RunId run : due.starved) _due.push_back({run, _now, true});
    // The watchdog begins what is due at once or an event later.
    for (auto it = _due.begin(); it != _due.end();) {
      if (_now - it->at < 500 && pick(0, 1) == 0) {
        ++it;
        continue;
      }
      if (it->starved) {
        if (_rules.beginStarvedReport(it->run)) _reports.push_back(it->run);
      } else if (_rules.beginOverdueReport(it->run)) {
        auto sim = _runs.find(it->run);
        EXPECT_FALSE(isEnded(it->run)) << "an overdue report after the end of run " << it->run;
        if (sim != _runs.end()) {
          EXPECT_FALSE(sim->second.wrote) << "an overdue report after the result of run " << it->run;
          sim->second.overdueTold = true;
        }
        _reports.push_back(it->run);
      }
      it = _due.erase(it);
    }
  }

  void endReport() {
    if (_reports.empty()) return;
    const size_t at = pick(0, static_cast<unsigned>(_reports.size() - 1));
    const RunLifecycle::RunId run = _reports[at];
    _reports.erase(_reports.begin() + static_cast<long>(at));
    ended(_rules.endWrite(run), false);
  }

  void ended(const RunLifecycle::Ended& runs, bool) {
    for (const auto& run : runs) {
      auto sim = _runs.find(run.run);
      if (sim != _runs.end()) sim->second.ended = true;
    }
  }

  bool isEnded(RunLifecycle::RunId id) const {
    const auto sim = _runs.find(id);
    return (sim != _runs.end() && sim->second.ended) || _rules.ended(id);
  }

  void checkSilence() {
    for (const auto& entry : _runs) {
      const RunLifecycle::Run* run = _rules.find(entry.first);
      const Sim& sim = entry.second;
      if (!run || !sim.taken || sim.ended || sim.wrote || sim.overdueTold) continue;
      if (run->state == RunLifecycle::State::Ended || run->state == RunLifecycle::State::Ending) continue;
      EXPECT_LE(_now, run->startedMs + run->request.limitMs + 1000)
          << "run " << entry.first << " silent past its limit (" << RunLifecycle::name(run->state) << ")";
    }
    // Requests wait silently at most their limit and a second, counted from
    // when their contact was last free of a run.
    while (_low <= _pushes && !_rules.find(_low)) ++_low;
    for (RunLifecycle::RunId id = _low; id <= _pushes; ++id) {
      const RunLifecycle::Run* run = _rules.find(id);
      if (!run || run->state != RunLifecycle::State::Queued || _rules.current(run->request.contact)) continue;
      const uint64_t since = std::max(run->queuedMs, _busyUntil[run->request.contact]);
      EXPECT_LE(_now, since + run->request.limitMs + 1000) << "request " << id << " waits silently";
    }
    for (uint32_t contact = 1; contact <= 5; ++contact)
      if (_rules.current(contact)) _busyUntil[contact] = _now;
  }

  struct Due {
    RunLifecycle::RunId run;
    uint64_t at;
    bool starved;
  };

  std::mt19937 _random;
  RunLifecycle _rules;
  uint64_t _now = 0;
  std::map<RunLifecycle::RunId, Sim> _runs;
  std::vector<Due> _due;
  std::vector<RunLifecycle::RunId> _reports;
  std::map<uint32_t, uint64_t> _busyUntil;
  RunLifecycle::RunId _pushes = 0;  // run ids never pass it
  RunLifecycle::RunId _low = 1;
};

}  // namespace

TEST(RunRules, HoldUnderRandomEvents) {
  for (unsigned seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    RandomDriver driver(seed);
    for (int event = 0; event < 400; ++event) {
      try {
        driver.step();
      } catch (const std::exception& broken) {
        FAIL() << "event " << event << ": " << broken.what();
      }
      if (::testing::Test::HasFailure()) return;
    }
  }
}
