// The plug-in's shorthands over the host's core: column reads and writes,
// log lines, status and notification records.
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "hostapi/host.h"
#include "tests/plugin_fixture.h"

using namespace Vardok;
using VardokTest::LinkedPluginTest;

namespace {

class HostShorthands : public LinkedPluginTest {
 protected:
  void SetUp() override {
    LinkedPluginTest::SetUp();
    attachCore();
  }
};

TEST_F(HostShorthands, SetContactIntKeepsBitsOutsideTheMask) {
  const int contact = host.addContact(82);
  host.setInt(contact, kColumnIcon, 0xF0);
  SetContactInt(contact, kColumnIcon, 0x0A, 0x0F);
  EXPECT_EQ(host.getInt(contact, kColumnIcon), 0xFA);
  SetContactInt(contact, kColumnIcon, 0x0A, -1);
  EXPECT_EQ(host.getInt(contact, kColumnIcon), 0x0A);
}

TEST_F(HostShorthands, ContactTextsAreCopiedAndMissingTextIsEmpty) {
  const int contact = host.addContact(82);
  EXPECT_EQ(GetContactText(contact, kColumnDescription), "");
  host.setText(contact, kColumnDescription, "first");
  const std::string copy = GetContactText(contact, kColumnDescription);
  host.setText(contact, kColumnDescription, "second, longer than the first");
  EXPECT_EQ(copy, "first");
  EXPECT_EQ(GetContactText(0x4FFFFFFF, kColumnDescription), "");
}

TEST_F(HostShorthands, TextsReadByThreadsThatComeAndGoLeaveNoCopiesBehind) {
  const int contact = host.addContact(82);
  host.setText(contact, kColumnDescription, "read by many threads");
  for (int i = 0; i < 300; ++i) {
    std::thread reader([&] { EXPECT_EQ(GetContactText(contact, kColumnDescription), "read by many threads"); });
    reader.join();
  }
  // The copies of ended threads are dropped as the map doubles.
  EXPECT_LE(host.table().threadCopies(), 40u);
  EXPECT_EQ(GetContactText(contact, kColumnDescription), "read by many threads");
}

TEST_F(HostShorthands, LogLinesKeepAtMost254Characters) {
  const std::string longLine(400, 'x');
  Log("%s", longLine.c_str());
  LogIf(8, "%s", longLine.c_str());
  const auto logs = host.messages(HM_LOG);
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(logs[0].text, std::string(254, 'x'));
  EXPECT_EQ(logs[1].text, std::string(254, 'x'));
  EXPECT_EQ(logs[1].i32(26), 8);
}

TEST_F(HostShorthands, LogIfAsksTheHostForTheLevel) {
  host.setLogLevels(false);
  host.setLogLevel(32, true);
  LogIf(8, "result");
  LogIf(32, "pipe");
  Log("always");
  const auto lines = host.logLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "pipe");
  EXPECT_EQ(lines[1], "always");
}

TEST_F(HostShorthands, StatusAndNotificationRecords) {
  const int contact = host.addContact(82);
  SetContactStatus(contact, 0x141, "Disk full");
  RaiseNotification("vardokFailed", contact);
  const auto status = host.messages(HM_SET_STATUS);
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(status[0].record.size(), 34u);
  EXPECT_EQ(status[0].i32(22), contact);
  EXPECT_EQ(status[0].i32(26), 0x141);
  EXPECT_EQ(status[0].text, "Disk full");
  EXPECT_EQ(host.getInt(contact, kColumnStatus), 0x41);
  EXPECT_EQ(host.statusText(contact), "Disk full");

  const auto raised = host.messages(HM_NOTIFY_RAISE);
  ASSERT_EQ(raised.size(), 1u);
  EXPECT_EQ(raised[0].i32(10), 3);
  EXPECT_EQ(raised[0].i32(14), 8);
  EXPECT_EQ(raised[0].text, "vardokFailed");
  EXPECT_EQ(raised[0].i32(26), contact);
}

}  // namespace
