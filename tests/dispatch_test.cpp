// IMessageProc's answers, the upgrade migration, the notification kinds and
// the rules for bad input, through the plug-in's static library.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "plugin/dispatch.h"
#include "hostapi/host.h"
#include "tests/plugin_fixture.h"

using namespace Vardok;
using VardokHost::HostEvent;
using VardokTest::LinkedPluginTest;

namespace {

class Dispatch : public LinkedPluginTest {
 protected:
  void SetUp() override {
    LinkedPluginTest::SetUp();
    attachCore();
  }
};

struct FixedAnswer {
  uint32_t id;
  int answer;
};

TEST_F(Dispatch, FixedAnswersWithoutNotHandled) {
  const FixedAnswer table[] = {
      {HM_PROBE_1, 2},          {HM_PROBE_2, 59},        {HM_SETUP_COLUMNS, 1},
      {HM_START_ACK, 1},        {HM_ID_NET, 82},         {HM_ID_TYPE_BITS, 292},
      {HM_ID_RESERVED_1, 0},    {HM_ID_RESERVED_2, 0},   {HM_UPGRADE, 0},
      {HM_REGISTER_NOTIFICATIONS, 0},
  };
  for (const FixedAnswer& row : table) EXPECT_EQ(host.post(row.id), row.answer) << "message " << row.id;
  EXPECT_EQ(host.notHandledCount(), 0u);
}

TEST_F(Dispatch, IdentityTextsAreConstantBytes) {
  const struct {
    uint32_t id;
    const char* bytes;
  } table[] = {
      {HM_ID_TAG, "VARDOK"},
      {HM_ID_PLATFORM_TAG, "W98"},
      {HM_ID_NAME, "Vardok"},
      {HM_ID_NET_NAME, "Vardok"},
  };
  for (const auto& row : table) {
    const char* answer = reinterpret_cast<const char*>(host.post(row.id));
    ASSERT_NE(answer, nullptr) << row.id;
    EXPECT_STREQ(answer, row.bytes) << row.id;
    // The host may keep the pointer: it must stay the same string.
    EXPECT_EQ(reinterpret_cast<const char*>(host.post(row.id)), answer);
  }
  EXPECT_EQ(host.notHandledCount(), 0u);
}

TEST_F(Dispatch, AttachAndDetachAnswerOne) {
  EXPECT_EQ(host.post(HM_ATTACH_CORE, reinterpret_cast<int32_t>(static_cast<HostCore*>(&host))), 1);
  EXPECT_TRUE(hasCore());
  EXPECT_EQ(host.post(HM_DETACH_CORE), 1);
  EXPECT_FALSE(hasCore());
}

TEST_F(Dispatch, UnlistedIdReportsNotHandled) {
  for (uint32_t id : {0u, 2u, 20003u, 22102u, 30018u, 99999u}) {
    host.clearEvents();
    EXPECT_EQ(host.post(id), 0) << id;
    const auto events = host.events();
    ASSERT_EQ(events.size(), 1u) << id;
    EXPECT_EQ(events[0].kind, HostEvent::Kind::NotHandled);
    EXPECT_EQ(events[0].value, 1);
  }
}

TEST_F(Dispatch, NoHostCallWithoutCore) {
  host.post(HM_DETACH_CORE);
  host.clearEvents();
  EXPECT_EQ(host.post(99999), 0);
  EXPECT_EQ(host.post(HM_UPGRADE, 0x10000000), 0);
  EXPECT_EQ(host.post(HM_REGISTER_NOTIFICATIONS), 0);
  Log("nobody hears this");
  EXPECT_TRUE(host.events().empty());
}

// A record placed so that its last stated byte is the last readable byte:
// reading past its size faults.
class GuardedRecord {
 public:
  explicit GuardedRecord(size_t size) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    _page = info.dwPageSize;
    _base = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * _page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD old;
    VirtualProtect(_base + _page, _page, PAGE_NOACCESS, &old);
    _record = _base + _page - size;
    std::memset(_record, 0x7F, size);
    const uint16_t size16 = static_cast<uint16_t>(size);
    std::memcpy(_record, &size16, sizeof size16);
  }
  ~GuardedRecord() { VirtualFree(_base, 0, MEM_RELEASE); }
  void setId(uint32_t id) { std::memcpy(_record + 2, &id, sizeof id); }
  HostMessage* message() { return reinterpret_cast<HostMessage*>(_record); }

 private:
  size_t _page;
  uint8_t* _base;
  uint8_t* _record;
};

TEST_F(Dispatch, ShortRecordsAreNotHandledAndNotReadPastTheirSize) {
  const struct {
    uint32_t id;
    size_t size;
  } table[] = {
      {HM_UPGRADE, 29},          {HM_UPGRADE, 6},           {HM_CONTACT_NEW, 29},
      {HM_CONTACT_REMOVING, 22}, {HM_CONTACT_ACTIVATE, 26}, {HM_ACTION, 29},
      {HM_CONTACT_CHANGED, 30},  {HM_CONTACT_CHANGED, 33},  {HM_ATTACH_CORE, 29},
  };
  for (const auto& row : table) {
    host.clearEvents();
    GuardedRecord record(row.size);
    record.setId(row.id);
    EXPECT_EQ(IMessageProc(record.message()), 0) << row.id << " size " << row.size;
    EXPECT_EQ(host.notHandledCount(), 1u) << row.id << " size " << row.size;
    EXPECT_TRUE(host.messages(HM_CONTACT_COUNT).empty());
  }
}

TEST_F(Dispatch, RecordsTooShortForAnIdAndNullRecordsAreNotHandled) {
  for (size_t size : {0u, 1u, 2u, 5u}) {
    host.clearEvents();
    GuardedRecord record(size < 2 ? 2 : size);
    record.message()->size = static_cast<uint16_t>(size);
    EXPECT_EQ(IMessageProc(record.message()), 0) << size;
    EXPECT_EQ(host.notHandledCount(), 1u) << size;
  }
  host.clearEvents();
  EXPECT_EQ(IMessageProc(nullptr), 0);
  EXPECT_EQ(host.notHandledCount(), 1u);
}

TEST_F(Dispatch, NullActionEventIsNotHandled) {
  EXPECT_EQ(host.post(HM_ACTION, 0), 0);
  EXPECT_EQ(host.notHandledCount(), 1u);
}

// --- the upgrade migration ---

class Migration : public Dispatch {
 protected:
  void SetUp() override {
    Dispatch::SetUp();
    host.post(HM_SETUP_COLUMNS);
    command = host.columnId("Vardok/command");
    ASSERT_NE(command, 0);
    // Row 0 is the user's own entry; it is visited all the same.
    host.setInt(0, kColumnNetwork, 80);
    host.setText(0, command, "ping own");
    withCommand = host.addContact(80);
    host.setText(withCommand, command, "cmd /c exit 0");
    emptyCommand = host.addContact(80);
    host.setText(emptyCommand, command, "");
    noCommand = host.addContact(80);
    otherNetwork = host.addContact(82);
    host.setText(otherNetwork, command, "cmd /c exit 1");
    host.clearEvents();
  }

  int command = 0, withCommand = 0, emptyCommand = 0, noCommand = 0, otherNetwork = 0;
};

TEST_F(Migration, OlderReleaseMovesContactsWithACommand) {
  EXPECT_EQ(host.post(HM_UPGRADE, 0x102FFFFF), 0);
  EXPECT_EQ(host.getInt(0, kColumnNetwork), 82);
  EXPECT_EQ(host.getInt(withCommand, kColumnNetwork), 82);
  EXPECT_EQ(host.getInt(emptyCommand, kColumnNetwork), 80);
  EXPECT_EQ(host.getInt(noCommand, kColumnNetwork), 80);
  EXPECT_EQ(host.getInt(otherNetwork, kColumnNetwork), 82);

  const auto logs = host.messages(HM_LOG);
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(logs[0].text, "Sie\xE6 kontaktu 0 zamieniona na 82");
  EXPECT_EQ(logs[1].text, "Sie\xE6 kontaktu 1 zamieniona na 82");
  EXPECT_EQ(logs[0].i32(26), 256);

  // The writes replace the whole value (mask -1) and address rows by index.
  const auto writes = host.columnWrites(host.rowIdAt(1), kColumnNetwork);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].value, 82);
}

TEST_F(Migration, CurrentReleaseOrFirstRunMovesNothing) {
  for (int32_t version : {0x10300000, 0, 0x10302000, 0x7FFFFFFF}) {
    EXPECT_EQ(host.post(HM_UPGRADE, version), 0);
    EXPECT_EQ(host.getInt(withCommand, kColumnNetwork), 80) << std::hex << version;
    EXPECT_TRUE(host.messages(HM_LOG).empty());
  }
}

TEST_F(Migration, NegativeVersionIsOlderThanAnyRelease) {
  // The comparison is signed, as the host's packed versions are.
  host.post(HM_UPGRADE, static_cast<int32_t>(0x90000000));
  EXPECT_EQ(host.getInt(withCommand, kColumnNetwork), 82);
}

// --- notification kinds ---

TEST_F(Dispatch, RegisterNotificationsSendsTwoDefinitions) {
  host.post(HM_REGISTER_NOTIFICATIONS);
  const auto defs = host.messages(HM_NOTIFY_DEFINE);
  ASSERT_EQ(defs.size(), 2u);
  const char* names[] = {"vardokFailed", "vardokCritical"};
  const char* descriptions[] = {"Vardok wykry\xB3 b\xB3\xB9" "d", "Vardok wykry\xB3 b\xB3\xB9" "d krytyczny"};
  for (int i = 0; i < 2; ++i) {
    const HostEvent& e = defs[i];
    ASSERT_EQ(e.record.size(), 44u);
    EXPECT_EQ(e.u16(0), 44);
    EXPECT_EQ(e.i32(2), 43000);
    EXPECT_EQ(e.i32(6), 0);
    EXPECT_EQ(e.i32(10), 3);
    EXPECT_EQ(e.i32(14), 8);
    EXPECT_EQ(e.i32(18), 0);
    EXPECT_EQ(e.u16(22), 0);
    EXPECT_EQ(e.i32(24), -1);
    EXPECT_EQ(e.text, names[i]);
    EXPECT_EQ(e.text2, descriptions[i]);
    EXPECT_EQ(e.i32(36), 1);
    EXPECT_EQ(e.i32(40), 0);
  }
}

}  // namespace
