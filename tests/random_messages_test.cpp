// IMessageProc of the real DLL against random messages: random ids, record
// sizes from 0 to 64, random bytes, every pointer either null or pointing
// into a valid buffer. Nothing may crash, and every answer is the one the
// dispatch table gives.
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hostapi/messages.h"
#include "tests/plugin_fixture.h"

using namespace Vardok;
using VardokTest::CheckTest;

namespace {

const uint32_t kKnownIds[] = {
    HM_ATTACH_CORE,   HM_DETACH_CORE,       HM_PROBE_1,          HM_PROBE_2,          HM_UPGRADE,
    HM_SETUP_COLUMNS, HM_SETUP_UI,          HM_START,            HM_START_ACK,        HM_ACTION,
    HM_CONTACT_REMOVING, HM_CONTACT_NEW,    HM_CONTACT_CHANGED,  HM_ID_NET,           HM_ID_TYPE_BITS,
    HM_ID_RESERVED_1, HM_ID_TAG,            HM_ID_PLATFORM_TAG,  HM_ID_RESERVED_2,    HM_ID_NAME,
    HM_ID_NET_NAME,   HM_CONTACT_ACTIVATE,  HM_REGISTER_NOTIFICATIONS};

class RandomMessages : public CheckTest {
 protected:
  RandomMessages() : CheckTest(true) {}
};

TEST_F(RandomMessages, EveryAnswerAsTheDispatchTableSays) {
  const unsigned seed = static_cast<unsigned>(GetTickCount());
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };

  std::vector<int> contacts;
  for (int i = 0; i < 4; ++i) contacts.push_back(addCheck("cmd /c exit 0", 100, 0));
  contacts.push_back(host.addContact(5));

  alignas(8) uint8_t record[64];
  alignas(8) uint8_t pointee[64];
  bool attached = true;

  for (int round = 0; round < 4000; ++round) {
    const uint32_t id = pick(10) < 8 ? kKnownIds[pick(std::size(kKnownIds))] : static_cast<uint32_t>(random());
    const uint16_t size = static_cast<uint16_t>(pick(65));
    for (uint8_t& b : record) b = static_cast<uint8_t>(random());
    for (uint8_t& b : pointee) b = static_cast<uint8_t>(random());
    std::memcpy(record, &size, 2);
    std::memcpy(record + 2, &id, 4);

    // Pointer-sized parameters: null, or a valid buffer, or (where the
    // table wants one) the real core or a real contact.
    auto setWord = [&](size_t offset, int32_t value) { std::memcpy(record + offset, &value, 4); };
    const int32_t buffer = reinterpret_cast<int32_t>(pointee);
    const int32_t core = reinterpret_cast<int32_t>(static_cast<HostCore*>(&host));
    const bool nullP1 = pick(4) == 0;
    if (id == HM_ATTACH_CORE) {
      setWord(22, nullP1 ? 0 : core);
    } else if (id == HM_ACTION) {
      setWord(22, nullP1 ? 0 : buffer);
    } else if (pick(2)) {
      setWord(22, contacts[pick(contacts.size())]);
    }
    if (id == HM_ACTION) {
      const int32_t fields[] = {82000, 82001, static_cast<int32_t>(random())};
      std::memcpy(pointee + 2, &fields[pick(3)], 4);
      std::memcpy(pointee + 6, &fields[pick(3)], 4);
      std::memcpy(pointee + 10, &contacts[pick(contacts.size())], 4);
      const int32_t codes[] = {1, 10, 17, static_cast<int32_t>(random())};
      std::memcpy(pointee + 14, &codes[pick(4)], 4);
    }
    if (id == HM_UPGRADE && pick(2)) setWord(22, 0);

    const size_t notHandledBefore = host.notHandledCount();
    const int answer = host.postRecord(reinterpret_cast<HostMessage*>(record));
    const bool reported = host.notHandledCount() > notHandledBefore;
    const std::string where = "round " + std::to_string(round) + " id " + std::to_string(id) + " size " + std::to_string(size);

    int32_t p1;
    std::memcpy(&p1, record + 22, 4);
    const bool full = size >= 30;
    if (size < 6) {
      EXPECT_EQ(answer, 0) << where;
      EXPECT_EQ(reported, attached) << where;
    } else if (id == HM_ATTACH_CORE) {
      EXPECT_EQ(answer, full && p1 ? 1 : 0) << where;
      if (full && p1) attached = true;
    } else if (id == HM_DETACH_CORE) {
      EXPECT_EQ(answer, 1) << where;
      attached = false;
    } else if (id == HM_PROBE_1) {
      EXPECT_EQ(answer, 2) << where;
    } else if (id == HM_PROBE_2) {
      EXPECT_EQ(answer, 59) << where;
    } else if (id == HM_SETUP_COLUMNS || id == HM_SETUP_UI || id == HM_START || id == HM_START_ACK) {
      EXPECT_EQ(answer, 1) << where;
    } else if (id == HM_ID_NET) {
      EXPECT_EQ(answer, 82) << where;
    } else if (id == HM_ID_TYPE_BITS) {
      EXPECT_EQ(answer, 292) << where;
    } else if (id == HM_ID_TAG) {
      EXPECT_STREQ(reinterpret_cast<const char*>(answer), "VARDOK") << where;
    } else if (id == HM_ID_PLATFORM_TAG) {
      EXPECT_STREQ(reinterpret_cast<const char*>(answer), "W98") << where;
    } else if (id == HM_ID_NAME || id == HM_ID_NET_NAME) {
      EXPECT_STREQ(reinterpret_cast<const char*>(answer), "Vardok") << where;
    } else if (id == HM_ACTION) {
      EXPECT_TRUE(answer == 0 || answer == 1) << where;
      if (answer == 1) {
        EXPECT_TRUE(full && p1) << where;
      }
    } else if (id == HM_CONTACT_CHANGED) {
      EXPECT_EQ(answer, 0) << where;
      if (size < 34) {
        EXPECT_EQ(reported, attached) << where;
      }
    } else {
      EXPECT_EQ(answer, 0) << where;
      const bool listed = std::find(std::begin(kKnownIds), std::end(kKnownIds), id) != std::end(kKnownIds);
      if (!listed) {
        EXPECT_EQ(reported, attached) << where;
      }
    }
    if (!attached && pick(4) == 0) {
      host.post(HM_ATTACH_CORE, core);
      attached = true;
    }
    if (round % 200 == 0) host.pumpFor(5);
  }
  host.post(HM_ATTACH_CORE, reinterpret_cast<int32_t>(static_cast<HostCore*>(&host)));
  host.pumpFor(200);
}

}  // namespace
