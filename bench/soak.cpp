// A long run of the real DLL under load and churn, to see that nothing
// grows: contacts checked at intervals of 1 to 5 s (a mix of a command
// that is well, one with a problem, a slow one and an HTTP page), and
// every 10 s 20 removed, 20 added and 20 switched on or off. Every minute,
// and at the end: handles, private bytes, threads, child processes,
// reports per minute and the main thread's longest alertable wait; at the
// end each series' slope per minute after the warm-up, and the reports
// that should not have come (after a removal, or long after disabling).
//
// Wine 8's WinINet keeps about 100 bytes of every connection the server
// closes (the request's connection record is closed, never freed, when it
// cannot go back to the pool). The soak's page closes its connections, as
// many servers do, so before it starts the soak measures that keep with
// bare GETs of its own and reports the growth with and without it.
//
// "slow" soaks the pool with checks that wait rather than start: every
// contact runs `ping -n 30` (30 s of waiting for its child) every minute,
// without churn, and the soak reports the longest time any check went
// without a run.
//   soak.exe [MINUTES] [CONTACTS] [mix|processes|slow]   (default 60, 1000
//   and mix; "processes" leaves the HTTP checks out of the mix)
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/bare_runs.h"
#include "bench/measure.h"
#include "host/lib/host_session.h"
#include "host/serve/http_server.h"
#include "host/testing/process_info.h"
#include "hostapi/messages.h"
#include "protocol/result_protocol.h"
#include "support/internet/internet.h"
#include "support/threads/unique_handle.h"

using namespace VardokBench;
using namespace VardokHost;

namespace {

constexpr int kChurnEverySeconds = 10;
constexpr int kChurnEach = 20;
constexpr int kWarmUpMinutes = 5;
// A run in flight when its contact is disabled may still report: the
// slowest command here takes about 3 s.
constexpr DWORD kDisabledGraceMs = 15000;

struct Sample {
  double minute = 0;
  DWORD handles = 0;
  double privateKiB = 0;
  double lessThreadsKiB = 0;  // less the threads' own
  int threads = 0;
  int children = 0;
  size_t reports = 0;  // in the minute before
  size_t httpRuns = 0;  // of them, HTTP checks
  double longestWaitMs = 0;
  double longestSleepMs = 0;  // a thread of the soak's own that does nothing else
};

// Least-squares slope of ys over xs.
double slope(const std::vector<double>& xs, const std::vector<double>& ys) {
  const double n = static_cast<double>(xs.size());
  if (n < 2) return 0;
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (size_t i = 0; i < xs.size(); ++i) {
    sx += xs[i];
    sy += ys[i];
    sxx += xs[i] * xs[i];
    sxy += xs[i] * ys[i];
  }
  const double d = n * sxx - sx * sx;
  return d == 0 ? 0 : (n * sxy - sx * sy) / d;
}

// How evenly an overloaded pool shares its runs: for each gap between two
// reports of a contact, the reports of all contacts in it against the
// contacts enabled (in a fair round robin every other contact reports once
// in between: 1.0). Counted in reports rather than time, so that the
// pool's pace, which varies with the mix of what runs, does not count as
// unfairness. A histogram, so that recording adds nothing to the memory
// the soak watches.
class GapRatios {
 public:
  void add(double ratio) {
    ++_count;
    _worst = std::max(_worst, ratio);
    ++_bins[std::min<size_t>(kBins - 1, static_cast<size_t>(ratio / kWidth))];
  }
  size_t count() const { return _count; }
  double worst() const { return _worst; }
  double percentile(double p) const {
    const size_t want = static_cast<size_t>(p * static_cast<double>(_count));
    size_t seen = 0;
    for (size_t i = 0; i < kBins; ++i)
      if ((seen += _bins[i]) > want) return (static_cast<double>(i) + 0.5) * kWidth;
    return _worst;
  }

 private:
  static constexpr size_t kBins = 1000;
  static constexpr double kWidth = 0.005;
  size_t _bins[kBins] = {};
  size_t _count = 0;
  double _worst = 0;
};

// Busy heap blocks by size, over every heap of the process: with
// VARDOK_SOAK_HEAPS set the soak takes this at the end of the warm-up and
// at the end, and prints the sizes whose blocks grew most in number, to
// tell what grows.
std::map<size_t, long> heapBlocksBySize() {
  std::map<size_t, long> blocks;
  std::vector<HANDLE> heaps(256);
  const DWORD count = GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
  heaps.resize(std::min<size_t>(count, heaps.size()));
  for (HANDLE heap : heaps) {
    if (!HeapLock(heap)) continue;
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heap, &entry))
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) ++blocks[entry.cbData];
    HeapUnlock(heap);
  }
  return blocks;
}

void printHeapGrowth(const std::map<size_t, long>& before, const std::map<size_t, long>& after, double minutes) {
  std::vector<std::pair<long, size_t>> growth;
  for (const auto& size : after) {
    const auto was = before.find(size.first);
    const long grew = size.second - (was == before.end() ? 0 : was->second);
    if (grew > 0) growth.push_back({grew, size.first});
  }
  std::sort(growth.rbegin(), growth.rend());
  std::printf("heap blocks that grew most in number (size: blocks a minute):");
  for (size_t i = 0; i < growth.size() && i < 12; ++i)
    std::printf(" %zu: %+.1f", growth[i].second, growth[i].first / minutes);
  std::printf("\n");
}

// Rows by id, one bit each: ids are handed out in order from kRowIdBase.
void setBit(std::vector<bool>& bits, int row) {
  const size_t at = static_cast<size_t>(row - ContactHost::kRowIdBase);
  if (at >= bits.size()) bits.resize(at + 1024);
  bits[at] = true;
}
bool isSet(const std::vector<bool>& bits, int row) {
  const size_t at = static_cast<size_t>(row - ContactHost::kRowIdBase);
  return at < bits.size() && bits[at];
}

double privateBytes() {
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
  return static_cast<double>(memory.PagefileUsage);
}

// What one more thread adds to private bytes, whatever its stack: Wine
// commits about 1 MiB for each. The plug-in's workers come and go with
// the runs that wait, so the soak's memory series is read with each
// sample's threads at this price taken out.
double bytesPerThread() {
  constexpr int kThreads = 8;
  const Quorlin::EventHandle release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  const double before = privateBytes();
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back([&] { WaitForSingleObject(release.get(), INFINITE); });
  Sleep(100);
  const double cost = (privateBytes() - before) / kThreads;
  SetEvent(release.get());
  for (std::thread& thread : threads) thread.join();
  return cost;
}

// Private bytes that bare GETs of path leave behind, per GET: WinINet's
// own keep, with no plug-in involved.
double bytesKeptPerGet(const std::string& host, const std::string& path) {
  constexpr int kGets = 1000;
  const Quorlin::InternetHandle session(InternetOpenA("soak", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  for (int i = 0; i < 50; ++i) bareHttpGet(session.get(), host, path);  // WinINet's one-time state
  const double before = privateBytes();
  for (int i = 0; i < kGets; ++i) bareHttpGet(session.get(), host, path);
  return (privateBytes() - before) / kGets;
}

}  // namespace

int main(int argc, char** argv) {
  const int minutes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
  const int contacts = argc > 2 ? std::max(10, std::atoi(argv[2])) : 1000;
  LoopbackHttpServer server;
  server.setReply({LoopbackHttpServer::response(200, "fine", {"Error: 0"})});
  const std::string mode = argc > 3 ? argv[3] : "mix";
  const bool slowMode = mode == "slow";
  const bool withHttp = mode == "mix";
  const bool churn = !slowMode;
  const std::string commands[] = {"cmd /c exit 0", "cmd /c exit 3", "ping -n 3 127.0.0.1", server.url("/status")};
  const int kinds = withHttp ? 4 : 3;
  const double keptPerGet = withHttp ? bytesKeptPerGet(server.address(), "/status") : 0;
  const double perThread = bytesPerThread();

  HostSession session;
  ContactHost& host = session.host();
  std::string error;
  if (!session.loadPlugin(&error)) {
    std::printf("soak: %s\n", error.c_str());
    return 1;
  }
  // What the host keeps of the plug-in's doings stays small: the soak
  // counts reports as they come.
  host.setEventLimits(100, 256);
  std::mutex lock;
  // Row ids only grow: one bit per row ever removed (a set of them would
  // itself grow by a node per removal).
  std::vector<bool> removed;
  std::vector<bool> httpRows;
  std::map<int, DWORD> disabledAt;
  std::atomic<size_t> reports{0}, httpReports{0}, afterRemoval{0}, whileDisabled{0};
  // For the gaps: each contact's last report (its time, and its number
  // among all reports), forgotten when it is switched (its next gap would
  // not be a fair one), and how many contacts are enabled.
  struct Pace {
    DWORD lastReport = 0;
    size_t lastSerial = 0;
  };
  std::map<int, Pace> paces;
  size_t serial = 0;
  size_t enabledCount = static_cast<size_t>(contacts);
  DWORD longestGapMs = 0;  // the longest any contact went without a report
  size_t contactsReported = 0;          // contacts with a report
  int everyContactReportedMinute = 0;  // the minute in which the last of them first reported
  bool measuring = false;
  GapRatios gaps;
  host.setObserver([&](const HostEvent& event) {
    if (event.kind != HostEvent::Kind::Message || event.id != Vardok::HM_CONTACT_REFRESH) return;
    ++reports;
    const int row = event.p1();
    std::lock_guard<std::mutex> guard(lock);
    if (isSet(httpRows, row)) ++httpReports;
    if (isSet(removed, row)) ++afterRemoval;
    ++serial;
    const auto pace = paces.find(row);
    if (pace != paces.end()) {
      if (!pace->second.lastSerial) ++contactsReported;
      if (pace->second.lastSerial && measuring)
        gaps.add(static_cast<double>(serial - pace->second.lastSerial) / static_cast<double>(enabledCount));
      if (pace->second.lastReport) longestGapMs = std::max(longestGapMs, event.time - pace->second.lastReport);
      pace->second.lastReport = event.time;
      pace->second.lastSerial = serial;
    }
    const auto disabled = disabledAt.find(row);
    if (disabled != disabledAt.end() && event.time - disabled->second > kDisabledGraceMs) ++whileDisabled;
  });
  std::mt19937 random(82);
  const auto contactFor = [&](int i) {
    CheckContact contact;
    contact.name = "Soak " + std::to_string(i);
    contact.command = slowMode ? "ping -n 30 127.0.0.1" : commands[random() % kinds];
    contact.interval = slowMode ? 60 : 1 + static_cast<int>(random() % 5);
    contact.enabled = 1;
    return contact;
  };
  std::vector<CheckContact> list;
  for (int i = 0; i < contacts; ++i) list.push_back(contactFor(i));
  std::vector<int> rows;
  host.startChecks(session.plugin(), list, [&](const std::vector<int>& added) {
    rows = added;
    std::lock_guard<std::mutex> guard(lock);
    for (size_t i = 0; i < rows.size(); ++i) {
      if (list[i].command == commands[3]) setBit(httpRows, rows[i]);
      // Without churn every contact's wait counts from the start.
      paces[rows[i]].lastReport = churn ? 0 : GetTickCount();
    }
  });
  const int enabledColumn = host.columnId(Vardok::kCheckColumns[Vardok::kEnabledColumn].name);

  if (slowMode)
    std::printf("soak: %d contacts of `ping -n 30` every 60 s, %d min, no churn; the DLL under Wine\n", contacts,
                minutes);
  else
    std::printf("soak: %d contacts (%s), %d min, churn of %d each every %d s; the DLL under Wine\n", contacts,
                mode.c_str(), minutes, kChurnEach, kChurnEverySeconds);
  std::printf("%6s %8s %12s %8s %9s %12s %14s %14s\n", "minute", "handles", "private KiB", "threads", "children",
              "reports/min", "longest wait", "idle thread");
  // What the platform gives any thread: a thread that only sleeps 1 ms at
  // a time, so that the main thread's waits can be told from the machine's
  // (two cores shared with Wine's server and every check's process).
  std::atomic<bool> probing{true};
  std::atomic<int64_t> longestSleepTicks{0};
  std::thread prober([&] {
    while (probing) {
      const int64_t before = now();
      Sleep(1);
      const int64_t slept = now() - before;
      if (slept > longestSleepTicks) longestSleepTicks = slept;
    }
  });
  const bool heapDiff = std::getenv("VARDOK_SOAK_HEAPS") != nullptr;
  std::map<size_t, long> heapsAfterWarmUp;
  std::vector<Sample> samples;
  const int64_t start = now();
  int64_t nextChurn = start + static_cast<int64_t>(kChurnEverySeconds * 1000 / milliseconds(1));
  int64_t nextSample = start + static_cast<int64_t>(60000 / milliseconds(1));
  double longestWait = 0;
  size_t reportsBefore = 0, httpBefore = 0;
  int added = contacts;
  for (int minute = 1; minute <= minutes;) {
    const int64_t before = now();
    SleepEx(1, TRUE);
    longestWait = std::max(longestWait, milliseconds(now() - before));
    if (churn && now() >= nextChurn) {
      nextChurn += static_cast<int64_t>(kChurnEverySeconds * 1000 / milliseconds(1));
      for (int k = 0; k < kChurnEach && rows.size() > 1; ++k) {
        const size_t at = random() % rows.size();
        const int row = rows[at];
        host.post(Vardok::HM_CONTACT_REMOVING, row);
        host.removeContact(row);
        rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(at));
        std::lock_guard<std::mutex> guard(lock);
        setBit(removed, row);
        if (!disabledAt.erase(row)) --enabledCount;
        paces.erase(row);
      }
      for (int k = 0; k < kChurnEach; ++k) {
        const CheckContact contact = contactFor(added++);
        const int row = host.addCheck(contact, false);
        {
          std::lock_guard<std::mutex> guard(lock);
          if (contact.command == commands[3]) setBit(httpRows, row);
          paces[row] = Pace();
          ++enabledCount;
        }
        host.post(Vardok::HM_CONTACT_NEW, row);
        rows.push_back(row);
      }
      for (int k = 0; k < kChurnEach; ++k) {
        const int row = rows[random() % rows.size()];
        const int enabled = host.getInt(row, enabledColumn) ? 0 : 1;
        host.setInt(row, enabledColumn, enabled);
        {
          std::lock_guard<std::mutex> guard(lock);
          if (enabled) {
            disabledAt.erase(row);
            ++enabledCount;
          } else {
            disabledAt[row] = GetTickCount();
            --enabledCount;
          }
          // Switched either way, its next gap says nothing of the pool.
          paces[row] = Pace();
        }
        host.postChanged(row, 0, Vardok::kNetwork);
      }
    }
    if (now() < nextSample) continue;
    nextSample += static_cast<int64_t>(60000 / milliseconds(1));
    Sample sample;
    sample.minute = minute;
    // Wine answers GetProcessHandleCount with 0, and fills PagefileUsage
    // (private bytes) but not PrivateUsage.
    sample.handles = static_cast<DWORD>(countOpenHandles());
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    sample.privateKiB = memory.PagefileUsage / 1024.0;
    sample.threads = countThreads();
    sample.lessThreadsKiB = sample.privateKiB - sample.threads * perThread / 1024;
    sample.children = countChildProcesses();
    sample.reports = reports - reportsBefore;
    reportsBefore = reports;
    sample.httpRuns = httpReports - httpBefore;
    httpBefore = httpReports;
    {
      std::lock_guard<std::mutex> guard(lock);
      measuring = minute >= kWarmUpMinutes || minutes <= kWarmUpMinutes + 2;
      if (!everyContactReportedMinute && contactsReported >= static_cast<size_t>(contacts))
        everyContactReportedMinute = minute;
    }
    sample.longestWaitMs = longestWait;
    longestWait = 0;
    sample.longestSleepMs = milliseconds(longestSleepTicks.exchange(0));
    samples.push_back(sample);
    std::printf("%6d %8lu %12.0f %8d %9d %12zu %11.1f ms %11.1f ms\n", minute, sample.handles, sample.privateKiB,
                sample.threads, sample.children, sample.reports, sample.longestWaitMs, sample.longestSleepMs);
    std::fflush(stdout);
    if (heapDiff && minute == std::min(kWarmUpMinutes, minutes - 1)) heapsAfterWarmUp = heapBlocksBySize();
    ++minute;
  }
  if (heapDiff)
    printHeapGrowth(heapsAfterWarmUp, heapBlocksBySize(), minutes - std::min(kWarmUpMinutes, minutes - 1));
  // Slopes per minute after the warm-up (or over all of it when shorter).
  // Slow checks take one whole round to fill every contact's texts: their
  // warm-up lasts until every contact has reported once.
  int warmUp = kWarmUpMinutes;
  if (slowMode) {
    std::lock_guard<std::mutex> guard(lock);
    warmUp = std::max(warmUp, everyContactReportedMinute);
  }
  std::vector<double> xs, handles, memoryKiB, lessThreadsKiB, threads;
  for (const Sample& s : samples) {
    if (s.minute <= warmUp && samples.size() > static_cast<size_t>(warmUp) + 2) continue;
    xs.push_back(s.minute);
    handles.push_back(s.handles);
    memoryKiB.push_back(s.privateKiB);
    lessThreadsKiB.push_back(s.lessThreadsKiB);
    threads.push_back(s.threads);
  }
  double worstWait = 0;
  for (const Sample& s : samples) worstWait = std::max(worstWait, s.longestWaitMs);
  const double rawSlope = slope(xs, memoryKiB);
  const double memorySlope = slope(xs, lessThreadsKiB);
  // WinINet's keep of the HTTP runs over the same minutes.
  double httpPerMinute = 0;
  for (const Sample& s : samples)
    if (s.minute >= xs.front()) httpPerMinute += static_cast<double>(s.httpRuns) / static_cast<double>(xs.size());
  const double wineKiB = httpPerMinute * keptPerGet / 1024;
  const double ownSlope = memorySlope - wineKiB;
  // A slope of fewer than 3 minutes, or no gap at all, says nothing.
  const bool longEnough = xs.size() >= 3;
  const auto verdict = [](bool enough, bool met) { return !enough ? "too short to tell" : met ? "met" : "MISSED"; };
  std::printf("slopes per minute over minutes %.0f-%.0f: handles %+.2f, threads %+.2f, private %+.1f KiB, "
              "less the threads' own (%.0f KiB each) %+.1f KiB\n",
              xs.empty() ? 0.0 : xs.front(), xs.empty() ? 0.0 : xs.back(), slope(xs, handles), slope(xs, threads),
              rawSlope, perThread / 1024, memorySlope);
  if (slowMode) {
    std::lock_guard<std::mutex> guard(lock);
    for (const auto& pace : paces) longestGapMs = std::max(longestGapMs, GetTickCount() - pace.second.lastReport);
    std::printf("longest a check went without a run %.1f min   target <= 15 min   %s\n", longestGapMs / 60000.0,
                longestGapMs <= 15 * 60000 ? "met" : "MISSED");
  }
  if (withHttp) {
    std::printf("WinINet's own keep: %.0f bytes a GET of a closing server (1000 bare GETs before the soak),\n"
                "  %.0f HTTP runs a minute: %.1f KiB/min of the slope\n",
                keptPerGet, httpPerMinute, wineKiB);
    std::printf("private bytes slope (less the threads' own) %+.1f KiB/min, without WinINet's keep %+.1f KiB/min   "
                "target <= 1 KiB/min   %s\n",
                memorySlope, ownSlope, verdict(longEnough, ownSlope <= 1.0));
  } else {
    std::printf("private bytes slope (less the threads' own) %+.1f KiB/min   target <= 1 KiB/min   %s\n", memorySlope,
                verdict(longEnough, memorySlope <= 1.0));
  }
  if (!slowMode)
    std::printf("reports in a gap between a contact's reports / contacts enabled: p50 %.2f, p99 %.2f, worst %.2f, n %zu   "
              "target worst <= 1.2   %s\n",
              gaps.percentile(0.5), gaps.percentile(0.99), gaps.worst(), gaps.count(),
              verdict(gaps.count() > 0, gaps.worst() <= 1.2));
  std::printf("main thread's longest alertable wait %.1f ms   target <= 100 ms   %s\n", worstWait,
              worstWait <= 100 ? "met" : "MISSED");
  std::printf("reports after removal %zu, reports more than %lu s after disabling %zu   target 0   %s\n",
              afterRemoval.load(), kDisabledGraceMs / 1000, whileDisabled.load(),
              afterRemoval == 0 && whileDisabled == 0 ? "met" : "MISSED");
  probing = false;
  prober.join();
  session.detachAndWait(10000);
  return 0;
}
