// A check never goes silent and never lies: a new command during a report
// keeps the check going, a removal ends a report under way before the host
// is answered, a hung check is reported before a waiting request ends it,
// a check that cannot start is reported with the reason, and a failure is
// reported while its box is still up.
#include <atomic>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "checks/run_queue.h"
#include "checks/test_seams.h"
#include "host/serve/http_server.h"
#include "host/testing/process_info.h"
#include "hostapi/messages.h"
#include "hostapi/protocol.h"
#include "tests/plugin_fixture.h"

using namespace Vardok;
using VardokHost::HostEvent;
using VardokTest::CheckTest;
using VardokTest::MessageBoxRecorder;

namespace {

// Holds the first worker that writes to a contact's row inside that write
// (a report under way) until released.
class ReportHold {
 public:
  explicit ReportHold(VardokHost::ContactHost& host) : _main(GetCurrentThreadId()) {
    host.setObserver([this](const HostEvent& event) {
      if (event.kind != HostEvent::Kind::ColumnWrite || event.row != _contact.load() ||
          GetCurrentThreadId() == _main || _used.exchange(true))
        return;
      _held = true;
      WaitForSingleObject(_release.get(), 30000);
    });
  }
  void arm(int contact) { _contact = contact; }
  bool held() const { return _held.load(); }
  void release() { SetEvent(_release.get()); }
  HANDLE releaseEvent() const { return _release.get(); }

 private:
  const DWORD _main;
  std::atomic<int> _contact{-1};
  std::atomic<bool> _used{false};
  std::atomic<bool> _held{false};
  const Quorlin::EventHandle _release{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
};

void CALLBACK setEventApc(ULONG_PTR event) { SetEvent(reinterpret_cast<HANDLE>(event)); }

size_t countStatus(const VardokHost::ContactHost& host, int contact, const std::string& prefix) {
  size_t count = 0;
  for (const HostEvent& e : host.messages(HM_SET_STATUS))
    if (e.p1() == contact && e.text.compare(0, prefix.size(), prefix) == 0) ++count;
  return count;
}

bool logHas(const VardokHost::ContactHost& host, const std::string& part) {
  for (const std::string& line : host.logLines())
    if (line.find(part) != std::string::npos) return true;
  return false;
}

// --- through the real DLL ---

class NeverSilent : public CheckTest {
 protected:
  NeverSilent() : CheckTest(true) {}
  void TearDown() override {
    _hold.release();
    host.setObserver(nullptr);
    MessageBoxRecorder::holdUntil(nullptr);
    CheckTest::TearDown();
  }
  ReportHold _hold{host};
};

TEST_F(NeverSilent, ACommandChangedDuringTheReportKeepsTheCheckGoing) {
  const int contact = addCheck("cmd /c exit 0", 0, 0);
  _hold.arm(contact);
  host.setInt(contact, enabledColumn, 1);
  host.postChanged(contact, 0, kNetwork);
  ASSERT_TRUE(host.pumpUntil([&] { return _hold.held(); }, 20000));
  // A new command recreates the item while the old run writes its report.
  setCommand(contact, "cmd /c exit 3");
  host.postChanged(contact, kChangeBitsRecreate, kNetwork);
  // The new command runs at once, beside the old run's report.
  const bool started = host.pumpUntil([&] { return countStatus(host, contact, "!!!Problem!!!") >= 1; }, 20000);
  _hold.release();
  EXPECT_TRUE(started);
  // And goes on (interval 0: one run after the other).
  EXPECT_TRUE(host.pumpUntil([&] { return countStatus(host, contact, "!!!Problem!!!") >= 2; }, 20000))
      << reports(contact) << " reports";
}

TEST_F(NeverSilent, ARemovalDuringAReportEndsItBeforeTheHostIsAnswered) {
  const int contact = addCheck("cmd /c exit 0", 0, 0);
  _hold.arm(contact);
  runFromMenu(contact);
  ASSERT_TRUE(host.pumpUntil([&] { return _hold.held(); }, 20000));
  // The held call returns while the removal waits for it (an APC to this
  // thread, which the removal's wait serves).
  ASSERT_TRUE(QueueUserAPC(&setEventApc, GetCurrentThread(), reinterpret_cast<ULONG_PTR>(_hold.releaseEvent())));
  host.post(HM_CONTACT_REMOVING, contact);
  const size_t mark = host.events().size();
  host.pumpFor(1500);
  const std::vector<HostEvent> events = host.events();
  for (size_t i = mark; i < events.size(); ++i)
    EXPECT_EQ(events[i].thread, GetCurrentThreadId()) << "a write after the removal, event " << events[i].id;
}

TEST_F(NeverSilent, AFailedHttpCheckIsReportedWhileItsBoxIsUp) {
  const Quorlin::EventHandle release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  MessageBoxRecorder::holdUntil(release.get());
  // An address nobody listens on: the connection is refused.
  const int failing = addCheck("http://" + VardokHost::LoopbackHttpServer::unusedAddress() + "/", 1, 1);
  const int healthy = addCheck("cmd /c exit 0", 1, 1);
  ASSERT_TRUE(waitForBoxes(1, 20000)) << (SetEvent(release.get()), "");
  EXPECT_GE(reports(failing), 1u);
  EXPECT_EQ(host.getInt(failing, kColumnStatus), kStatusCritical);
  // The box holds nothing: both checks go on while it is up, one box each.
  const size_t failed = reports(failing), well = reports(healthy);
  EXPECT_TRUE(waitForReports(failing, failed + 2, 20000));
  EXPECT_TRUE(waitForReports(healthy, well + 2, 20000));
  EXPECT_EQ(MessageBoxRecorder::shown().size(), 1u);
  SetEvent(release.get());
}

// The DLL's own limit: 60 s at the least.
constexpr DWORD kDllLimitWaitMs = 120000;

// When each run of a stamping child began (its "S TIME PID" lines).
std::vector<DWORD> runStarts(const std::string& stamps) {
  std::vector<DWORD> starts;
  std::istringstream lines(CheckTest::readTempFile(stamps));
  std::string kind;
  unsigned long long time = 0;
  unsigned long pid = 0;
  while (lines >> kind >> time >> pid)
    if (kind == "S") starts.push_back(static_cast<DWORD>(time));  // the same clock as GetTickCount
  return starts;
}

TEST_F(NeverSilent, AHungCheckIsReportedBeforeAWaitingRequestEndsIt) {
  const std::string stamps =
      writeTempFile("vardok-hung-stamps-" + std::to_string(GetCurrentProcessId()) + ".txt", "");
  const int contact = addCheck(child("stamp " + stamps + " 600000"), 0, 0);
  runFromMenu(contact);
  ASSERT_TRUE(host.pumpUntil([&] { return runStarts(stamps).size() == 1; }, 20000));
  runFromMenu(contact);  // waits: the run is within its limit
  // At the limit the hung run is reported critical, and only then does the
  // waiting request end it and start (to hang and be reported in its turn).
  ASSERT_TRUE(host.pumpUntil([&] { return countStatus(host, contact, "Polecenie dzia") >= 1; }, kDllLimitWaitMs))
      << reports(contact) << " reports";
  EXPECT_EQ(host.getInt(contact, kColumnStatus), kStatusCritical);
  ASSERT_TRUE(host.pumpUntil([&] { return runStarts(stamps).size() >= 2; }, 30000)) << "the waiting request never ran";
  DWORD reportedAt = 0;
  for (const HostEvent& e : host.messages(HM_SET_STATUS))
    if (e.p1() == contact && e.text.compare(0, 14, "Polecenie dzia") == 0) {
      reportedAt = e.time;
      break;
    }
  EXPECT_LE(static_cast<LONG>(reportedAt - runStarts(stamps)[1]), 0)
      << "the hung run was reported only after the waiting request had ended it: reported at " << reportedAt
      << ", runs began at " << runStarts(stamps)[0] << " and " << runStarts(stamps)[1];
  DeleteFileA(stamps.c_str());
}

TEST_F(NeverSilent, AtTheCeilingAPersonsRequestRunsAndAWaitingCheckIsReported) {
  // 64 runs in progress that never end: the ceiling.
  for (int i = 0; i < 64; ++i) addCheck(child("sleep 600000"), 0, 1);
  ASSERT_TRUE(host.pumpUntil([] { return VardokHost::countChildProcesses() >= 64; }, 60000))
      << VardokHost::countChildProcesses() << " children";
  const int waiting = addCheck("cmd /c exit 0", 0, 1);
  const int asked = addCheck("cmd /c exit 0", 100, 0);
  // A person's request runs at once.
  runFromMenu(asked);
  EXPECT_TRUE(waitForReports(asked, 1, 30000));
  EXPECT_EQ(host.getInt(asked, kColumnStatus), kStatusOk);
  // A scheduled check that cannot start is reported when its limit passes.
  ASSERT_TRUE(host.pumpUntil([&] { return countStatus(host, waiting, "Polecenie czeka na uruchomienie od ") >= 1; },
                             kDllLimitWaitMs));
  EXPECT_EQ(host.getInt(waiting, kColumnStatus), kStatusCritical);
}

// --- through the linked library, whose limits and seams tests may set ---

class NeverSilentLinked : public CheckTest {
 protected:
  NeverSilentLinked() : CheckTest(false) {}
  void open(uint64_t limitMs, unsigned bound = 0, unsigned ceiling = 0) {
    runQueue().setLimitBaseForTests(limitMs);
    runQueue().setBoundForTests(bound, ceiling);
    reopenQueue();
  }
  void TearDown() override {
    TestSeams::resetPlatformCalls();
    runQueue().setLimitBaseForTests(0);
    runQueue().setBoundForTests(0, 0);
    CheckTest::TearDown();
  }
};

TEST_F(NeverSilentLinked, AHungCheckIsReportedBeforeAWaitingRequestEndsIt) {
  open(1500);
  const int contact = addCheck(child("sleep 30000"), 0, 0);
  runFromMenu(contact);
  ASSERT_TRUE(host.pumpUntil([] { return runQueue().running() == 1; }, 10000));
  runFromMenu(contact);  // waits: the run is within its limit
  // At the limit: critical first, then the waiting request ends the run and
  // starts (and hangs in its turn: critical again).
  ASSERT_TRUE(host.pumpUntil([&] { return countStatus(host, contact, "Polecenie dzia") >= 2; }, 20000));
  EXPECT_EQ(host.getInt(contact, kColumnStatus), kStatusCritical);
}

TEST_F(NeverSilentLinked, AtTheCeilingAPersonsRequestRunsAndAWaitingCheckIsReported) {
  open(1500, 1, 2);
  const int hung1 = addCheck(child("sleep 60000"), 0, 1);
  const int hung2 = addCheck(child("sleep 60000"), 0, 1);
  ASSERT_TRUE(host.pumpUntil([] { return runQueue().running() == 2; }, 20000));
  const int waiting = addCheck("cmd /c exit 0", 0, 1);
  const int asked = addCheck("cmd /c exit 0", 100, 0);
  runFromMenu(asked);
  EXPECT_TRUE(waitForReports(asked, 1, 20000));
  EXPECT_EQ(host.getInt(asked, kColumnStatus), kStatusOk);
  ASSERT_TRUE(host.pumpUntil([&] { return countStatus(host, waiting, "Polecenie czeka na uruchomienie od ") >= 1; },
                             20000));
  EXPECT_EQ(host.getInt(waiting, kColumnStatus), kStatusCritical);
  EXPECT_NE(host.statusText(waiting).find("za du\xBF" "o sprawdze\xF1 w toku"), std::string::npos)
      << host.statusText(waiting);
  EXPECT_TRUE(logHas(host, "cannot start"));
  (void)hung1;
  (void)hung2;
}

HANDLE refuseThread(const std::function<void()>&, bool) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

size_t refusalLines(const VardokHost::ContactHost& host) {
  size_t count = 0;
  for (const std::string& line : host.logLines())
    if (line.find("refuses to start worker threads") != std::string::npos) ++count;
  return count;
}

TEST_F(NeverSilentLinked, WhenNoThreadStartsEachWaitingCheckIsReportedAndItIsLogged) {
  TestSeams::platformCalls().startWorker = &refuseThread;
  open(1500);
  const int first = addCheck("cmd /c exit 0", 1, 1);
  const int second = addCheck("cmd /c exit 0", 1, 1);
  for (int contact : {first, second}) {
    EXPECT_TRUE(host.pumpUntil([&] { return countStatus(host, contact, "Polecenie czeka") >= 1; }, 20000));
    EXPECT_NE(host.statusText(contact).find("nie mo\xBF" "na uruchomi\xE6 w\xB9tku"), std::string::npos)
        << host.statusText(contact);
  }
  const size_t said = refusalLines(host);
  EXPECT_GE(said, 1u);
  // Said once a minute, but at once in a new session with the host, even
  // when the ending session's watchdog was refused as it went.
  reopenQueue();
  EXPECT_GT(refusalLines(host), said);
}

}  // namespace
