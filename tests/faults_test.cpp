// Failures of the platform and of children: pipe, process, worker thread
// and timer creation failing; children that never exit, leave a descendant
// holding the pipe, or write without end; HTTP servers that stall.
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "checks/test_seams.h"
#include "checks/output_text.h"
#include "checks/registry.h"
#include "host/serve/http_server.h"
#include "tests/plugin_fixture.h"

using namespace Vardok;
using VardokHost::LoopbackHttpServer;
using VardokTest::CheckTest;
using VardokTest::MessageBoxRecorder;

namespace {

BOOL WINAPI refuseProcess(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCSTR,
                          LPSTARTUPINFOA, LPPROCESS_INFORMATION) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

HANDLE WINAPI refuseTimer(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR) { return nullptr; }

HANDLE WINAPI noMemoryForTimer(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR) { throw std::bad_alloc(); }

class Faults : public CheckTest {
 protected:
  Faults() : CheckTest(false) {}
  void TearDown() override {
    CheckTest::TearDown();
    TestSeams::resetPlatformCalls();
  }
  std::string child(const std::string& arguments) {
    return "\"" + VardokTest::programFolder() + "vardok-test-child.exe\" " + arguments;
  }
  void runFromMenu(int contact) {
    ActionEvent event{30, 82001, 30, contact, 1, {0, 0, 0}};
    host.post(HM_ACTION, reinterpret_cast<int32_t>(&event));
  }
  // A scheduled run at once (no message box for the output).
  int scheduled(const std::string& command) {
    const int contact = addCheck(command, 0, 1);
    return contact;
  }
  // The lines of the host's log that hold text.
  size_t logLinesWith(const std::string& text) {
    size_t count = 0;
    for (const auto& e : host.messages(HM_LOG))
      if (e.text.find(text) != std::string::npos) ++count;
    return count;
  }
  void stop(int contact) {
    host.setInt(contact, enabledColumn, 0);
    host.postChanged(contact, 0, kNetwork);
  }
};

TEST_F(Faults, PipeCreationFailing) {
  TestSeams::platformCalls().createOutputPipe = [](HANDLE*, HANDLE*) { return false; };
  const int contact = addCheck("cmd /c echo never", 100, 0);
  runFromMenu(contact);
  ASSERT_TRUE(waitForReports(contact, 1));
  EXPECT_EQ(host.getInt(contact, 2), 0x40);
  EXPECT_EQ(host.getText(contact, 34).value_or("<unset>"), "");
  bool logged = false;
  for (const auto& e : host.messages(HM_LOG))
    if (e.text == "Could not create pipe!" && e.p2() == kLogError) logged = true;
  EXPECT_TRUE(logged);
  EXPECT_TRUE(MessageBoxRecorder::shown().empty());
}

TEST_F(Faults, ProcessCreationFailing) {
  TestSeams::platformCalls().createProcess = &refuseProcess;
  const int contact = addCheck("cmd /c echo never", 100, 0);
  runFromMenu(contact);
  ASSERT_TRUE(waitForReports(contact, 1));
  ASSERT_TRUE(waitForBoxes(1));  // shown after the report
  ASSERT_EQ(MessageBoxRecorder::shown().size(), 1u);
  EXPECT_EQ(MessageBoxRecorder::shown()[0].text, "Wprowadzona komenda jest niepoprawna!");
  EXPECT_EQ(host.getInt(contact, 2), 0x40);
  // The box and the status are the report; the log gets no second one.
  EXPECT_EQ(logLinesWith("CreateProcessA failed"), 0u);
}

TEST_F(Faults, ACommandLinePastThePlatformsLimitIsRefusedNotCut) {
  // The platform takes 32,767 characters; a longer line once ran cut
  // short and was reported well.
  const int contact = addCheck("cmd /c echo " + std::string(70000, 'x'), 100, 0);
  runFromMenu(contact);
  ASSERT_TRUE(waitForReports(contact, 1));
  ASSERT_TRUE(waitForBoxes(1));  // shown after the report
  ASSERT_EQ(MessageBoxRecorder::shown().size(), 1u);
  EXPECT_EQ(MessageBoxRecorder::shown()[0].text, "Wprowadzona komenda jest niepoprawna!");
  EXPECT_EQ(host.getInt(contact, 2), 0x40);
  EXPECT_EQ(logLinesWith("CreateProcessA failed"), 0u);
}

TEST_F(Faults, WorkersThatCannotStartDropNoCheck) {
  // The queue's threads cannot be started: the request waits in the queue,
  // and runs once threads can be started again, with no change to the
  // contact.
  host.post(HM_DETACH_CORE);
  TestSeams::platformCalls().startWorker = [](const std::function<void()>&, bool) -> HANDLE { return nullptr; };
  host.post(HM_ATTACH_CORE, reinterpret_cast<int32_t>(static_cast<HostCore*>(&host)));
  const int contact = addCheck("cmd /c exit 0", 0, 1);
  host.pumpFor(500);
  EXPECT_EQ(reports(contact), 0u);
  TestSeams::resetPlatformCalls();
  EXPECT_TRUE(waitForReports(contact, 1));
}

TEST_F(Faults, TimerCreationFailingStillAllowsInteractiveRuns) {
  TestSeams::platformCalls().createTimer = &refuseTimer;
  const int contact = addCheck("cmd /c exit 0", 0, 1);
  host.pumpFor(500);
  EXPECT_EQ(reports(contact), 0u);
  runFromMenu(contact);
  EXPECT_TRUE(waitForReports(contact, 1));
}

TEST_F(Faults, AMessageWhoseHandlingRunsOutOfMemoryIsAnsweredAsNotHandledAndLoggedOnce) {
  // The item's timer is made as the contact arrives: no memory for it
  // then, and the host still gets an answer, not the end of its process.
  TestSeams::platformCalls().createTimer = &noMemoryForTimer;
  VardokHost::CheckContact check;
  check.command = "cmd /c exit 0";
  const int contact = host.addCheck(check, false);
  EXPECT_EQ(host.post(HM_CONTACT_NEW, contact), 0);
  std::vector<std::string> lines;
  for (const auto& e : host.messages(HM_LOG))
    if (e.p2() == kLogError) lines.push_back(e.text);
  EXPECT_EQ(lines, std::vector<std::string>{"Vardok: IMessageProc(24003): brak pamięci"});
  EXPECT_EQ(items().count(contact), 0u);
  // The plug-in goes on: with memory back, the next event makes the item.
  TestSeams::resetPlatformCalls();
  host.post(HM_CONTACT_NEW, contact);
  EXPECT_EQ(items().count(contact), 1u);
}

TEST_F(Faults, DescendantHoldingThePipeDoesNotHoldTheReport) {
  const DWORD start = GetTickCount();
  const int contact = scheduled(child("spawn 6000"));
  ASSERT_TRUE(waitForReports(contact, 1, 4000));
  stop(contact);
  EXPECT_LT(GetTickCount() - start, 4000u);
  EXPECT_EQ(host.getText(contact, 34).value_or("<unset>"), "direct\r\n");
  EXPECT_EQ(host.getInt(contact, 2), 0x41);
}

TEST_F(Faults, ChildThatDoesNotExitHoldsOnlyItsOwnCheck) {
  const int slow = addCheck(child("sleep 8000"), 100, 0);
  runFromMenu(slow);
  const int quick = scheduled("cmd /c exit 0");
  EXPECT_TRUE(waitForReports(quick, 3, 8000));
  stop(quick);
  EXPECT_EQ(reports(slow), 0u);
  // Removing it while its child runs is safe; the run ends on its own.
  host.post(HM_CONTACT_REMOVING, slow);
  EXPECT_EQ(items().count(slow), 0u);
}

TEST_F(Faults, ZeroBytesAreDroppedAndWhatFollowsIsKept) {
  const int contact = scheduled(child("zero"));
  const int tagged = scheduled(child("zerotag"));
  ASSERT_TRUE(waitForReports(contact, 1));
  ASSERT_TRUE(waitForReports(tagged, 1));
  stop(contact);
  stop(tagged);
  EXPECT_EQ(host.getText(contact, 34).value_or("<unset>"), "abcd");
  EXPECT_EQ(host.statusText(tagged), "after");
}

TEST_F(Faults, HundredMebibytesAreDrainedAndSixteenKept) {
  const int contact = scheduled(child("write 100"));
  // Its own report: on a loaded machine the run may pass its limit first,
  // and its overdue report comes before it.
  ASSERT_TRUE(host.pumpUntil(
      [&] { return host.getText(contact, 34).has_value() && host.getInt(contact, 2) == 0; }, 300000));
  stop(contact);
  const std::string kept = host.getText(contact, 34).value_or("<unset>");
  // 16 MiB of output, line endings widened and still within the bound.
  EXPECT_EQ(kept.size(), 16u << 20);
  EXPECT_EQ(kept.compare(0, 66, std::string(63, 'x') + "\r\nx"), 0);
  EXPECT_EQ(host.getInt(contact, 2), 0);
}

TEST_F(Faults, StallingServerDelaysOnlyItsCheck) {
  LoopbackHttpServer server;
  ASSERT_TRUE(server.listening());
  LoopbackHttpServer::Reply reply{LoopbackHttpServer::response(200, "late", {"Error: 1"})};
  reply.stallMs = 1500;
  server.setReply(reply);
  const DWORD start = GetTickCount();
  const int contact = addCheck(server.url("/slow"), 100, 0);
  runFromMenu(contact);
  ASSERT_TRUE(waitForReports(contact, 1, 20000));
  EXPECT_GE(GetTickCount() - start, 1400u);
  EXPECT_EQ(host.getInt(contact, 2), 0x41);
}

// A command's output that could not grow for want of memory: what was
// kept stays, and the output says it was cut.
TEST(OutputCut, TheMarkEndsAnOutputCutForWantOfMemory) {
  std::string output;
  appendOutput(output, "kept lines\r\n", true);
  EXPECT_EQ(output, std::string("kept lines\r\n") + "\r\n(wynik obcięty: brak pamięci)");
  std::string whole;
  appendOutput(whole, "all of it", false);
  EXPECT_EQ(whole, "all of it");
  std::string earlier = "before ";
  appendOutput(earlier, "after", false);
  EXPECT_EQ(earlier, "before after");
}

}  // namespace
