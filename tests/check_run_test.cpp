// Command checks end to end, through the real Vardok.dll under Wine: runs,
// reports, notifications, pop-ups, result tags and interactive runs.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hostapi/messages.h"
#include "tests/plugin_fixture.h"

using namespace Vardok;
using VardokHost::HostEvent;
using VardokTest::CheckTest;
using VardokTest::MessageBoxRecorder;

namespace {

const char kProblem[] = "Pojawi\xB3 si\xEA problem!";
const char kWell[] = "Ju\xBF wszystko dobrze.";

class Runs : public CheckTest {
 protected:
  Runs() : CheckTest(true) {}

  // One interactive run from the contact menu, waited for.
  void runFromMenu(int contact) {
    const size_t before = reports(contact);
    ActionEvent event{30, 82001, 30, contact, 1, {0, 0, 0}};
    EXPECT_EQ(host.post(HM_ACTION, reinterpret_cast<int32_t>(&event)), 0);
    ASSERT_TRUE(waitForReports(contact, before + 1));
  }

  std::vector<HostEvent> lastReport(int contact) { return reportEvents(contact, reports(contact)); }

  static std::vector<HostEvent> only(const std::vector<HostEvent>& events, uint32_t id) {
    std::vector<HostEvent> found;
    for (const HostEvent& e : events)
      if (e.kind == HostEvent::Kind::Message && e.id == id) found.push_back(e);
    return found;
  }

  std::string popupSuffix(int contact) { return " (check " + std::to_string(contact & 0xFFFF) + ")"; }

  // A command that prints a file's bytes and exits with code.
  static std::string printFile(const std::string& name, const std::string& bytes, int code) {
    return "cmd /c type " + writeTempFile(name, bytes) + "&exit " + std::to_string(code);
  }
};

TEST_F(Runs, ScheduledRunReportsInOrderAndRearmsAfterTheReport) {
  const int contact = addCheck("cmd /c echo hello", 1, 1);
  ASSERT_TRUE(waitForReports(contact, 1));
  const auto events = reportEvents(contact, 1);
  ASSERT_EQ(events.size(), 5u);

  EXPECT_EQ(events[0].kind, HostEvent::Kind::ColumnWrite);
  EXPECT_EQ(events[0].row, contact);
  EXPECT_EQ(events[0].column, 34);
  EXPECT_EQ(events[0].text, "hello\r\n");

  EXPECT_EQ(events[1].id, HM_LOG);
  EXPECT_EQ(events[1].i32(26), 8);
  EXPECT_EQ(events[1].text.rfind("Returned 0 (errno=", 0), 0u) << events[1].text;
  const std::string tail = ") hello\r\n";
  ASSERT_GE(events[1].text.size(), tail.size());
  EXPECT_EQ(events[1].text.substr(events[1].text.size() - tail.size()), tail);

  EXPECT_EQ(events[2].kind, HostEvent::Kind::ColumnWrite);
  EXPECT_EQ(events[2].column, 30);
  EXPECT_EQ(events[2].value, 0);

  EXPECT_EQ(events[3].id, HM_SET_STATUS);
  ASSERT_EQ(events[3].record.size(), 34u);
  EXPECT_EQ(events[3].i32(22), contact);
  EXPECT_EQ(events[3].i32(26), 0);
  EXPECT_EQ(events[3].text, "OK");

  EXPECT_EQ(events[4].id, HM_CONTACT_REFRESH);
  EXPECT_EQ(events[4].i32(22), contact);
  EXPECT_EQ(events[4].i32(26), 0);

  ASSERT_TRUE(waitForReports(contact, 2));
  const auto second = reportEvents(contact, 2);
  EXPECT_GE(second.back().time - events.back().time, 1000u);
}

TEST_F(Runs, ProblemRaisesOncePerSpellAndRecoveryShowsThePopupOnly) {
  const int contact = addCheck("cmd /c exit 3", 100, 0);
  runFromMenu(contact);
  auto first = lastReport(contact);
  auto raised = only(first, HM_NOTIFY_RAISE);
  ASSERT_EQ(raised.size(), 1u);
  EXPECT_EQ(raised[0].text, "vardokFailed");
  EXPECT_EQ(raised[0].i32(26), contact);
  auto asked = only(first, HM_ID_NET);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].i32(10), 774);
  EXPECT_EQ(asked[0].i32(14), -1);
  auto shown = only(first, HM_NOTIFY_SHOW);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, kProblem + popupSuffix(contact));
  EXPECT_EQ(only(first, HM_SET_STATUS)[0].i32(26), 0x41);
  EXPECT_EQ(only(first, HM_SET_STATUS)[0].text, "!!!Problem!!!");
  EXPECT_EQ(host.getInt(contact, 2), 0x41);

  runFromMenu(contact);
  auto second = lastReport(contact);
  EXPECT_TRUE(only(second, HM_NOTIFY_RAISE).empty());
  EXPECT_TRUE(only(second, HM_NOTIFY_SHOW).empty());
  EXPECT_EQ(only(second, HM_SET_STATUS).size(), 1u);
  EXPECT_EQ(only(second, HM_CONTACT_REFRESH).size(), 1u);

  setCommand(contact, "cmd /c exit 0");
  runFromMenu(contact);
  auto recovered = lastReport(contact);
  EXPECT_TRUE(only(recovered, HM_NOTIFY_RAISE).empty());
  shown = only(recovered, HM_NOTIFY_SHOW);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, kWell + popupSuffix(contact));
  EXPECT_EQ(shown[0].u8(28), 0x10);
  EXPECT_EQ(shown[0].u8(29), 1);
  EXPECT_EQ(static_cast<uint32_t>(shown[0].i32(32)), 0x45200000u);
  EXPECT_EQ(host.getInt(contact, 2), 0);
}

TEST_F(Runs, CriticalRaisesEveryRunWithTheFullPopupRecord) {
  const int contact = addCheck("cmd /c exit 12", 100, 0);
  for (int run = 0; run < 2; ++run) {
    runFromMenu(contact);
    const auto events = lastReport(contact);
    auto raised = only(events, HM_NOTIFY_RAISE);
    ASSERT_EQ(raised.size(), 1u) << "run " << run;
    EXPECT_EQ(raised[0].text, "vardokCritical");
    EXPECT_EQ(raised[0].i32(10), 3);
    EXPECT_EQ(raised[0].i32(14), 8);
    auto shown = only(events, HM_NOTIFY_SHOW);
    ASSERT_EQ(shown.size(), 1u) << "run " << run;
    const HostEvent& p = shown[0];
    ASSERT_EQ(p.record.size(), 52u);
    EXPECT_EQ(p.u16(0), 52);
    EXPECT_EQ(p.i32(2), 774201);
    EXPECT_EQ(p.i32(6), 0);
    EXPECT_EQ(p.i32(10), 774);
    EXPECT_EQ(p.i32(14), -1);
    EXPECT_EQ(p.i32(18), 0);
    EXPECT_EQ(p.text, kProblem + popupSuffix(contact));
    EXPECT_EQ(p.u8(28), 0);
    EXPECT_EQ(p.u8(29), 0);
    EXPECT_EQ(p.u8(30), 0);
    EXPECT_EQ(static_cast<uint32_t>(p.i32(32)), 0x45200400u);
    EXPECT_EQ(p.i32(36), 0);
    EXPECT_EQ(p.i32(40), 0);
    EXPECT_EQ(p.i32(44), -2);
    EXPECT_EQ(p.i32(48), 0);
    EXPECT_EQ(only(events, HM_SET_STATUS)[0].i32(26), 0x40);
  }
  setCommand(contact, "cmd /c exit -1");
  runFromMenu(contact);
  EXPECT_EQ(host.getInt(contact, 2), 0x40);
  EXPECT_EQ(only(lastReport(contact), HM_NOTIFY_RAISE).size(), 1u);
}

TEST_F(Runs, WithoutAPopupServiceNothingIsShown) {
  host.setPopupService(false);
  const int contact = addCheck("cmd /c exit 2", 100, 0);
  runFromMenu(contact);
  const auto events = lastReport(contact);
  EXPECT_EQ(only(events, HM_NOTIFY_RAISE).size(), 1u);
  EXPECT_EQ(only(events, HM_ID_NET).size(), 1u);
  EXPECT_TRUE(only(events, HM_NOTIFY_SHOW).empty());
  EXPECT_EQ(host.getInt(contact, 2), 0x41);
}

TEST_F(Runs, ResultTagsShapeTheReport) {
  const int contact = addCheck("", 100, 0);
  setCommand(contact, printFile("disk.txt", "Disk 91%\n<velkaro:info>Disk full</velkaro:info>\n", 1));
  runFromMenu(contact);
  EXPECT_EQ(host.getInt(contact, 2), 0x41);
  EXPECT_EQ(host.statusText(contact), "Disk full");
  EXPECT_EQ(host.getInt(contact, 30), 0);
  EXPECT_EQ(only(lastReport(contact), HM_NOTIFY_SHOW)[0].text, kProblem + popupSuffix(contact));
  // An interactive run shows its output in a box and leaves column 34 alone.
  ASSERT_TRUE(waitForBoxes(1));
  EXPECT_EQ(MessageBoxRecorder::shown().back().text, "Disk 91%\r\n<velkaro:info>Disk full</velkaro:info>\r\n");
  EXPECT_FALSE(host.getText(contact, 34).has_value());

  const struct {
    const char* output;
    const char* info;
    int icon;
  } table[] = {
      {"<velkaro:info>first</velkaro:info><velkaro:info>second</velkaro:info>", "first", 0},
      {"<velkaro:INFO>upper</velkaro:INFO>", "OK", 0},
      {"<VELKARO:info>upper</VELKARO:info>", "OK", 0},
      {"<velkaro:icon>#10</velkaro:icon>", "OK", 16},
      {"<velkaro:icon>-2</velkaro:icon>", "OK", -2},
      {"<velkaro:icon>none</velkaro:icon>", "OK", 0},
      {"<velkaro:info></velkaro:info>", "OK", 0},
      {"plain output", "OK", 0},
  };
  int file = 0;
  for (const auto& row : table) {
    setCommand(contact, printFile("tags" + std::to_string(file++) + ".txt", row.output, 0));
    runFromMenu(contact);
    EXPECT_EQ(host.statusText(contact), row.info) << row.output;
    EXPECT_EQ(host.getInt(contact, 30), row.icon) << row.output;
  }
}

TEST_F(Runs, TwoLineNotifyKeepsItsLineEnding) {
  const int contact = addCheck(printFile("notify.txt", "<velkaro:notify>line 1\nline 2</velkaro:notify>", 4), 100, 0);
  runFromMenu(contact);
  EXPECT_EQ(only(lastReport(contact), HM_NOTIFY_SHOW)[0].text, "line 1\r\nline 2" + popupSuffix(contact));
}

TEST_F(Runs, LineEndingsAndStandardError) {
  const int contact = addCheck(printFile("lf.txt", "a\nb", 0), 100, 0);
  runFromMenu(contact);
  ASSERT_TRUE(waitForBoxes(1));
  EXPECT_EQ(MessageBoxRecorder::shown().back().text, "a\r\nb");

  setCommand(contact, printFile("cr.txt", "a\rb\r\nc", 0));
  runFromMenu(contact);
  ASSERT_TRUE(waitForBoxes(2));
  EXPECT_EQ(MessageBoxRecorder::shown().back().text, "a\rb\r\nc");

  setCommand(contact, "cmd /c echo abc>&2&exit 3");
  runFromMenu(contact);
  ASSERT_TRUE(waitForBoxes(3));
  EXPECT_EQ(MessageBoxRecorder::shown().back().text, "abc\r\n");
  EXPECT_EQ(host.getInt(contact, 2), 0x41);
}

TEST_F(Runs, CommandNamingNoProgramShowsTheBoxAndIsCritical) {
  const int contact = addCheck("no_such_program_vardok.exe", 100, 0);
  runFromMenu(contact);
  ASSERT_TRUE(waitForBoxes(1));  // shown after the report
  const auto shown = MessageBoxRecorder::shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "Wprowadzona komenda jest niepoprawna!");
  EXPECT_EQ(shown[0].caption, "Vardok");
  EXPECT_EQ(shown[0].type, 0x10u);
  EXPECT_EQ(host.getInt(contact, 2), 0x40);
  EXPECT_EQ(host.getText(contact, 34).value_or("<unset>"), "");
}

TEST_F(Runs, PageButtonRunsTheEditedCommandInABox) {
  const int contact = addCheck("cmd /c echo stored", 100, 0);
  host.setText(contact, 34, "previous");
  host.setUiValue(contact, std::string("cmd /c echo page"));
  ActionEvent event{30, 82001, 82000, contact, 1, {0, 0, 0}};
  EXPECT_EQ(host.post(HM_ACTION, reinterpret_cast<int32_t>(&event)), 0);
  ASSERT_TRUE(waitForReports(contact, 1));
  ASSERT_TRUE(waitForBoxes(1));
  const auto shown = MessageBoxRecorder::shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "page\r\n");
  EXPECT_EQ(shown[0].caption, "cmd /c echo page");
  EXPECT_EQ(shown[0].type, 0x40u);
  EXPECT_TRUE(host.columnWrites(contact, 34).empty());
  EXPECT_EQ(host.getText(contact, 34).value_or("<unset>"), "previous");

  // Without output there is no box and the description is cleared.
  host.setUiValue(contact, std::string("cmd /c exit 0"));
  host.post(HM_ACTION, reinterpret_cast<int32_t>(&event));
  ASSERT_TRUE(waitForReports(contact, 2));
  EXPECT_EQ(MessageBoxRecorder::shown().size(), 1u);
  EXPECT_EQ(host.getText(contact, 34).value_or("<unset>"), "");
}

TEST_F(Runs, ContactMenuRunsTheStoredCommand) {
  const int contact = addCheck("cmd /c echo stored", 100, 0);
  host.setUiValue(contact, std::string("cmd /c echo page"));
  runFromMenu(contact);
  ASSERT_TRUE(waitForBoxes(1));
  const auto shown = MessageBoxRecorder::shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "stored\r\n");
  EXPECT_EQ(shown[0].caption, "cmd /c echo stored");
}

TEST_F(Runs, ActivationLoopsBackThroughTheHost) {
  const int contact = addCheck("cmd /c echo stored", 100, 0);
  host.setUiValue(contact, std::string("cmd /c echo activated"));
  EXPECT_EQ(host.post(HM_CONTACT_ACTIVATE, contact), 0);
  const auto calls = host.messages(HM_UI_CALL);
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_EQ(calls[0].payload.size(), 30u);
  EXPECT_EQ(calls[0].payloadI16(0), 30);
  EXPECT_EQ(calls[0].payloadI32(2), 82001);
  EXPECT_EQ(calls[0].payloadI32(6), 82000);
  EXPECT_EQ(calls[0].payloadI32(10), contact);
  EXPECT_EQ(calls[0].payloadI32(14), 1);
  EXPECT_EQ(calls[0].payloadI32(18), 0);
  EXPECT_EQ(calls[0].payloadI32(22), 0);
  EXPECT_EQ(calls[0].payloadI32(26), 0);
  ASSERT_TRUE(waitForBoxes(1));
  EXPECT_EQ(MessageBoxRecorder::shown()[0].text, "activated\r\n");

  const int other = host.addContact(5);
  host.clearEvents();
  EXPECT_EQ(host.post(HM_CONTACT_ACTIVATE, other), 0);
  EXPECT_EQ(host.notHandledCount(), 1u);
  EXPECT_TRUE(host.messages(HM_UI_CALL).empty());
}

TEST_F(Runs, InteractiveRequestDuringARunStartsWhenItEnds) {
  const int contact = addCheck("ping -n 2 127.0.0.1", 100, 0);
  ActionEvent event{30, 82001, 30, contact, 1, {0, 0, 0}};
  host.post(HM_ACTION, reinterpret_cast<int32_t>(&event));
  host.pumpFor(100);
  host.post(HM_ACTION, reinterpret_cast<int32_t>(&event));
  host.post(HM_ACTION, reinterpret_cast<int32_t>(&event));
  ASSERT_TRUE(waitForReports(contact, 2));
  host.pumpFor(2500);
  // The two requests during the run became one run after it.
  EXPECT_EQ(reports(contact), 2u);
}

TEST_F(Runs, DetachAndUnloadDuringARunMakeNoHostCallAfterwards) {
  const int contact = addCheck("ping -n 3 127.0.0.1", 100, 0);
  ActionEvent event{30, 82001, 30, contact, 1, {0, 0, 0}};
  host.post(HM_ACTION, reinterpret_cast<int32_t>(&event));
  host.pumpFor(300);
  host.shutDown();
  const size_t after = host.events().size();
  host.pumpFor(3500);
  EXPECT_EQ(host.events().size(), after);
  EXPECT_EQ(reports(contact), 0u);
}

TEST_F(Runs, UnloadWithTheRearmingCallQueuedKeepsTheDllUntilItRan) {
  const int contact = addCheck("cmd /c exit 0", 100, 1);
  ActionEvent event{30, 82001, 30, contact, 1, {0, 0, 0}};
  host.post(HM_ACTION, reinterpret_cast<int32_t>(&event));
  // Without an alertable wait the run's re-arming call stays queued here.
  for (int i = 0; i < 2000 && reports(contact) == 0; ++i) Sleep(10);
  ASSERT_EQ(reports(contact), 1u);
  Sleep(100);
  host.shutDown();
  EXPECT_NE(GetModuleHandleA("Vardok.dll"), nullptr) << "the queued call pins the DLL";
  host.pumpFor(500);
  EXPECT_EQ(GetModuleHandleA("Vardok.dll"), nullptr) << "and lets it go once it has run";
}

TEST_F(Runs, RemovingAContactMidRunCrashesNothing) {
  const int contact = addCheck("ping -n 2 127.0.0.1", 1, 1);
  ActionEvent event{30, 82001, 30, contact, 1, {0, 0, 0}};
  host.post(HM_ACTION, reinterpret_cast<int32_t>(&event));
  host.pumpFor(300);
  host.post(HM_CONTACT_REMOVING, contact);
  host.removeContact(contact);
  host.pumpFor(3000);
  // The run finished against a contact that is gone; nothing re-armed it.
  EXPECT_LE(reports(contact), 1u);
}

}  // namespace
