#include "host/history/history_store.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <set>

#include <sqlite3.h>

namespace VardokHost {

namespace {

constexpr double kUnknown = std::numeric_limits<double>::quiet_NaN();

int64_t systemClock() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t floorTo(int64_t time, int64_t step) { return time - ((time % step) + step) % step; }

// One prepared statement. Those of a connection are prepared once and kept
// with it (sqlite3_next_stmt finds them): a Statement borrows one and
// resets it when it goes.
// The statements this thread's Statements hold (a connection is used by
// one thread at a time).
thread_local std::vector<sqlite3_stmt*> borrowed;

sqlite3_stmt* prepared(sqlite3* db, const char* sql) {
  for (sqlite3_stmt* statement = sqlite3_next_stmt(db, nullptr); statement;
       statement = sqlite3_next_stmt(db, statement))
    if (sqlite3_sql(statement) && std::strcmp(sqlite3_sql(statement), sql) == 0 &&
        std::find(borrowed.begin(), borrowed.end(), statement) == borrowed.end())
      return statement;
  sqlite3_stmt* statement = nullptr;
  return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) == SQLITE_OK ? statement
                                                                                                       : nullptr;
}

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : _statement(prepared(db, sql)) {
    _result = _statement ? SQLITE_OK : sqlite3_errcode(db);
    if (_statement) borrowed.push_back(_statement);
  }
  ~Statement() {
    if (!_statement) return;
    sqlite3_reset(_statement);
    sqlite3_clear_bindings(_statement);
    borrowed.erase(std::find(borrowed.begin(), borrowed.end(), _statement));
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return _statement != nullptr && _result == SQLITE_OK; }
  int result() const { return _result; }
  Statement& bind(int index, int64_t value) {
    if (_statement) sqlite3_bind_int64(_statement, index, value);
    return *this;
  }
  Statement& bind(int index, double value) {
    if (_statement) sqlite3_bind_double(_statement, index, value);
    return *this;
  }
  Statement& bindNull(int index) {
    if (_statement) sqlite3_bind_null(_statement, index);
    return *this;
  }
  Statement& bind(int index, const std::string& value, bool blob = false) {
    if (!_statement) return *this;
    if (blob)
      sqlite3_bind_blob(_statement, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    else
      sqlite3_bind_text(_statement, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // Ready to run again, its bindings cleared.
  void reset() {
    if (!_statement) return;
    sqlite3_reset(_statement);
    sqlite3_clear_bindings(_statement);
  }
  // True for a row; false at the end or on an error (see result()).
  bool step() {
    if (!_statement) return false;
    _result = sqlite3_step(_statement);
    return _result == SQLITE_ROW;
  }
  // Runs a statement that answers no rows.
  bool run() {
    step();
    return _result == SQLITE_DONE;
  }
  int64_t integer(int column) const { return sqlite3_column_int64(_statement, column); }
  double real(int column) const { return sqlite3_column_double(_statement, column); }
  bool null(int column) const { return sqlite3_column_type(_statement, column) == SQLITE_NULL; }
  std::string bytes(int column) const {
    const void* data = sqlite3_column_blob(_statement, column);
    const int size = sqlite3_column_bytes(_statement, column);
    return data ? std::string(static_cast<const char*>(data), static_cast<size_t>(size)) : std::string();
  }

 private:
  sqlite3_stmt* _statement = nullptr;
  int _result = SQLITE_OK;
};

void closeConnection(sqlite3* db) {
  if (!db) return;
  while (sqlite3_stmt* statement = sqlite3_next_stmt(db, nullptr)) sqlite3_finalize(statement);
  sqlite3_close_v2(db);
}

bool execute(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

bool damaged(int code) {
  code &= 0xFF;
  return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS contacts(id INTEGER PRIMARY KEY, key TEXT NOT NULL UNIQUE,"
    "  hold INTEGER NOT NULL DEFAULT 0);"
    // The results of segments not yet packed, a row each.
    "CREATE TABLE IF NOT EXISTS fresh(contact INTEGER NOT NULL, time INTEGER NOT NULL, verdict INTEGER NOT NULL,"
    "  duration INTEGER NOT NULL, perf REAL, hold INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS fresh_by_contact ON fresh(contact, time);"
    // Packed: raw results and minutes per ten-minute segment, hours per day.
    "CREATE TABLE IF NOT EXISTS raw(contact INTEGER NOT NULL, start INTEGER NOT NULL, data BLOB NOT NULL,"
    "  PRIMARY KEY(contact, start)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS minutes(contact INTEGER NOT NULL, start INTEGER NOT NULL, data BLOB NOT NULL,"
    "  PRIMARY KEY(contact, start)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS hours(contact INTEGER NOT NULL, start INTEGER NOT NULL, data BLOB NOT NULL,"
    "  PRIMARY KEY(contact, start)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS incidents(contact INTEGER NOT NULL, start INTEGER NOT NULL, end INTEGER,"
    "  verdict INTEGER NOT NULL, text BLOB NOT NULL, PRIMARY KEY(contact, start)) WITHOUT ROWID;";

// A fresh row read as "SELECT time, verdict, duration, perf, hold".
HeldResult freshRow(const Statement& row) {
  HeldResult one;
  one.result.timeMs = row.integer(0);
  one.result.verdict = static_cast<Verdict>(std::clamp<int64_t>(row.integer(1), 0, 2));
  one.result.durationMs = static_cast<int32_t>(row.integer(2));
  one.result.hasPerf = !row.null(3);
  one.result.perf = one.result.hasPerf ? row.real(3) : 0;
  one.holdMs = row.integer(4);
  return one;
}

int64_t contactId(sqlite3* db, const std::string& key) {
  Statement find(db, "SELECT id FROM contacts WHERE key = ?");
  find.bind(1, key);
  return find.step() ? find.integer(0) : 0;
}

// The results of a contact in [fromMs, toMs): packed segments and fresh
// rows, in time order, with their holds (a packed result holds as long as
// the contact's last known hold).
std::vector<HeldResult> heldResults(sqlite3* db, int64_t contact, int64_t fromMs, int64_t toMs) {
  std::vector<HeldResult> held;
  int64_t hold = 0;
  {
    Statement holdOf(db, "SELECT hold FROM contacts WHERE id = ?");
    holdOf.bind(1, contact);
    if (holdOf.step()) hold = holdOf.integer(0);
  }
  Statement packed(db, "SELECT start, data FROM raw WHERE contact = ? AND start >= ? AND start < ? ORDER BY start");
  packed.bind(1, contact).bind(2, floorTo(fromMs, HistoryStore::kSegmentMs)).bind(3, toMs);
  while (packed.step()) {
    std::vector<RawResult> results;
    if (!decodeResults(packed.integer(0), packed.bytes(1), &results)) continue;
    for (const RawResult& result : results)
      if (result.timeMs >= fromMs && result.timeMs < toMs) held.push_back({result, hold});
  }
  std::vector<HeldResult> recent;
  Statement fresh(db,
                  "SELECT time, verdict, duration, perf, hold FROM fresh WHERE contact = ? AND time >= ? AND time < ?"
                  " ORDER BY time, rowid");
  fresh.bind(1, contact).bind(2, fromMs).bind(3, toMs);
  while (fresh.step()) recent.push_back(freshRow(fresh));
  // A fresh row is newer than anything packed, unless a segment was packed
  // again after a restart; keep time order either way.
  held.insert(held.end(), recent.begin(), recent.end());
  std::stable_sort(held.begin(), held.end(),
                   [](const HeldResult& a, const HeldResult& b) { return a.result.timeMs < b.result.timeMs; });
  return held;
}

// A contact's last count results, oldest first: fresh rows, then packed
// segments backwards, only as many as it takes.
std::vector<RawResult> newestResults(sqlite3* db, int64_t contact, size_t count) {
  std::vector<RawResult> newest;
  Statement fresh(db, "SELECT time, verdict, duration, perf, hold FROM fresh WHERE contact = ?"
                      " ORDER BY time DESC, rowid DESC LIMIT ?");
  fresh.bind(1, contact).bind(2, static_cast<int64_t>(count));
  while (fresh.step()) newest.push_back(freshRow(fresh).result);
  Statement packed(db, "SELECT start, data FROM raw WHERE contact = ? ORDER BY start DESC");
  packed.bind(1, contact);
  while (newest.size() < count && packed.step()) {
    std::vector<RawResult> some;
    if (!decodeResults(packed.integer(0), packed.bytes(1), &some)) continue;
    for (auto it = some.rbegin(); it != some.rend() && newest.size() < count; ++it)
      if (newest.empty() || it->timeMs <= newest.back().timeMs) newest.push_back(*it);
  }
  return std::vector<RawResult>(newest.rbegin(), newest.rend());
}

// The last result before timeMs, within what is kept.
std::optional<HeldResult> resultBefore(sqlite3* db, int64_t contact, int64_t timeMs) {
  std::optional<HeldResult> found;
  {
    Statement fresh(db, "SELECT time, verdict, duration, perf, hold FROM fresh WHERE contact = ? AND time < ?"
                        " ORDER BY time DESC, rowid DESC LIMIT 1");
    fresh.bind(1, contact).bind(2, timeMs);
    if (fresh.step()) found = freshRow(fresh);
  }
  Statement packed(db, "SELECT r.start, r.data, c.hold FROM raw r JOIN contacts c ON c.id = r.contact"
                       " WHERE r.contact = ? AND r.start < ? ORDER BY r.start DESC LIMIT 2");
  packed.bind(1, contact).bind(2, timeMs);
  while (packed.step()) {
    std::vector<RawResult> results;
    if (!decodeResults(packed.integer(0), packed.bytes(1), &results)) continue;
    for (auto it = results.rbegin(); it != results.rend(); ++it) {
      if (it->timeMs >= timeMs) continue;
      if (!found || it->timeMs > found->result.timeMs) found = HeldResult{*it, packed.integer(2)};
      break;
    }
    if (found) break;
  }
  return found;
}

std::vector<Rollup> packedRollups(sqlite3* db, const char* table, int64_t contact, int64_t blobSpanMs,
                                  int64_t bucketMs, int64_t fromMs, int64_t toMs) {
  std::vector<Rollup> rollups;
  const std::string sql =
      std::string("SELECT start, data FROM ") + table + " WHERE contact = ? AND start >= ? AND start < ? ORDER BY start";
  Statement packed(db, sql.c_str());
  packed.bind(1, contact).bind(2, floorTo(fromMs, blobSpanMs)).bind(3, toMs);
  while (packed.step()) {
    std::vector<Rollup> some;
    if (!decodeRollups(packed.integer(0), bucketMs, packed.bytes(1), &some)) continue;
    for (const Rollup& rollup : some)
      if (rollup.startMs >= floorTo(fromMs, bucketMs) && rollup.startMs < toMs) rollups.push_back(rollup);
  }
  return rollups;
}

double ratioOf(const std::vector<Rollup>& rollups) {
  int64_t well = 0, known = 0;
  for (const Rollup& rollup : rollups) {
    well += rollup.wellMs;
    known += rollup.knownMs();
  }
  return known > 0 ? static_cast<double>(well) / static_cast<double>(known) : kUnknown;
}

std::string stamp(int64_t unixMs) {
  const std::time_t seconds = static_cast<std::time_t>(unixMs / 1000);
  std::tm parts{};
#ifdef _WIN32
  gmtime_s(&parts, &seconds);
#else
  gmtime_r(&seconds, &parts);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &parts);
  return text;
}

}  // namespace

HistoryStore::HistoryStore(std::string path, Options options) : _path(std::move(path)), _options(std::move(options)) {
  if (!_options.clock) _options.clock = systemClock;
  _writer = std::thread([this] { writerMain(); });
}

HistoryStore::~HistoryStore() {
  {
    std::lock_guard<std::mutex> hold(_lock);
    _stop = true;
  }
  _wake.notify_all();
  if (_writer.joinable()) _writer.join();
  std::lock_guard<std::mutex> hold(_readLock);
  closeConnection(_reader);
}

void HistoryStore::setNoticeSink(std::function<void(const std::string&)> sink) {
  std::lock_guard<std::mutex> hold(_lock);
  _noticeSink = std::move(sink);
}

void HistoryStore::setWrittenSink(std::function<void()> sink) {
  std::lock_guard<std::mutex> hold(_lock);
  _writtenSink = std::move(sink);
}

int HistoryStore::contact(const std::string& key) {
  std::lock_guard<std::mutex> hold(_lock);
  const auto found = _handles.find(key);
  if (found != _handles.end()) return found->second;
  const int handle = static_cast<int>(_keys.size());
  _keys.push_back(std::make_shared<const std::string>(key));
  _handles.emplace(key, handle);
  _memory.push_back(Memory{{}, std::nullopt, Uptime{kUnknown, kUnknown, kUnknown}, false});
  return handle;
}

void HistoryStore::record(int contact, const RawResult& result, int64_t holdMs, const std::string& statusText) {
  {
    std::lock_guard<std::mutex> hold(_lock);
    if (contact < 0 || contact >= static_cast<int>(_keys.size())) return;
    Memory& memory = _memory[static_cast<size_t>(contact)];
    memory.last.push_back(result);
    if (memory.last.size() > kGlanceResults) memory.last.pop_front();
    // The text only begins an incident: kept when the state changes.
    const bool changed = !memory.current || memory.current->verdict != result.verdict;
    if (changed) memory.current = Incident{result.timeMs, 0, result.verdict, statusText};
    if (_queue.size() >= _options.maxQueued) _queue.pop_front();
    _queue.push_back(Pending{contact, _keys[static_cast<size_t>(contact)], result, holdMs,
                             changed ? statusText : std::string()});
  }
}

void HistoryStore::rekey(const std::string& from, const std::string& to) {
  const int handle = contact(from);
  std::lock_guard<std::mutex> hold(_lock);
  if (_handles.count(to)) return;
  // The old key is free again: a new contact of the old name begins anew.
  _handles.erase(from);
  _handles.emplace(to, handle);
  const std::shared_ptr<const std::string> before = _keys[static_cast<size_t>(handle)];
  _keys[static_cast<size_t>(handle)] = std::make_shared<const std::string>(to);
  _queue.push_back(Pending{-1, before, RawResult(), 0, to});
}

bool HistoryStore::flush(int64_t timeoutMs) {
  std::unique_lock<std::mutex> hold(_lock);
  // Two whole turns of the writer: what was queued before the call is
  // taken in the first at the latest.
  const uint64_t target = _turns + 2;
  _flushWanted = true;
  _wake.notify_all();
  return _written.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
    if (_turns >= target) return true;
    _flushWanted = true;
    _wake.notify_all();
    return false;
  });
}

bool HistoryStore::healthy() const {
  std::lock_guard<std::mutex> hold(_lock);
  return _healthy;
}

void HistoryStore::notice(const std::string& text) {
  std::function<void(const std::string&)> sink;
  {
    std::lock_guard<std::mutex> hold(_lock);
    sink = _noticeSink;
  }
  if (sink) sink(text);
}

void HistoryStore::failed(const std::string& what) {
  const std::string why = what + (_db ? std::string(": ") + sqlite3_errmsg(_db) : std::string());
  {
    std::lock_guard<std::mutex> hold(_lock);
    _healthy = false;
  }
  if (_saidProblem.empty()) notice("history is not kept: " + why + " (" + _path + ")");
  _saidProblem = why;
}

// --- the writer ---

void HistoryStore::writerMain() {
  int64_t nextOpenTry = 0;
  for (;;) {
    std::deque<Pending> batch;
    bool stopping;
    {
      // One transaction a second, sooner when someone waits for it.
      std::unique_lock<std::mutex> hold(_lock);
      _wake.wait_for(hold, std::chrono::milliseconds(_options.batchMs), [&] { return _stop || _flushWanted; });
      _flushWanted = false;
      batch.swap(_queue);
      stopping = _stop;
    }
    const int64_t now = _options.clock();
    if (!_db && systemClock() >= nextOpenTry) {
      if (!openFile()) nextOpenTry = systemClock() + 5000;
    }
    bool ok = false;
    if (_db) {
      loadGlances();
      ok = writeBatch(batch);
      if (ok) ok = sealDue(now);
      if (ok) pruneSome(now);
    }
    if (ok && !_saidProblem.empty()) {
      notice("history is kept again (" + _path + ")");
      _saidProblem.clear();
    }
    std::function<void()> written;
    {
      std::lock_guard<std::mutex> hold(_lock);
      _healthy = ok;
      ++_turns;
      written = _writtenSink;
    }
    _written.notify_all();
    if (ok && !batch.empty() && written) written();
    if (ok && !stopping) refreshUptimes(now, batch);
    if (stopping) {
      std::lock_guard<std::mutex> hold(_lock);
      if (_queue.empty()) break;
    }
  }
  closeFile();
  std::lock_guard<std::mutex> hold(_lock);
  _turns = UINT64_MAX;
  _written.notify_all();
}

// Fills the memory of contacts met since the last batch from the file:
// their last results before this run and the state they were in since.
void HistoryStore::loadGlances() {
  std::vector<std::pair<size_t, std::string>> unloaded;
  {
    std::lock_guard<std::mutex> hold(_lock);
    for (size_t handle = 0; handle < _memory.size(); ++handle)
      if (!_memory[handle].loaded) unloaded.emplace_back(handle, *_keys[handle]);
  }
  for (const auto& [handle, key] : unloaded) {
    const int64_t contact = contactId(_db, key);
    std::vector<RawResult> earlier;
    std::optional<Incident> open;
    if (contact) {
      earlier = newestResults(_db, contact, kGlanceResults);
      Statement find(_db, "SELECT start, verdict, text FROM incidents WHERE contact = ? AND end IS NULL"
                          " ORDER BY start DESC LIMIT 1");
      find.bind(1, contact);
      if (find.step())
        open = Incident{find.integer(0), 0, static_cast<Verdict>(std::clamp<int64_t>(find.integer(1), 0, 2)),
                        find.bytes(2)};
    }
    std::lock_guard<std::mutex> hold(_lock);
    Memory& memory = _memory[handle];
    memory.loaded = true;
    // What was recorded meanwhile is newer.
    const int64_t firstNew = memory.last.empty() ? INT64_MAX : memory.last.front().timeMs;
    for (auto it = earlier.rbegin(); it != earlier.rend() && memory.last.size() < kGlanceResults; ++it)
      if (it->timeMs < firstNew) memory.last.push_front(*it);
    if (open && (!memory.current || (memory.current->verdict == open->verdict && memory.current->startMs >= open->startMs)))
      memory.current = open;
  }
}

bool HistoryStore::openFile() {
  for (int attempt = 0; attempt < 2; ++attempt) {
    int result = sqlite3_open_v2(_path.c_str(), &_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
    if (result == SQLITE_OK) {
      sqlite3_busy_timeout(_db, 2000);
      // The schema, read whole once: a damaged file shows itself here.
      if (execute(_db, "PRAGMA journal_mode=WAL") && execute(_db, "PRAGMA synchronous=NORMAL") &&
          execute(_db, kSchema)) {
        // Damaged only when the check says so: an error of the moment
        // (busy, I/O) is no reason to set a year of history aside.
        Statement check(_db, "PRAGMA quick_check(1)");
        if (check.step()) {
          if (check.bytes(0) == "ok") break;
          result = SQLITE_CORRUPT;
        } else {
          result = check.result();
        }
      } else {
        result = sqlite3_extended_errcode(_db);
      }
    }
    if (attempt == 0 && damaged(result)) {
      setAside(sqlite3_errstr(result));
      continue;
    }
    failed("cannot open the history");
    closeFile();
    return false;
  }
  if (!_db) return false;
  // Contacts with results not yet packed, and their open incidents.
  Statement open(_db, "SELECT c.key, min(f.time), c.hold FROM fresh f JOIN contacts c ON c.id = f.contact GROUP BY f.contact");
  while (open.step()) {
    Tracked& tracked = _tracked[open.bytes(0)];
    tracked.segmentStart = floorTo(open.integer(1), kSegmentMs);
    tracked.holdMs = open.integer(2);
  }
  return true;
}

void HistoryStore::closeFile() {
  closeConnection(_db);
  _db = nullptr;
  _tracked.clear();
}

void HistoryStore::setAside(const std::string& why) {
  closeFile();
  {
    std::lock_guard<std::mutex> hold(_readLock);
    closeConnection(_reader);
    _reader = nullptr;
  }
  const std::string aside = _path + ".damaged-" + stamp(systemClock());
  // Its journal goes with it: it may hold the file's last commits.
  const bool moved = std::rename(_path.c_str(), aside.c_str()) == 0;
  if (moved) {
    std::rename((_path + "-wal").c_str(), (aside + "-wal").c_str());
    std::remove((_path + "-shm").c_str());
  }
  if (moved)
    notice("the history file was damaged (" + why + "): moved aside as " + aside + ", a new one begun");
  else
    notice("the history file is damaged (" + why + ") and could not be moved aside: " + _path);
}

bool HistoryStore::writeBatch(const std::deque<Pending>& batch) {
  if (!execute(_db, "BEGIN IMMEDIATE")) {
    failed("cannot write the history");
    return false;
  }
  if (!writeRows(batch)) {
    const int code = sqlite3_extended_errcode(_db);
    failed("cannot write the history");
    execute(_db, "ROLLBACK");
    // What the writer believed of the file may not hold after a rollback:
    // the open segments are read from it again.
    closeFile();
    if (damaged(code)) setAside(sqlite3_errstr(code));
    return false;
  }
  if (execute(_db, "COMMIT")) return true;
  const int code = sqlite3_extended_errcode(_db);
  failed("cannot write the history");
  execute(_db, "ROLLBACK");
  closeFile();
  if (damaged(code)) setAside(sqlite3_errstr(code));
  return false;
}

// The batch's rows, within the transaction writeBatch began; its
// statements are gone before writeBatch may close the file.
bool HistoryStore::writeRows(const std::deque<Pending>& batch) {
  Statement upsertContact(_db, "INSERT INTO contacts(key, hold) VALUES(?, ?)"
                               " ON CONFLICT(key) DO UPDATE SET hold = excluded.hold RETURNING id");
  Statement openIncident(_db, "SELECT start, verdict, text FROM incidents WHERE contact = ? AND end IS NULL"
                              " ORDER BY start DESC LIMIT 1");
  Statement insertFresh(_db, "INSERT INTO fresh(contact, time, verdict, duration, perf, hold) VALUES(?, ?, ?, ?, ?, ?)");
  // Every incident of the contact left open ends (another host on the file
  // may have begun one this one never saw).
  Statement endIncident(_db, "UPDATE incidents SET end = max(start, ?) WHERE contact = ? AND end IS NULL");
  Statement beginIncident(_db, "INSERT OR REPLACE INTO incidents(contact, start, end, verdict, text)"
                               " VALUES(?, ?, NULL, ?, ?)");
  bool ok = upsertContact.ok() && openIncident.ok() && insertFresh.ok() && endIncident.ok() && beginIncident.ok();
  for (const Pending& pending : batch) {
    if (!ok) break;
    if (pending.contact < 0) {
      // A rekey: the history moves unless the new key has one already.
      Statement move(_db, "UPDATE OR IGNORE contacts SET key = ? WHERE key = ?");
      move.bind(1, pending.text).bind(2, *pending.key);
      ok = move.run();
      const auto moved = _tracked.find(*pending.key);
      if (ok && moved != _tracked.end()) {
        _tracked[pending.text] = moved->second;
        _tracked.erase(*pending.key);
      }
      continue;
    }
    const std::string& key = *pending.key;
    Tracked& tracked = _tracked[key];
    if (tracked.id == 0 || tracked.holdMs != pending.holdMs) {
      upsertContact.reset();
      upsertContact.bind(1, key).bind(2, pending.holdMs);
      ok = upsertContact.step();
      if (!ok) break;
      tracked.id = upsertContact.integer(0);
      tracked.holdMs = pending.holdMs;
      ok = upsertContact.run();
    }
    if (ok && !tracked.openLoaded) {
      openIncident.reset();
      openIncident.bind(1, tracked.id);
      if (openIncident.step())
        tracked.open = Incident{openIncident.integer(0), 0,
                                static_cast<Verdict>(std::clamp<int64_t>(openIncident.integer(1), 0, 2)),
                                openIncident.bytes(2)};
      tracked.openLoaded = true;
    }
    const RawResult& result = pending.result;
    insertFresh.reset();
    insertFresh.bind(1, tracked.id).bind(2, result.timeMs).bind(3, static_cast<int64_t>(result.verdict))
        .bind(4, static_cast<int64_t>(result.durationMs)).bind(6, pending.holdMs);
    if (result.hasPerf && std::isfinite(result.perf)) insertFresh.bind(5, result.perf);
    ok = ok && insertFresh.run();
    if (ok && (!tracked.open || tracked.open->verdict != result.verdict)) {
      if (tracked.open) {
        endIncident.reset();
        endIncident.bind(1, result.timeMs).bind(2, tracked.id);
        ok = endIncident.run();
      }
      beginIncident.reset();
      beginIncident.bind(1, tracked.id).bind(2, result.timeMs).bind(3, static_cast<int64_t>(result.verdict))
          .bind(4, pending.text, true);
      ok = ok && beginIncident.run();
      tracked.open = Incident{result.timeMs, 0, result.verdict, pending.text};
    }
    // A result from before the open segment (the clock set back) opens
    // its own, earlier one.
    const int64_t segment = floorTo(result.timeMs, kSegmentMs);
    if (tracked.segmentStart < 0 || segment < tracked.segmentStart) tracked.segmentStart = segment;
  }
  return ok;
}

bool HistoryStore::sealDue(int64_t now) {
  bool any = false;
  for (auto& [key, tracked] : _tracked)
    if (tracked.id != 0 && tracked.segmentStart >= 0 &&
        now >= tracked.segmentStart + kSegmentMs + _options.segmentGraceMs)
      any = true;
  if (!any) return true;
  if (!execute(_db, "BEGIN IMMEDIATE")) {
    failed("cannot write the history");
    return false;
  }
  bool ok = true;
  for (auto& [key, tracked] : _tracked) {
    // A contact idle for a while may have several segments due.
    while (ok && tracked.id != 0 && tracked.segmentStart >= 0 &&
           now >= tracked.segmentStart + kSegmentMs + _options.segmentGraceMs)
      ok = seal(key, tracked);
    if (!ok) break;
  }
  if (ok && execute(_db, "COMMIT")) return true;
  const int code = sqlite3_extended_errcode(_db);
  failed("cannot write the history");
  execute(_db, "ROLLBACK");
  _tracked.clear();
  if (damaged(code)) {
    setAside(sqlite3_errstr(code));
  } else {
    // The contacts with fresh rows are found again from the file.
    closeFile();
  }
  return false;
}

// Packs one contact's open segment: its raw results into one row, its
// minutes into another, and brings its hour up to date; then drops its
// fresh rows and what of the contact is past keeping.
bool HistoryStore::seal(const std::string&, Tracked& tracked) {
  const int64_t start = tracked.segmentStart, end = start + kSegmentMs;
  // Everything of the segment, a packing of it from before a restart
  // included.
  std::vector<HeldResult> held = heldResults(_db, tracked.id, start, end);
  {
    Statement early(_db, "SELECT time, verdict, duration, perf, hold FROM fresh WHERE contact = ? AND time < ?"
                         " ORDER BY time, rowid");
    early.bind(1, tracked.id).bind(2, start);
    std::vector<HeldResult> before;
    // Late for a segment already packed: counted at this one's start.
    while (early.step()) {
      before.push_back(freshRow(early));
      before.back().result.timeMs = start;
    }
    held.insert(held.begin(), before.begin(), before.end());
  }
  std::optional<HeldResult> previous;
  if (tracked.lastSealed && tracked.lastSealed->timeMs < start)
    previous = HeldResult{*tracked.lastSealed, tracked.holdMs};
  else
    previous = resultBefore(_db, tracked.id, start);

  std::vector<RawResult> raw;
  raw.reserve(held.size());
  for (const HeldResult& one : held) raw.push_back(one.result);
  const std::vector<Rollup> minutes =
      rollUp(start, end, kMinuteMs, previous ? &*previous : nullptr, held);

  Statement putRaw(_db, "INSERT OR REPLACE INTO raw(contact, start, data) VALUES(?, ?, ?)");
  putRaw.bind(1, tracked.id).bind(2, start).bind(3, encodeResults(start, raw), true);
  if (!(raw.empty() || putRaw.run())) return false;

  // Its minutes go into its hour's row, beside the hour's other segments'.
  const int64_t hour = floorTo(start, kHourMs), day = floorTo(start, kDayMs);
  std::vector<Rollup> hourMinutes;
  {
    Statement read(_db, "SELECT data FROM minutes WHERE contact = ? AND start = ?");
    read.bind(1, tracked.id).bind(2, hour);
    if (read.step() && !decodeRollups(hour, kMinuteMs, read.bytes(0), &hourMinutes)) hourMinutes.clear();
  }
  hourMinutes.erase(std::remove_if(hourMinutes.begin(), hourMinutes.end(),
                                   [&](const Rollup& one) { return one.startMs >= start && one.startMs < end; }),
                    hourMinutes.end());
  hourMinutes.insert(hourMinutes.end(), minutes.begin(), minutes.end());
  std::sort(hourMinutes.begin(), hourMinutes.end(),
            [](const Rollup& a, const Rollup& b) { return a.startMs < b.startMs; });
  Statement putMinutes(_db, "INSERT OR REPLACE INTO minutes(contact, start, data) VALUES(?, ?, ?)");
  putMinutes.bind(1, tracked.id).bind(2, hour).bind(3, encodeRollups(hour, kMinuteMs, hourMinutes), true);
  if (!putMinutes.run()) return false;

  // The hour, from its minutes so far.
  Rollup whole;
  whole.startMs = hour;
  for (const Rollup& minute : hourMinutes) whole.merge(minute);
  std::vector<Rollup> hours;
  {
    Statement read(_db, "SELECT data FROM hours WHERE contact = ? AND start = ?");
    read.bind(1, tracked.id).bind(2, day);
    if (read.step() && !decodeRollups(day, kHourMs, read.bytes(0), &hours)) hours.clear();
  }
  hours.erase(std::remove_if(hours.begin(), hours.end(), [&](const Rollup& one) { return one.startMs == hour; }),
              hours.end());
  if (!whole.empty()) hours.push_back(whole);
  std::sort(hours.begin(), hours.end(), [](const Rollup& a, const Rollup& b) { return a.startMs < b.startMs; });
  Statement putHours(_db, "INSERT OR REPLACE INTO hours(contact, start, data) VALUES(?, ?, ?)");
  putHours.bind(1, tracked.id).bind(2, day).bind(3, encodeRollups(day, kHourMs, hours), true);
  if (!putHours.run()) return false;

  Statement drop(_db, "DELETE FROM fresh WHERE contact = ? AND time < ?");
  drop.bind(1, tracked.id).bind(2, end);
  if (!drop.run()) return false;

  if (!raw.empty() && (!tracked.lastSealed || raw.back().timeMs > tracked.lastSealed->timeMs))
    tracked.lastSealed = raw.back();
  Statement next(_db, "SELECT min(time) FROM fresh WHERE contact = ?");
  next.bind(1, tracked.id);
  tracked.segmentStart = next.step() && !next.null(0) ? floorTo(next.integer(0), kSegmentMs) : -1;
  return true;
}

// Drops what is past keeping for one contact a batch, in turn, so that the
// file keeps its bounds also for contacts that are gone.
void HistoryStore::pruneSome(int64_t now) {
  Statement pick(_db, "SELECT id FROM contacts WHERE id > ? ORDER BY id LIMIT 1");
  pick.bind(1, _pruneCursor);
  if (!pick.step()) {
    _pruneCursor = 0;
    return;
  }
  const int64_t contact = pick.integer(0);
  _pruneCursor = contact;
  if (!execute(_db, "BEGIN IMMEDIATE")) return;
  struct Cut {
    const char* sql;
    int64_t before;
  };
  const Cut cuts[] = {
      {"DELETE FROM raw WHERE contact = ? AND start < ?", now - _options.rawKeptMs - kSegmentMs},
      {"DELETE FROM minutes WHERE contact = ? AND start < ?", now - _options.minutesKeptMs - kHourMs},
      {"DELETE FROM hours WHERE contact = ? AND start < ?", now - _options.hoursKeptMs - kDayMs},
      {"DELETE FROM incidents WHERE contact = ? AND end IS NOT NULL AND end < ?", now - _options.incidentsKeptMs},
  };
  bool ok = true;
  for (const Cut& cut : cuts) {
    Statement drop(_db, cut.sql);
    drop.bind(1, contact).bind(2, cut.before);
    ok = ok && drop.run();
  }
  if (!(ok && execute(_db, "COMMIT"))) execute(_db, "ROLLBACK");
}

// Every contact's uptime once a minute, and a contact's first as soon as it
// has a result written.
void HistoryStore::refreshUptimes(int64_t now, const std::deque<Pending>& batch) {
  // Once a minute of real time: a simulated clock may run faster.
  const int64_t real = systemClock();
  const bool due = real >= _nextUptimeRefresh;
  if (due) _nextUptimeRefresh = real + kMinuteMs;
  std::vector<std::pair<size_t, std::string>> stale;
  {
    std::lock_guard<std::mutex> hold(_lock);
    if (due) {
      for (size_t handle = 0; handle < _keys.size(); ++handle) stale.emplace_back(handle, *_keys[handle]);
    } else {
      std::set<size_t> met;
      for (const Pending& pending : batch)
        if (pending.contact >= 0 && std::isnan(_memory[static_cast<size_t>(pending.contact)].uptime.day) &&
            met.insert(static_cast<size_t>(pending.contact)).second)
          stale.emplace_back(static_cast<size_t>(pending.contact), *_keys[static_cast<size_t>(pending.contact)]);
    }
  }
  for (const auto& [handle, key] : stale) {
    const Uptime fresh = uptime(key);
    std::lock_guard<std::mutex> hold(_lock);
    _memory[handle].uptime = fresh;
  }
}

// --- reads ---

bool HistoryStore::openReader() {
  if (_reader) return true;
  if (sqlite3_open_v2(_path.c_str(), &_reader, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    sqlite3_close_v2(_reader);
    _reader = nullptr;
    return false;
  }
  sqlite3_busy_timeout(_reader, 2000);
  return true;
}

// Runs read(contact id) on the readers' connection in one read
// transaction, for a contact the file knows; nothing for one it does not
// (or when there is no file yet).
void HistoryStore::readContact(const std::string& key, const std::function<void(int64_t)>& read) {
  std::lock_guard<std::mutex> hold(_readLock);
  if (!openReader()) return;
  const int64_t contact = contactId(_reader, key);
  if (!contact) return;
  execute(_reader, "BEGIN");
  read(contact);
  execute(_reader, "COMMIT");
}

std::vector<RawResult> HistoryStore::lastResults(const std::string& key, size_t count) {
  std::vector<RawResult> found;
  if (count > 0) readContact(key, [&](int64_t contact) { found = newestResults(_reader, contact, count); });
  return found;
}

std::vector<RawResult> HistoryStore::results(const std::string& key, int64_t fromMs, int64_t toMs) {
  std::vector<RawResult> found;
  readContact(key, [&](int64_t contact) {
    for (const HeldResult& one : heldResults(_reader, contact, fromMs, toMs)) found.push_back(one.result);
  });
  return found;
}

std::vector<Rollup> HistoryStore::rollups(const std::string& key, int64_t fromMs, int64_t toMs, int64_t bucketMs) {
  std::vector<Rollup> packed;
  if (bucketMs < kMinuteMs || toMs <= fromMs) return packed;
  const int64_t now = _options.clock();
  // Hours where minutes are no longer kept or are not needed.
  const bool hourly = bucketMs >= kHourMs || fromMs < now - _options.minutesKeptMs - kMinuteMs;
  readContact(key, [&](int64_t contact) {
    packed = hourly ? packedRollups(_reader, "hours", contact, kDayMs, kHourMs, fromMs, toMs)
                    : packedRollups(_reader, "minutes", contact, kHourMs, kMinuteMs, fromMs, toMs);
    // The span not yet packed: from the fresh rows, from the first of them
    // (a packed hour already holds its packed segments).
    Statement first(_reader, "SELECT min(time) FROM fresh WHERE contact = ?");
    first.bind(1, contact);
    if (first.step() && !first.null(0)) {
      const int64_t openFrom = std::max(floorTo(first.integer(0), kSegmentMs), floorTo(fromMs, kMinuteMs));
      const int64_t openTo = std::min(toMs, std::max(now, openFrom));
      if (openTo > openFrom) {
        const std::vector<HeldResult> held = heldResults(_reader, contact, openFrom, openTo);
        std::vector<HeldResult> fresh;
        for (const HeldResult& one : held)
          if (one.result.timeMs >= openFrom) fresh.push_back(one);
        const std::optional<HeldResult> before = resultBefore(_reader, contact, openFrom);
        for (const Rollup& rollup : rollUp(openFrom, openTo, kMinuteMs, before ? &*before : nullptr, fresh))
          packed.push_back(rollup);
      }
    }
  });
  const auto earlier = [](const Rollup& a, const Rollup& b) { return a.startMs < b.startMs; };
  if (!std::is_sorted(packed.begin(), packed.end(), earlier)) std::stable_sort(packed.begin(), packed.end(), earlier);
  // Minutes asked for as minutes are what was read.
  if (!hourly && bucketMs == kMinuteMs) return packed;
  return coarsen(packed, bucketMs);
}

Uptime HistoryStore::uptime(const std::string& key) {
  const int64_t now = _options.clock();
  Uptime uptime;
  uptime.day = ratioOf(rollups(key, now - kDayMs, now, kMinuteMs));
  uptime.week = ratioOf(rollups(key, now - 7 * kDayMs, now, kHourMs));
  uptime.month = ratioOf(rollups(key, now - 30 * kDayMs, now, kHourMs));
  return uptime;
}

std::vector<Incident> HistoryStore::incidents(const std::string& key, int64_t fromMs, size_t limit) {
  std::vector<Incident> found;
  readContact(key, [&](int64_t contact) {
    Statement read(_reader, "SELECT start, end, verdict, text FROM incidents WHERE contact = ?"
                            " AND (end IS NULL OR end >= ?) ORDER BY start DESC LIMIT ?");
    read.bind(1, contact).bind(2, fromMs).bind(3, static_cast<int64_t>(limit));
    while (read.step())
      found.push_back(Incident{read.integer(0), read.null(1) ? 0 : read.integer(1),
                               static_cast<Verdict>(std::clamp<int64_t>(read.integer(2), 0, 2)), read.bytes(3)});
  });
  return found;
}

HistoryGlance HistoryStore::glance(const std::string& key) const {
  std::lock_guard<std::mutex> hold(_lock);
  HistoryGlance glance;
  glance.uptime = Uptime{kUnknown, kUnknown, kUnknown};
  const auto found = _handles.find(key);
  if (found == _handles.end()) return glance;
  const Memory& memory = _memory[static_cast<size_t>(found->second)];
  glance.last.assign(memory.last.begin(), memory.last.end());
  glance.current = memory.current;
  glance.uptime = memory.uptime;
  return glance;
}

}  // namespace VardokHost
