// HistoryStore: what happened to each check, kept in an SQLite file
// (history.db beside the contact list) bounded by design.
//
// Kept: every change of state (an incident: start, end, verdict, text) for
// a year; raw results for 48 hours; per-minute rollups (results, failures
// by class, least, mean and most of the run's duration and of its first
// performance value, the time in each state) for 30 days; hourly rollups
// for a year. Raw results are packed per contact in ten-minute segments
// (series_codec.h) once a segment is over; its minutes are rolled up then
// into its hour's row of minutes, and its hour into its day's row of hours. Older rows go as new ones are written, a contact
// at a time: nothing prunes by a pause.
//
// One writer thread owns the file: it opens it (WAL), moves a damaged one
// aside and begins anew, and writes what was recorded in one transaction a
// second. record() only queues, so a host's threads never wait for the
// disk; a failing disk (read-only, full) loses history, never a check, and
// is said once through the notice sink until writing works again. Reads go
// through a connection of their own and see what has been written (at
// most a second behind record()); the last results, the present state and
// the uptime of each contact are also kept in memory (glance()).
//
// Threads: record(), glance() and the reads: any thread. The notice and
// written sinks run on the writer thread. Owns its threads and
// connections; the destructor writes what is queued, then stops.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "host/history/series_codec.h"

struct sqlite3;

namespace VardokHost {

// A period a contact spent in one state.
struct Incident {
  int64_t startMs = 0;
  int64_t endMs = 0;  // 0 while it lasts
  Verdict verdict = Verdict::Well;
  std::string text;   // the status text that began it, as the plug-in wrote it (Windows-1250)
};

// The share of known time a contact was well over a window; NaN when
// nothing is known of the window.
struct Uptime {
  double day = 0, week = 0, month = 0;  // 24 h, 7 d, 30 d
};

// A contact at a glance, from memory.
struct HistoryGlance {
  std::vector<RawResult> last;        // the last results, oldest first (at most kGlanceResults)
  std::optional<Incident> current;    // the state it is in, since when
  Uptime uptime;                      // refreshed by the writer once a minute; NaN until known
};

class HistoryStore {
 public:
  static constexpr int64_t kSecondMs = 1000, kMinuteMs = 60 * kSecondMs, kHourMs = 60 * kMinuteMs,
                           kDayMs = 24 * kHourMs;
  static constexpr int64_t kSegmentMs = 10 * kMinuteMs;
  static constexpr size_t kGlanceResults = 60;

  struct Options {
    int64_t rawKeptMs = 2 * kDayMs;
    int64_t minutesKeptMs = 30 * kDayMs;
    int64_t hoursKeptMs = 365 * kDayMs;
    int64_t incidentsKeptMs = 365 * kDayMs;
    // How often the writer commits.
    int64_t batchMs = kSecondMs;
    // A segment is packed this long after it ended, for results on their
    // way.
    int64_t segmentGraceMs = 2 * kSecondMs;
    // Unix time in ms; the system's clock when unset (a benchmark's
    // simulated year sets its own).
    std::function<int64_t()> clock;
    // At most this many reports wait for the writer; beyond, the oldest go
    // (a disk that cannot keep up loses history, never memory).
    size_t maxQueued = 1 << 20;
  };

  // Starts the writer, which opens (or makes) the file at path. A file
  // that is no store, or is damaged, is moved aside as path + ".damaged-"
  // and the time, and a new one begun; the notice sink says so.
  HistoryStore(std::string path, Options options);
  explicit HistoryStore(std::string path) : HistoryStore(std::move(path), Options()) {}
  ~HistoryStore();
  HistoryStore(const HistoryStore&) = delete;
  HistoryStore& operator=(const HistoryStore&) = delete;

  // Hears, once each, that history is not being kept and why ("history is
  // not kept: disk full"), that it is kept again, and that a damaged file
  // was moved aside. Set before the first record.
  void setNoticeSink(std::function<void(const std::string&)> sink);
  // Hears that a batch was written.
  void setWrittenSink(std::function<void()> sink);

  // A contact's handle for record(), by its stable id (the contact file's
  // "#id" line). Any thread.
  int contact(const std::string& key);
  // Queues one result. holdMs: how long it stands when no result follows
  // (the check's limit). Any thread; never touches the disk.
  void record(int contact, const RawResult& result, int64_t holdMs, const std::string& statusText);
  // The contact's history goes on under another key (a renamed contact
  // that got an id of its own); the handle stays. Any thread.
  void rekey(const std::string& from, const std::string& to);

  // Waits until everything recorded before the call is written (or its
  // writing failed); false when timeoutMs passed first.
  bool flush(int64_t timeoutMs = 10000);
  // Whether the file is open and the last batch was written.
  bool healthy() const;
  std::string path() const { return _path; }
  Options options() const { return _options; }

  // --- reads: from the file, any thread ---
  // The last count results, oldest first.
  std::vector<RawResult> lastResults(const std::string& key, size_t count);
  // Results from fromMs on, oldest first (the last 48 hours at most).
  std::vector<RawResult> results(const std::string& key, int64_t fromMs, int64_t toMs);
  // Rollups of width bucketMs (a minute or more; minutes within 30 days,
  // hours beyond) covering [fromMs, toMs), the span not yet rolled up
  // included; empty spans are left out.
  std::vector<Rollup> rollups(const std::string& key, int64_t fromMs, int64_t toMs, int64_t bucketMs);
  Uptime uptime(const std::string& key);
  // Incidents that overlap [fromMs, now), newest first, at most limit.
  std::vector<Incident> incidents(const std::string& key, int64_t fromMs, size_t limit = 100);
  // From memory.
  HistoryGlance glance(const std::string& key) const;

  int64_t now() const { return _options.clock(); }

 private:
  struct Pending {
    int contact;            // -1: a rekey to text
    std::shared_ptr<const std::string> key;
    RawResult result;
    int64_t holdMs;
    std::string text;
  };
  // What the writer keeps of a contact between batches.
  struct Tracked {
    int64_t id = 0;               // the row id in the file's contacts, 0 until known
    int64_t segmentStart = -1;    // of the open segment, -1 when none
    std::optional<RawResult> lastSealed;  // the last result of the last packed segment
    int64_t holdMs = 0;
    std::optional<Incident> open;
    bool openLoaded = false;
  };
  struct Memory {
    std::deque<RawResult> last;
    std::optional<Incident> current;
    Uptime uptime;
    bool loaded;  // from the file, once
  };

  void writerMain();
  bool openFile();
  void closeFile();
  void setAside(const std::string& why);
  bool writeBatch(const std::deque<Pending>& batch);
  bool writeRows(const std::deque<Pending>& batch);
  bool sealDue(int64_t now);
  void loadGlances();
  bool seal(const std::string& key, Tracked& tracked);
  void pruneSome(int64_t now);
  void refreshUptimes(int64_t now, const std::deque<Pending>& batch);
  void notice(const std::string& text);
  void failed(const std::string& what);

  const std::string _path;
  Options _options;  // set once, before the writer starts

  // The queue and the handles, shared with the writer.
  mutable std::mutex _lock;
  std::condition_variable _wake, _written;
  std::deque<Pending> _queue;
  uint64_t _turns = 0;  // of the writer, each a batch
  bool _stop = false;
  bool _flushWanted = false;
  // By handle; shared with the queued reports, so that queueing copies no
  // text.
  std::vector<std::shared_ptr<const std::string>> _keys;
  std::unordered_map<std::string, int> _handles;  // by key
  std::vector<Memory> _memory;                    // by handle
  std::function<void(const std::string&)> _noticeSink;
  std::function<void()> _writtenSink;
  bool _healthy = false;

  // The writer's own.
  sqlite3* _db = nullptr;
  std::map<std::string, Tracked> _tracked;
  std::string _saidProblem;
  int64_t _pruneCursor = 0;
  int64_t _nextUptimeRefresh = 0;

  // The readers' connection.
  std::mutex _readLock;
  sqlite3* _reader = nullptr;
  bool openReader();
  void readContact(const std::string& key, const std::function<void(int64_t contact)>& read);

  std::thread _writer;
};

}  // namespace VardokHost
