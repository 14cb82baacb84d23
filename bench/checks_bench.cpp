// The check engine's costs under Wine, in the build that ships (32-bit,
// optimised), each printed beside its target:
//   1. a scheduled run, firing to end of report, vs a bare spawn + pipe +
//      wait + read of the same command;
//   2. an HTTP check vs a bare WinINet GET of the same URL;
//   3. 1,000 contacts at 1 s: runs per second against the bare ceiling,
//      runs per contact, longest gap, lateness from due time;
//   4. the main thread's longest single alertable wait at 200 and 1,000;
//   5. handles and memory per idle item.
// Ratios come from variants interleaved in random order in one process.
//   checks_bench.exe [ROUNDS] [CONTACTS]
//   checks_bench.exe http [ROUNDS]     the HTTP comparison alone (default 200)
//   checks_bench.exe bounds            the pool-size sweep
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <malloc.h>
#include <new>
#include <string>
#include <vector>

#include <windows.h>
#include <wininet.h>

#include "bench/bare_runs.h"
#include "bench/engine_bench.h"
#include "bench/measure.h"
#include "checks/run_queue.h"
#include "host/serve/http_server.h"
#include "host/testing/process_info.h"
#include "hostapi/messages.h"
#include "support/internet/internet.h"

using namespace VardokBench;

// Heap bytes in use by this program, for the idle-item figure.
std::atomic<int64_t> g_heapBytes{0};

void* operator new(size_t size) {
  void* block = std::malloc(size ? size : 1);
  if (!block) throw std::bad_alloc();
  g_heapBytes += static_cast<int64_t>(_msize(block));
  return block;
}

void operator delete(void* block) noexcept {
  if (!block) return;
  g_heapBytes -= static_cast<int64_t>(_msize(block));
  std::free(block);
}

void operator delete(void* block, size_t) noexcept { operator delete(block); }

namespace {

const char kCommand[] = "cmd /c exit 0";

bool runCost(int rounds) {
  std::printf("1. Scheduled run of \"%s\", firing to end of report, vs bare spawn + pipe + wait + read\n", kCommand);
  EngineBench bench;
  const int contact = bench.add(kCommand, 3600, 0);
  const auto samples = interleave(rounds, {[&] { return bench.fireToReport(contact); }, [] {
                                             const int64_t start = now();
                                             bareProcessRun(kCommand);
                                             return milliseconds(now() - start);
                                           }});
  std::printf("    check %.2f ms, bare %.2f ms (medians)\n", median(samples[0]), median(samples[1]));
  return printRatio("check / bare", ratios(samples[0], samples[1]), 1.10);
}

bool httpCost(int rounds) {
  std::printf("2. HTTP check, firing to end of report, vs bare WinINet GET of the same URL on a worker thread\n");
  VardokHost::LoopbackHttpServer server;
  if (!server.listening()) {
    std::printf("    cannot listen on a loopback address at port 80\n");
    return false;
  }
  server.setReply({VardokHost::LoopbackHttpServer::response(200, std::string(2000, 'x'), {"Error: 0"})});
  EngineBench bench;
  const int contact = bench.add(server.url("/status"), 3600, 0);
  // Both sides run on a worker and are timed from here, hand-over included;
  // both use a session that stays open, as the host's does.
  WorkerThread worker;
  const Quorlin::InternetHandle session(InternetOpenA("bench", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  const std::function<void()> get = [&] { bareHttpGet(session.get(), server.address(), "/status"); };
  const auto samples = interleave(rounds, {[&] { return bench.fireToReport(contact); }, [&] {
                                             const int64_t start = now();
                                             worker.run(get);
                                             return milliseconds(now() - start);
                                           }});
  std::printf("    check %.2f ms, bare %.2f ms (medians); p10 %.2f / %.2f, p90 %.2f / %.2f\n", median(samples[0]),
              median(samples[1]), percentile(samples[0], 0.1), percentile(samples[1], 0.1),
              percentile(samples[0], 0.9), percentile(samples[1], 0.9));
  return printRatio("HTTP check / bare GET", ratios(samples[0], samples[1]), 1.10);
}

bool scaleRun(int contacts, bool full) {
  const unsigned workers = Vardok::RunQueue::kDefaultBound;
  const double bareBefore = bareProcessRate(static_cast<int>(workers), 8, kCommand);
  // Long enough for every contact to be due three times at that rate.
  const double seconds = std::max(20.0, 3.3 * contacts / bareBefore + 2);
  std::printf("%s. %d contacts at interval 1 s for %.0f s (bare ceiling %.1f starts/s with %u threads)\n",
              full ? "3" : "4", contacts, seconds, bareBefore, workers);
  ScaleResult r;
  {
    EngineBench bench;
    r = bench.scale(kCommand, contacts, seconds);
  }
  const double bareAfter = bareProcessRate(static_cast<int>(workers), 8, kCommand);
  const double bare = (bareBefore + bareAfter) / 2;
  const double rate = r.runs / r.seconds;
  bool met = true;
  std::printf("    main thread's longest single alertable wait %.1f ms (%zu timer routines ran in it; a thread that "
              "only sleeps waited up to %.1f ms)   target <= 100 ms   %s\n",
              r.longestWaitMs, r.firingsInLongestWait, r.longestIdleSleepMs, r.longestWaitMs <= 100 ? "met" : "MISSED");
  met &= r.longestWaitMs <= 100;
  if (!full) return met;
  const double gapTarget = 1.2 * (contacts / rate) * 1000 + 1000;
  std::printf("    runs/s %.1f vs bare %.1f (before %.1f, after %.1f): ratio %.2f   target >= 0.90   %s\n", rate, bare,
              bareBefore, bareAfter, rate / bare, rate >= 0.9 * bare ? "met" : "MISSED");
  std::printf("    fewest runs of a contact %zu   target >= 3   %s; contacts never run: %zu\n", r.fewestRuns,
              r.fewestRuns >= 3 ? "met" : "MISSED", r.neverRan);
  std::printf("    longest gap between a contact's runs %.0f ms   target <= %.0f ms   %s\n", r.longestGapMs, gapTarget,
              r.longestGapMs <= gapTarget ? "met" : "MISSED");
  std::printf("    lateness from due time to start: p50 %.0f ms, p99 %.0f ms\n", r.p50LateMs, r.p99LateMs);
  met &= rate >= 0.9 * bare && r.fewestRuns >= 3 && r.longestGapMs <= gapTarget;
  return met;
}

bool idleItems() {
  std::printf("5. Handles and memory per idle item (1000 disabled contacts)\n");
  EngineBench bench;
  bench.host().pumpFor(100);
  std::vector<int> rows;
  for (int i = 0; i < 1000; ++i) rows.push_back(bench.host().addContact(Vardok::kNetwork));
  const int handlesBefore = VardokHost::countOpenHandles();
  const int64_t bytesBefore = g_heapBytes;
  for (int row : rows) bench.host().post(Vardok::HM_CONTACT_NEW, row);
  const double handles = (VardokHost::countOpenHandles() - handlesBefore) / 1000.0;
  const double bytes = (g_heapBytes - bytesBefore) / 1000.0;
  std::printf("    %.2f handles and %.0f heap bytes per item   targets <= 1 handle, <= 1024 bytes\n", handles, bytes);
  return handles <= 1.0 && bytes <= 1024;
}

// Runs per second of 300 contacts at 1 s with pools of 2 to 8 workers, each
// bound twice, in random order: which bound serves this machine best.
void boundSweep() {
  std::printf("Pool size: 300 contacts at interval 1 s, 20 s per sample, two samples per size, random order\n");
  const unsigned bounds[] = {2, 3, 4, 6, 8};
  std::vector<std::function<double()>> variants;
  for (unsigned bound : bounds)
    variants.push_back([bound] {
      Vardok::runQueue().setBoundForTests(bound);
      EngineBench bench;
      const ScaleResult r = bench.scale(kCommand, 300, 20);
      return r.runs / r.seconds;
    });
  const auto rates = interleave(2, variants);
  Vardok::runQueue().setBoundForTests(0);
  for (size_t i = 0; i < std::size(bounds); ++i)
    std::printf("    %u workers: %.1f and %.1f runs/s\n", bounds[i], rates[i][0], rates[i][1]);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "bounds") {
    boundSweep();
    return 0;
  }
  // The HTTP comparison alone, with as many rounds as asked (it is cheap).
  if (argc > 1 && std::string(argv[1]) == "http") {
    setvbuf(stdout, nullptr, _IONBF, 0);
    httpCost(argc > 2 ? std::max(40, std::atoi(argv[2])) : 200);
    return 0;
  }
  // The main thread under many contacts alone, as many times as asked.
  if (argc > 1 && std::string(argv[1]) == "scale") {
    setvbuf(stdout, nullptr, _IONBF, 0);
    const int contacts = argc > 2 ? std::atoi(argv[2]) : 1000;
    const int times = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
    bool met = true;
    for (int i = 0; i < times; ++i) met &= scaleRun(contacts, true);
    std::printf("scale: %s\n", met ? "every target met" : "some target MISSED");
    return 0;
  }
  const int rounds = argc > 1 ? std::max(40, std::atoi(argv[1])) : 40;
  const int contacts = argc > 2 ? std::atoi(argv[2]) : 1000;
  setvbuf(stdout, nullptr, _IONBF, 0);
  bool met = runCost(rounds);
  met &= httpCost(rounds);
  met &= scaleRun(contacts, true);
  met &= scaleRun(200, false);
  met &= idleItems();
  std::printf("engine: %s\n", met ? "every target met" : "some target MISSED");
  return 0;
}
