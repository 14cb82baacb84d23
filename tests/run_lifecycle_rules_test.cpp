// The rules of a run's life, driven by tables of events with times in
// milliseconds: each row is one event and what it must answer.
#include <map>
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
  Box,      // expect write | silent | wait
  Unbox,
  Finish,
  Wait,     // the run only waits for its work from now on
  Tick,     // checkDeadlines; expect "!LABEL" for a report, "xLABEL" for an end
  Overdue,  // beginOverdueReport; expect yes | no
  Forget,   // subject: contact; expect the runs it ended
  Disable,  // endScheduled
  Shut,     // expect the runs it ended
  State,    // expect queued | running | overdue | ended | gone
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
  Driver() { _rules.open(2); }

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
      case Op::Box: EXPECT_EQ(turn(_rules.beginBox(id(row))), row.expect); return;
      case Op::Unbox: _rules.endBox(id(row)); return;
      case Op::Finish: _rules.finish(id(row)); return;
      case Op::Wait: _rules.waiting(id(row), row.ms); return;
      case Op::Tick: {
        const RunLifecycle::Deadlines due = _rules.checkDeadlines(row.ms);
        std::string seen;
        for (RunLifecycle::RunId run : due.report) seen += " !" + label(run);
        for (const auto& ended : due.ended) seen += " x" + label(ended.run);
        EXPECT_EQ(seen.empty() ? "" : seen.substr(1), row.expect);
        return;
      }
      case Op::Overdue: EXPECT_EQ(_rules.beginOverdueReport(id(row)) ? "yes" : "no", row.expect); return;
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

  // What holds after every event.
  void checkInvariants() {
    EXPECT_LE(_rules.counting(), _rules.bound());
    EXPECT_LE(_rules.inProgress(), _rules.ceiling());
    EXPECT_LE(_rules.workersWanted(), _rules.ceiling());
    std::map<uint32_t, int> inProgress;
    for (const auto& label : _labels) {
      const RunLifecycle::Run* run = _rules.find(label.second);
      if (run && (run->state == RunLifecycle::State::Running || run->state == RunLifecycle::State::Overdue)) {
        EXPECT_LE(++inProgress[run->request.contact], 1) << "two runs of contact " << run->request.contact;
      }
    }
  }

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
    if (!run) return "gone";
    switch (run->state) {
      case RunLifecycle::State::Queued: return "queued";
      case RunLifecycle::State::Running: return "running";
      case RunLifecycle::State::Overdue: return "overdue";
      case RunLifecycle::State::Ended: return "ended";
    }
    return "?";
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
      {1000, Op::State, "A", "overdue"},
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
    {"NoOverdueReportWhileTheRunWritesOrShowsABox",
     {{0, Op::Sched, "1:1000", ""},
      {0, Op::Sched, "2:1000", ""},
      {0, Op::Take, "", "A=1"},
      {0, Op::Take, "", "B=2"},
      {900, Op::Write, "A", "write"},
      {900, Op::Box, "B", "write"},
      {1000, Op::Tick, "", ""},
      {1000, Op::State, "A", "overdue"},
      {1000, Op::Overdue, "A", "no"},
      {1000, Op::Overdue, "B", "no"}}},
    {"BoxThenRemovalWritesNothingMore",
     {{0, Op::Ask, "1", ""},
      {0, Op::Take, "", "A=1"},
      {100, Op::Box, "A", "write"},
      {200, Op::Forget, "1", "A"},  // an end takes effect at once while the box is up
      {200, Op::State, "A", "ended"},
      {9000, Op::Unbox, "A", ""},
      {9000, Op::Write, "A", "silent"},
      {9000, Op::Finish, "A", ""},
      {9000, Op::Count, "", "0 0 0 2"}}},
    {"BoxThenOverdueThenRunNowLeavesNoStaleReport",
     {{0, Op::Ask, "1", ""},
      {0, Op::Take, "", "A=1"},
      {10, Op::Box, "A", "write"},
      {60000, Op::Tick, "", ""},  // overdue, but a box is no hung command
      {60000, Op::State, "A", "overdue"},
      {61000, Op::Ask, "1", "A"},
      {61000, Op::Take, "", "B=1"},
      {61100, Op::Write, "B", "write"},
      {61100, Op::Done, "B", ""},
      {61100, Op::Finish, "B", ""},
      {70000, Op::Unbox, "A", ""},
      {70000, Op::Write, "A", "silent"},
      {70000, Op::Finish, "A", ""}}},
    {"RemovalWithTheRunArmedKeepsNoRequest",
     {{0, Op::Sched, "1", ""},
      {0, Op::Take, "", "A=1"},
      {10, Op::Forget, "1", "A"},
      {10, Op::Count, "", "1 0 0 2"},  // its worker still winds down
      {20, Op::Write, "A", "silent"},
      {20, Op::Finish, "A", ""},
      {20, Op::Count, "", "0 0 0 2"},
      {20, Op::Take, "", "-"}}},
    {"RemovalDuringTheReportTakesEffectAfterIt",
     {{0, Op::Sched, "1", ""},
      {0, Op::Take, "", "A=1"},
      {10, Op::Write, "A", "write"},
      {11, Op::Forget, "1", ""},
      {11, Op::State, "A", "running"},
      {12, Op::Ask, "1", ""},
      {12, Op::Take, "", "-"},  // the contact is busy until the report is whole
      {13, Op::Done, "A", "A"},
      {13, Op::Take, "", "B=1"}}},
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
      {1200, Op::Ask, "1", "A"},
      {1200, Op::Take, "", "B=1"},
      {1300, Op::Ask, "1", ""},  // B is within its limit: this one waits
      {1300, Op::Take, "", "-"}}},
    {"FirstRequestWithinTheLimitSecondAfterTheDeadline",
     {{0, Op::Sched, "1:1000", ""},
      {0, Op::Take, "", "A=1"},
      {500, Op::Ask, "1", ""},
      {600, Op::Take, "", "-"},
      {1000, Op::Tick, "", "xA"},  // the waiting request ends the run at its deadline
      {1100, Op::Ask, "1", ""},    // and the second one replaces it
      {1100, Op::Count, "", "0 1 1 3"},
      {1100, Op::Take, "", "B=1"}}},
    {"ARequestWaitingAtTheDeadlineEndsTheRun",
     {{0, Op::Sched, "1:1000", ""},
      {0, Op::Take, "", "A=1"},
      {500, Op::Ask, "1:1000", ""},
      {1000, Op::Tick, "", "xA"},
      {1000, Op::Take, "", "B=1"},
      {2000, Op::Tick, "", "!B"},
      {2001, Op::Overdue, "B", "yes"},
      {2001, Op::Ask, "1", ""},  // ends it after its overdue report
      {2001, Op::Take, "", "-"},
      {2002, Op::Done, "B", "B"},
      {2002, Op::Take, "", "C=1"}}},
    {"StaleResultAfterANewerRunIsSilent",
     {{0, Op::Sched, "1:1000", ""},
      {0, Op::Take, "", "A=1"},
      {1000, Op::Tick, "", "!A"},
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
      {1001, Op::Forget, "1", ""},
      {1002, Op::Done, "A", "A"},
      {1003, Op::Write, "A", "silent"}}},
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
    {"ABoxLeavesTheBound",
     {{0, Op::Open, "1", ""},
      {0, Op::Sched, "1", ""},
      {1, Op::Sched, "2", ""},
      {2, Op::Take, "", "A=1"},
      {2, Op::Take, "", "-"},
      {3, Op::Box, "A", "write"},
      {3, Op::Count, "", "0 1 1 2"},
      {3, Op::Take, "", "B=2"}}},
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
      {2500, Op::Box, "B", "write"},  // boxes leave nothing more to take either
      {2500, Op::Take, "", "-"},
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
