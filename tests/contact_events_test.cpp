// The start-up scan, the contact events and HM_ACTION's answers, against
// the registry of the linked plug-in.
#include <gtest/gtest.h>

#include "checks/registry.h"
#include "tests/plugin_fixture.h"

using namespace Vardok;
using VardokHost::ContactHost;
using VardokTest::CheckTest;
using VardokTest::MessageBoxRecorder;

namespace {

class ContactEvents : public CheckTest {
 protected:
  ContactEvents() : CheckTest(false) {}

  int action(int id, int parent, int contact, int code) {
    ActionEvent event{30, id, parent, contact, code, {0, 0, 0}};
    return host.post(HM_ACTION, reinterpret_cast<int32_t>(&event));
  }
};

TEST_F(ContactEvents, StartScansFromRowOneAndAddressesItemsById) {
  host.post(HM_DETACH_CORE);
  ContactHost fresh;  // a host whose contacts exist before start-up
  fresh.setInt(0, kColumnNetwork, 82);
  const int check = fresh.addContact(82);
  fresh.addContact(5);
  const int second = fresh.addContact(82);
  fresh.attach(plugin);
  fresh.startUp();
  EXPECT_EQ(items().size(), 2u);
  EXPECT_EQ(items().count(check), 1u);
  EXPECT_EQ(items().count(second), 1u);
  EXPECT_EQ(items().count(0), 0u);
  EXPECT_EQ(items().count(fresh.rowIdAt(0)), 0u);
  for (int contact : {check, second}) fresh.post(HM_CONTACT_REMOVING, contact);
  fresh.post(HM_DETACH_CORE);
  host.startUp();
}

TEST_F(ContactEvents, EventsKeepTheRegistryInStep) {
  const int contact = addCheck("cmd /c exit 0", 100, 0);
  const int other = host.addContact(5);
  EXPECT_EQ(host.post(HM_CONTACT_NEW, other), 0);
  EXPECT_EQ(items().count(contact), 1u);
  EXPECT_EQ(items().count(other), 0u);
  EXPECT_EQ(host.notHandledCount(), 0u);

  // Change without the low bits: the same item, restarted.
  const Item* before = items().at(contact).get();
  EXPECT_EQ(host.postChanged(contact, 0, 82), 0);
  EXPECT_EQ(items().at(contact).get(), before);
  // Change with bit 1, staying in network 82: a new item.
  host.postChanged(contact, 2, 82);
  ASSERT_EQ(items().count(contact), 1u);
  // Leaving network 82.
  host.setInt(contact, kColumnNetwork, 5);
  host.postChanged(contact, 2, 82);
  EXPECT_EQ(items().count(contact), 0u);
  // Joining it.
  host.setInt(other, kColumnNetwork, 82);
  host.postChanged(other, 1, 5);
  EXPECT_EQ(items().count(other), 1u);
  // Removal of a contact of another network changes nothing.
  host.post(HM_CONTACT_REMOVING, contact);
  EXPECT_EQ(items().count(other), 1u);
  host.post(HM_CONTACT_REMOVING, other);
  EXPECT_TRUE(items().empty());
}

TEST_F(ContactEvents, ActionAnswers) {
  const int check = addCheck("cmd /c exit 0", 100, 0);
  const int other = host.addContact(5);
  host.clearEvents();
  const struct {
    int id, parent, contact, code, answer;
    bool setsState;
    int state;
  } table[] = {
      {82001, 30, check, 17, 1, false, 0},
      {82001, 30, other, 17, 0, false, 0},
      {82001, 30, check, 10, 0, true, 0},
      {82001, 30, other, 10, 0, true, -1},
      {82001, 30, check, 99, 0, false, 0},
      {82001, 82000, check, 10, 0, false, 0},
      {82001, 82000, check, 17, 0, false, 0},
      {82000, 71, check, 10, 0, true, 0},
      {82000, 71, other, 10, 0, true, -1},
      {82000, 71, check, 1, 0, false, 0},
      {12345, 30, check, 1, 0, false, 0},
  };
  for (const auto& row : table) {
    host.clearEvents();
    EXPECT_EQ(action(row.id, row.parent, row.contact, row.code), row.answer)
        << row.id << "/" << row.parent << " code " << row.code;
    const auto states = host.messages(HM_UI_SET_STATE);
    ASSERT_EQ(states.size(), row.setsState ? 1u : 0u) << row.id << " code " << row.code;
    if (row.setsState) {
      EXPECT_EQ(states[0].payloadI32(2), row.id);
      EXPECT_EQ(states[0].payloadI32(6), row.parent);
      EXPECT_EQ(states[0].payloadI32(10), row.contact);
      EXPECT_EQ(states[0].payloadI32(34), row.state);
      EXPECT_EQ(states[0].payloadI32(38), 1);
    }
    EXPECT_TRUE(host.messages(HM_UI_GET_VALUE).empty());
    EXPECT_EQ(host.notHandledCount(), 0u);
  }
}

TEST_F(ContactEvents, RunForAContactWithoutAnItemStartsNothing) {
  const int other = host.addContact(5);
  host.setText(other, commandColumn, "cmd /c echo x");
  action(82001, 30, other, 1);
  action(82001, 82000, other, 1);
  host.pumpFor(500);
  EXPECT_TRUE(host.messages(HM_CONTACT_REFRESH).empty());
  EXPECT_TRUE(MessageBoxRecorder::shown().empty());
}

TEST_F(ContactEvents, ShortActionEventIsNotReadPastItsSize) {
  ActionEvent event{14, 82001, 30, 0, 17, {0, 0, 0}};
  host.clearEvents();
  EXPECT_EQ(host.post(HM_ACTION, reinterpret_cast<int32_t>(&event)), 0);
  EXPECT_EQ(host.notHandledCount(), 1u);
}

}  // namespace
