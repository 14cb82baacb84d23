// A linked plug-in whose timer firings are recorded, for the tests of
// items and of the registry.
#pragma once

#include <cstdint>
#include <vector>

#include <windows.h>

#include "checks/test_seams.h"
#include "hostapi/messages.h"
#include "tests/plugin_fixture.h"

namespace VardokTest {

struct Firing {
  uint32_t contact;
  DWORD time;
};
inline std::vector<Firing> g_firings;

inline void recordFiring(uint32_t contact) { g_firings.push_back({contact, GetTickCount()}); }

class FiringTest : public CheckTest {
 protected:
  FiringTest() : CheckTest(false) {}
  void SetUp() override {
    CheckTest::SetUp();
    g_firings.clear();
    Vardok::TestSeams::setFiringObserver(&recordFiring);
  }
  void TearDown() override {
    CheckTest::TearDown();
    Vardok::TestSeams::setFiringObserver(nullptr);
  }
  std::vector<DWORD> firingTimes(int contact) const {
    std::vector<DWORD> times;
    for (const Firing& f : g_firings)
      if (f.contact == static_cast<uint32_t>(contact)) times.push_back(f.time);
    return times;
  }
  DWORD reportTime(int contact, size_t n) const {
    size_t seen = 0;
    for (const auto& e : host.messages(Vardok::HM_CONTACT_REFRESH))
      if (e.p1() == contact && ++seen == n) return e.time;
    return 0;
  }
};

}  // namespace VardokTest
