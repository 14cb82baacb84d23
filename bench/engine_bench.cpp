#include "bench/engine_bench.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include <windows.h>

#include "bench/measure.h"
#include "checks/registry.h"
#include "checks/test_seams.h"
#include "hostapi/messages.h"
#include "plugin/dispatch.h"

namespace VardokBench {

using namespace Vardok;

namespace {

struct Seen {
  uint32_t contact;
  int64_t ticks;
};
std::mutex g_seenLock;
std::vector<Seen> g_firings;
std::vector<Seen> g_starts;

void recordFiring(uint32_t contact) {
  std::lock_guard<std::mutex> guard(g_seenLock);
  g_firings.push_back({contact, now()});
}

void recordStart(uint32_t contact) {
  std::lock_guard<std::mutex> guard(g_seenLock);
  g_starts.push_back({contact, now()});
}

void clearSeen() {
  std::lock_guard<std::mutex> guard(g_seenLock);
  g_firings.clear();
  g_starts.clear();
}

}  // namespace

EngineBench::EngineBench() : _plugin(VardokHost::PluginModule::linked(&IMessageProc)) {
  _host.attach(_plugin.get());
  _host.setLogLevels(false);
  _host.startUp();
  _interval = _host.columnId("Vardok/interval");
  _enabled = _host.columnId("Vardok/enabled");
  TestSeams::setFiringObserver(&recordFiring);
  TestSeams::setRunStartObserver(&recordStart);
}

EngineBench::~EngineBench() {
  for (int index = _host.rowCount() - 1; index > 0; --index) _host.post(HM_CONTACT_REMOVING, _host.rowIdAt(index));
  _host.pumpFor(500);
  _host.post(HM_DETACH_CORE);
  _host.pumpFor(500);
  TestSeams::setFiringObserver(nullptr);
  TestSeams::setRunStartObserver(nullptr);
}

int EngineBench::add(const std::string& command, int interval, int enabled) {
  VardokHost::CheckContact check;
  check.name = "bench";
  check.command = command;
  check.interval = interval;
  check.enabled = enabled;
  return _host.addCheck(check);
}

void EngineBench::disable(int contact) {
  _host.setInt(contact, _enabled, 0);
  _host.postChanged(contact, 0, kNetwork);
}

double EngineBench::fireToReport(int contact) {
  clearSeen();
  _host.clearEvents();
  // Due at once; the re-arming after the run reads the long interval.
  _host.setInt(contact, _interval, 0);
  _host.setInt(contact, _enabled, 1);
  _host.postChanged(contact, 0, kNetwork);
  _host.setInt(contact, _interval, 3600);
  int64_t reported = 0;
  _host.pumpUntil([&] {
    for (const auto& e : _host.messages(HM_CONTACT_REFRESH))
      if (e.p1() == contact) reported = e.ticks;
    return reported != 0;
  }, 60000);
  // The run ends on the main thread, where it re-arms; let that happen
  // now, or it would re-arm over the next sample's due-now timer.
  _host.pumpUntil([&] {
    auto item = items().find(static_cast<uint32_t>(contact));
    return item != items().end() && item->second->armed();
  }, 5000);
  std::lock_guard<std::mutex> guard(g_seenLock);
  for (const Seen& f : g_firings)
    if (f.contact == static_cast<uint32_t>(contact)) return milliseconds(reported - f.ticks);
  return 0;
}

ScaleResult EngineBench::scale(const std::string& command, int contacts, double seconds) {
  clearSeen();
  _host.clearEvents();
  std::vector<int> rows;
  std::map<int, int64_t> enabledAt;
  const int64_t start = now();
  for (int i = 0; i < contacts; ++i) {
    rows.push_back(add(command, 1, 1));
    enabledAt[rows.back()] = now();
  }
  ScaleResult result;
  const int64_t end = start + static_cast<int64_t>(seconds * 1000 / milliseconds(1));
  const auto firings = [] {
    std::lock_guard<std::mutex> guard(g_seenLock);
    return g_firings.size();
  };
  // A thread that only sleeps: what the machine gives any thread.
  std::atomic<bool> probing{true};
  std::atomic<int64_t> longestSleep{0};
  std::thread prober([&] {
    while (probing) {
      const int64_t before = now();
      Sleep(1);
      if (now() - before > longestSleep) longestSleep = now() - before;
    }
  });
  while (now() < end) {
    const size_t firedBefore = firings();
    const int64_t before = now();
    SleepEx(1, TRUE);
    const double waited = milliseconds(now() - before);
    if (waited > result.longestWaitMs) {
      result.longestWaitMs = waited;
      result.firingsInLongestWait = firings() - firedBefore;
    }
  }
  probing = false;
  prober.join();
  result.longestIdleSleepMs = milliseconds(longestSleep);
  const int64_t stop = now();
  result.seconds = milliseconds(stop - start) / 1000.0;
  for (int row : rows) disable(row);

  std::map<int, std::vector<int64_t>> reports, starts;
  for (const auto& e : _host.messages(HM_CONTACT_REFRESH))
    if (e.ticks <= stop) reports[e.p1()].push_back(e.ticks);
  {
    std::lock_guard<std::mutex> guard(g_seenLock);
    for (const Seen& s : g_starts)
      if (s.ticks <= stop) starts[static_cast<int>(s.contact)].push_back(s.ticks);
  }
  const double intervalMs = 1000;
  std::vector<double> lateness;
  result.fewestRuns = static_cast<size_t>(-1);
  for (int row : rows) {
    const auto& started = starts[row];
    const auto& reported = reports[row];
    result.runs += started.size();
    result.fewestRuns = std::min(result.fewestRuns, started.size());
    if (started.empty()) ++result.neverRan;
    // Each run is due one interval after the contact was enabled or after
    // its previous report; a due run that never started is late until the
    // window's end.
    int64_t previous = enabledAt[row], lastStart = enabledAt[row];
    for (size_t k = 0;; ++k) {
      const double due = milliseconds(previous - start) + intervalMs;
      if (k < started.size()) {
        lateness.push_back(milliseconds(started[k] - start) - due);
        result.longestGapMs = std::max(result.longestGapMs, milliseconds(started[k] - lastStart));
        lastStart = started[k];
        if (k >= reported.size()) break;
        previous = reported[k];
      } else {
        const double windowEnd = milliseconds(stop - start);
        if (due < windowEnd) lateness.push_back(windowEnd - due);
        result.longestGapMs = std::max(result.longestGapMs, milliseconds(stop - lastStart));
        break;
      }
    }
  }
  result.p50LateMs = percentile(lateness, 0.5);
  result.p99LateMs = percentile(lateness, 0.99);
  for (int row : rows) _host.post(HM_CONTACT_REMOVING, row);
  _host.pumpFor(1000);
  return result;
}

}  // namespace VardokBench
