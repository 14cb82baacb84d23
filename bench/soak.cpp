// A long run of the real DLL under load and churn, to see that nothing
// grows: contacts checked at intervals of 1 to 5 s (a mix of a command
// that is well, one with a problem, a slow one and an HTTP page), and
// every 10 s 20 removed, 20 added and 20 switched on or off. Every minute,
// and at the end: handles, private bytes, threads, child processes,
// reports per minute and the main thread's longest alertable wait; at the
// end each series' slope per minute after the warm-up, and the reports
// that should not have come (after a removal, or long after disabling).
//   soak.exe [MINUTES] [CONTACTS]   (default 60 and 1000)
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "host/lib/contact_host.h"
#include "host/lib/http_server.h"
#include "host/lib/plugin_module.h"
#include "host/lib/process_info.h"
#include "hostapi/messages.h"
#include "protocol/result_protocol.h"
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
  int threads = 0;
  int children = 0;
  size_t reports = 0;  // in the minute before
  double longestWaitMs = 0;
};

int childProcesses() {
  const Quorlin::SnapshotHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL ok = Process32First(snapshot.get(), &entry); ok; ok = Process32Next(snapshot.get(), &entry))
    if (entry.th32ParentProcessID == GetCurrentProcessId()) ++count;
  return count;
}

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

}  // namespace

int main(int argc, char** argv) {
  const int minutes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
  const int contacts = argc > 2 ? std::max(10, std::atoi(argv[2])) : 1000;
  LoopbackHttpServer server;
  server.setReply({LoopbackHttpServer::response(200, "fine", {"Error: 0"})});
  const std::string commands[] = {"cmd /c exit 0", "cmd /c exit 3", "ping -n 3 127.0.0.1", server.url("/status")};

  ContactHost host;
  std::string error;
  std::unique_ptr<PluginModule> plugin = PluginModule::load(programFolder() + "Vardok.dll", &error);
  if (!plugin) {
    std::printf("soak: %s\n", error.c_str());
    return 1;
  }
  // What the host keeps of the plug-in's doings stays small: the soak
  // counts reports as they come.
  host.setEventLimits(100, 256);
  std::mutex lock;
  std::set<int> removed;
  std::map<int, DWORD> disabledAt;
  std::atomic<size_t> reports{0}, afterRemoval{0}, whileDisabled{0};
  host.setObserver([&](const HostEvent& event) {
    if (event.kind != HostEvent::Kind::Message || event.id != Vardok::HM_CONTACT_REFRESH) return;
    ++reports;
    const int row = event.i32(22);
    std::lock_guard<std::mutex> guard(lock);
    if (removed.count(row)) ++afterRemoval;
    const auto disabled = disabledAt.find(row);
    if (disabled != disabledAt.end() && event.time - disabled->second > kDisabledGraceMs) ++whileDisabled;
  });
  std::mt19937 random(82);
  const auto contactFor = [&](int i) {
    CheckContact contact;
    contact.name = "Soak " + std::to_string(i);
    contact.command = commands[random() % 4];
    contact.interval = 1 + static_cast<int>(random() % 5);
    contact.enabled = 1;
    return contact;
  };
  std::vector<CheckContact> list;
  for (int i = 0; i < contacts; ++i) list.push_back(contactFor(i));
  std::vector<int> rows;
  host.startChecks(plugin.get(), list, [&](const std::vector<int>& added) { rows = added; });
  const int enabledColumn = host.columnId(Vardok::kCheckColumns[Vardok::kEnabledColumn].name);

  std::printf("soak: %d contacts, %d min, churn of %d each every %d s; the DLL under Wine\n", contacts, minutes,
              kChurnEach, kChurnEverySeconds);
  std::printf("%6s %8s %12s %8s %9s %12s %14s\n", "minute", "handles", "private KiB", "threads", "children",
              "reports/min", "longest wait");
  std::vector<Sample> samples;
  const int64_t start = now();
  int64_t nextChurn = start + static_cast<int64_t>(kChurnEverySeconds * 1000 / milliseconds(1));
  int64_t nextSample = start + static_cast<int64_t>(60000 / milliseconds(1));
  double longestWait = 0;
  size_t reportsBefore = 0;
  int added = contacts;
  for (int minute = 1; minute <= minutes;) {
    const int64_t before = now();
    SleepEx(1, TRUE);
    longestWait = std::max(longestWait, milliseconds(now() - before));
    if (now() >= nextChurn) {
      nextChurn += static_cast<int64_t>(kChurnEverySeconds * 1000 / milliseconds(1));
      for (int k = 0; k < kChurnEach && rows.size() > 1; ++k) {
        const size_t at = random() % rows.size();
        const int row = rows[at];
        host.post(Vardok::HM_CONTACT_REMOVING, row);
        host.removeContact(row);
        rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(at));
        std::lock_guard<std::mutex> guard(lock);
        removed.insert(row);
        disabledAt.erase(row);
      }
      for (int k = 0; k < kChurnEach; ++k) {
        const int row = host.addCheck(contactFor(added++), false);
        host.post(Vardok::HM_CONTACT_NEW, row);
        rows.push_back(row);
      }
      for (int k = 0; k < kChurnEach; ++k) {
        const int row = rows[random() % rows.size()];
        const int enabled = host.getInt(row, enabledColumn) ? 0 : 1;
        host.setInt(row, enabledColumn, enabled);
        {
          std::lock_guard<std::mutex> guard(lock);
          if (enabled)
            disabledAt.erase(row);
          else
            disabledAt[row] = GetTickCount();
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
    sample.children = childProcesses();
    sample.reports = reports - reportsBefore;
    reportsBefore = reports;
    sample.longestWaitMs = longestWait;
    longestWait = 0;
    samples.push_back(sample);
    std::printf("%6d %8lu %12.0f %8d %9d %12zu %11.1f ms\n", minute, sample.handles, sample.privateKiB, sample.threads,
                sample.children, sample.reports, sample.longestWaitMs);
    std::fflush(stdout);
    ++minute;
  }
  // Slopes per minute after the warm-up (or over all of it when shorter).
  std::vector<double> xs, handles, memoryKiB, threads;
  for (const Sample& s : samples) {
    if (s.minute <= kWarmUpMinutes && samples.size() > kWarmUpMinutes + 2) continue;
    xs.push_back(s.minute);
    handles.push_back(s.handles);
    memoryKiB.push_back(s.privateKiB);
    threads.push_back(s.threads);
  }
  double worstWait = 0;
  for (const Sample& s : samples) worstWait = std::max(worstWait, s.longestWaitMs);
  const double memorySlope = slope(xs, memoryKiB);
  std::printf("slopes per minute over minutes %.0f-%.0f: handles %+.2f, private %+.1f KiB, threads %+.2f\n",
              xs.empty() ? 0.0 : xs.front(), xs.empty() ? 0.0 : xs.back(), slope(xs, handles), memorySlope,
              slope(xs, threads));
  std::printf("private bytes slope %+.1f KiB/min   target <= 1 KiB/min   %s\n", memorySlope,
              memorySlope <= 1.0 ? "met" : "MISSED");
  std::printf("main thread's longest alertable wait %.1f ms   target <= 100 ms   %s\n", worstWait,
              worstWait <= 100 ? "met" : "MISSED");
  std::printf("reports after removal %zu, reports more than %lu s after disabling %zu   target 0   %s\n",
              afterRemoval.load(), kDisabledGraceMs / 1000, whileDisabled.load(),
              afterRemoval == 0 && whileDisabled == 0 ? "met" : "MISSED");
  host.post(Vardok::HM_DETACH_CORE);
  plugin->unload();
  host.pumpUntil([] { return GetModuleHandleA("Vardok.dll") == nullptr; }, 10000);
  return 0;
}
