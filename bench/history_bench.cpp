// The history store at the size it is built for: a simulated year of 1,000
// contacts that report every 5 s.
//
//   history-bench FOLDER [CONTACTS] [DAYS]       (1000 contacts, 365 days)
//
// 1. A year of one contact goes through the store as a host records it,
//    on a simulated clock: results every 5 s (mostly well, 40 ms give or
//    take, an incident every few days), packed, rolled up and pruned as
//    the store does as it goes. Its rows are then copied to the other
//    contacts' ids (the year of 1,000 contacts through the store one by
//    one would take days), and the file's size is read.
// 2. A contact's last 30 days (its minutes) are read back from that file.
// 3. One more simulated hour of all the contacts goes through the store as
//    fast as it takes them: the writer's rate, and what record() (with the
//    reading of the performance data a host does) costs the thread that
//    calls it per 1,000 reports.
// Each figure is printed beside its target with "met" or "MISSED".
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <windows.h>

#include <sqlite3.h>

#include "bench/measure.h"
#include "host/history/history_store.h"
#include "host/history/perf_data.h"

using namespace VardokHost;

namespace {

constexpr int64_t kSecond = 1000, kMinute = 60 * kSecond, kHour = 60 * kMinute, kDay = 24 * kHour;
constexpr int64_t kStep = 5 * kSecond;

// A check's results: well at about 40 ms, an incident now and then.
class SimulatedCheck {
 public:
  explicit SimulatedCheck(uint32_t seed) : _random(seed) {}
  RawResult next(int64_t time) {
    if (time >= _incidentEnd && std::uniform_real_distribution<>(0, 1)(_random) < 1.0 / (3 * 17280)) {
      _incidentEnd = time + kMinute * std::uniform_int_distribution<>(2, 15)(_random);
      _incidentVerdict = std::uniform_int_distribution<>(0, 1)(_random) ? Verdict::Critical : Verdict::Problem;
    }
    RawResult result;
    result.timeMs = time + std::uniform_int_distribution<>(0, 15)(_random);  // the timer's jitter
    result.verdict = time < _incidentEnd ? _incidentVerdict : Verdict::Well;
    result.durationMs = std::max(5, static_cast<int>(std::lround(std::normal_distribution<>(40, 6)(_random))));
    result.hasPerf = true;
    result.perf = (result.durationMs - 3) / 1000.0;  // "time=0.037s", as the checks print it
    return result;
  }

 private:
  std::mt19937 _random;
  int64_t _incidentEnd = 0;
  Verdict _incidentVerdict = Verdict::Well;
};

int64_t fileBytes(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool execute(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
  std::fprintf(stderr, "history-bench: %s: %s\n", sql.c_str(), message ? message : "?");
  sqlite3_free(message);
  return false;
}

std::string key(int contact) {
  char text[16];
  std::snprintf(text, sizeof text, "c%04d", contact);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: history-bench FOLDER [CONTACTS] [DAYS]\n");
    return 2;
  }
  const std::string folder = std::string(argv[1]) + "\\";
  const int contacts = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1000;
  const int days = argc > 3 ? std::max(1, std::atoi(argv[3])) : 365;
  const std::string path = folder + "history.db";
  CreateDirectoryA(folder.c_str(), nullptr);
  for (const char* stale : {"history.db", "history.db-wal", "history.db-shm"}) DeleteFileA((folder + stale).c_str());

  // A Monday at midnight, UTC, a year before the figures are read.
  const int64_t start = 1796947200000;
  const int64_t end = start + days * kDay;
  std::atomic<int64_t> clock{start};
  HistoryStore::Options options;
  options.clock = [&clock] { return clock.load(); };
  options.batchMs = 20;

  // --- 1. a year of one contact, then copied ---
  const int64_t yearStarted = VardokBench::now();
  {
    HistoryStore store(path, options);
    const int handle = store.contact(key(0));
    SimulatedCheck check(7);
    for (int64_t time = start; time < end; time += kStep) {
      const RawResult result = check.next(time);
      store.record(handle, result, 2 * kMinute, result.verdict == Verdict::Well ? "OK" : "database down");
      if ((time - start) % (10 * kMinute) == 0) clock = time;
      if ((time - start) % kHour == 0) store.flush(60000);
    }
    clock = end;
    store.flush(60000);
    store.flush(60000);
  }
  const double yearSeconds = VardokBench::milliseconds(VardokBench::now() - yearStarted) / 1000;
  {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    execute(db, "BEGIN");
    for (int contact = 1; contact < contacts; ++contact) {
      const std::string id = std::to_string(contact + 1);
      execute(db, "INSERT INTO contacts(id, key, hold) SELECT " + id + ", '" + key(contact) + "', hold FROM contacts WHERE id = 1");
      for (const char* table : {"raw", "minutes", "hours"})
        execute(db, std::string("INSERT INTO ") + table + " SELECT " + id + ", start, data FROM " + table + " WHERE contact = 1");
      execute(db, "INSERT INTO incidents SELECT " + id + ", start, end, verdict, text FROM incidents WHERE contact = 1");
      execute(db, "INSERT INTO fresh SELECT " + id + ", time, verdict, duration, perf, hold FROM fresh WHERE contact = 1");
    }
    execute(db, "COMMIT");
    execute(db, "PRAGMA wal_checkpoint(TRUNCATE)");
    sqlite3_close(db);
  }
  const double megabytes = (fileBytes(path) + fileBytes(path + "-wal")) / 1e6;
  std::printf("a year of one contact through the store: %.0f s (%d days at 5 s)\n", yearSeconds, days);
  std::printf("file for %d contacts over %d days: %.1f MB   target <= 200 MB  %s\n", contacts, days, megabytes,
              megabytes <= 200 ? "met" : "MISSED");

  // --- 2. a contact's last 30 days ---
  {
    HistoryStore store(path, options);
    std::vector<double> reads;
    std::mt19937 random(11);
    size_t minutes = 0;
    for (int round = 0; round < 21; ++round) {
      const std::string which = key(std::uniform_int_distribution<>(0, contacts - 1)(random));
      const int64_t began = VardokBench::now();
      minutes = store.rollups(which, end - 30 * kDay, end, kMinute).size();
      reads.push_back(VardokBench::milliseconds(VardokBench::now() - began));
    }
    std::printf("a contact's last 30 days (%zu minutes): median %.1f ms, min %.1f ms, n %zu   target <= 100 ms  %s\n",
                minutes, VardokBench::median(reads), VardokBench::minimum(reads), reads.size(),
                VardokBench::median(reads) <= 100 ? "met" : "MISSED");
  }

  // --- 3. an hour of every contact, as fast as the writer takes it ---
  {
    HistoryStore store(path, options);
    std::vector<int> handles;
    std::vector<SimulatedCheck> checks;
    for (int contact = 0; contact < contacts; ++contact) {
      handles.push_back(store.contact(key(contact)));
      checks.emplace_back(1000 + contact);
    }
    store.flush(600000);
    std::vector<double> perThousand;
    const std::string firstLine = "OK - 37 ms | time=0.037s;0.3;1;0 size=1532B;;;0";
    size_t reports = 0;
    const int64_t began = VardokBench::now();
    for (int64_t time = end; time < end + kHour; time += kStep) {
      clock = time;
      for (int contact = 0; contact < contacts; contact += 1000) {
        const int last = std::min(contacts, contact + 1000);
        std::vector<RawResult> results;
        for (int i = contact; i < last; ++i) results.push_back(checks[static_cast<size_t>(i)].next(time));
        const int64_t callStarted = VardokBench::now();
        for (int i = contact; i < last; ++i) {
          RawResult& result = results[static_cast<size_t>(i - contact)];
          const std::vector<PerfValue> perf = perfValues(firstLine, 1);
          result.hasPerf = !perf.empty();
          store.record(handles[static_cast<size_t>(i)], result, 2 * kMinute, "OK");
        }
        perThousand.push_back(VardokBench::milliseconds(VardokBench::now() - callStarted) * 1000.0 / (last - contact));
        reports += static_cast<size_t>(last - contact);
      }
    }
    clock = end + kHour + kMinute;
    store.flush(600000);
    store.flush(600000);
    const double seconds = VardokBench::milliseconds(VardokBench::now() - began) / 1000;
    const double rate = reports / seconds;
    std::printf("writer: %zu reports of %d contacts (an hour at 5 s) in %.1f s: %.0f reports/s   target >= 5000  %s\n",
                reports, contacts, seconds, rate, rate >= 5000 ? "met" : "MISSED");
    std::printf("recording on the calling thread per 1,000 reports: median %.3f ms, min %.3f ms, n %zu   target <= 1 ms  %s\n",
                VardokBench::median(perThousand), VardokBench::minimum(perThousand), perThousand.size(),
                VardokBench::median(perThousand) <= 1 ? "met" : "MISSED");
    std::printf("store healthy after the hour: %s\n", store.healthy() ? "yes" : "NO");
  }
  return 0;
}
