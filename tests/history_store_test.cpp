// The history's packed series and its store, on a clock of the test's own.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include "host/history/history_store.h"
#include "host/history/perf_data.h"
#include "host/history/series_codec.h"

namespace VardokHost {
namespace {

constexpr int64_t kSecond = 1000, kMinute = 60 * kSecond, kHour = 60 * kMinute, kDay = 24 * kHour;
// A Monday at midnight, UTC.
constexpr int64_t kEpoch = 1796947200000;

RawResult result(int64_t time, Verdict verdict, int32_t duration = -1, std::optional<double> perf = {}) {
  RawResult one;
  one.timeMs = time;
  one.verdict = verdict;
  one.durationMs = duration;
  one.hasPerf = perf.has_value();
  one.perf = perf.value_or(0);
  return one;
}

void expectSame(const std::vector<RawResult>& expected, const std::vector<RawResult>& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("result " + std::to_string(i));
    EXPECT_EQ(expected[i].timeMs, actual[i].timeMs);
    EXPECT_EQ(expected[i].verdict, actual[i].verdict);
    EXPECT_EQ(expected[i].durationMs, actual[i].durationMs);
    EXPECT_EQ(expected[i].hasPerf, actual[i].hasPerf);
    if (expected[i].hasPerf) {
      EXPECT_NEAR(expected[i].perf, actual[i].perf, std::fabs(expected[i].perf) * 1e-7);
    }
  }
}

TEST(SeriesCodec, ResultsRoundTripWithTheirPerformanceValuesAndASteadyCheckCostsLittle) {
  std::vector<RawResult> mixed = {
      result(kEpoch + 5000, Verdict::Well, 12, 36.1),
      result(kEpoch + 10000, Verdict::Well, 15, 36.1),
      result(kEpoch + 15003, Verdict::Problem, 0, 0.012),
      result(kEpoch + 15003, Verdict::Critical, 2000000000),
      result(kEpoch + 599999, Verdict::Well, -1, -273.15),
      result(kEpoch + 600000, Verdict::Critical, 7, 1e40),
      result(kEpoch + 600001, Verdict::Well, 7, 123456789012.0),
      result(kEpoch + 600002, Verdict::Well, 7, 1.0 / 3.0),
  };
  std::vector<RawResult> decoded;
  ASSERT_TRUE(decodeResults(kEpoch, encodeResults(kEpoch, mixed), &decoded));
  expectSame(mixed, decoded);

  // A result before the base is kept at it.
  decoded.clear();
  ASSERT_TRUE(decodeResults(kEpoch, encodeResults(kEpoch, {result(kEpoch - 50, Verdict::Well)}), &decoded));
  EXPECT_EQ(kEpoch, decoded.at(0).timeMs);

  std::vector<RawResult> steady;
  std::mt19937 random(7);
  for (int i = 0; i < 120; ++i)
    steady.push_back(result(kEpoch + i * 5000 + static_cast<int>(random() % 20), Verdict::Well,
                            20 + static_cast<int32_t>(random() % 7), 0.02 + (random() % 5) / 1000.0));
  const std::string blob = encodeResults(kEpoch, steady);
  decoded.clear();
  ASSERT_TRUE(decodeResults(kEpoch, blob, &decoded));
  expectSame(steady, decoded);
  EXPECT_LE(blob.size(), steady.size() * 5) << "a steady check should cost about four bytes a result";
}

TEST(SeriesCodec, RollupsRoundTripAndABlobCutOrAlteredIsRefusedWithoutReadingPastIt) {
  std::vector<RawResult> results;
  for (int i = 0; i < 600; ++i)
    results.push_back(result(kEpoch + i * 1000, i % 97 == 0 ? Verdict::Critical : i % 31 == 0 ? Verdict::Problem : Verdict::Well,
                             i % 50, i % 3 ? std::optional<double>(i * 0.5) : std::nullopt));
  std::vector<HeldResult> held;
  for (const RawResult& one : results) held.push_back({one, 2 * kSecond});
  const std::vector<Rollup> minutes = rollUp(kEpoch, kEpoch + 10 * kMinute, kMinute, nullptr, held);
  ASSERT_EQ(10u, minutes.size());
  const std::string blob = encodeRollups(kEpoch, kMinute, minutes);
  std::vector<Rollup> decoded;
  ASSERT_TRUE(decodeRollups(kEpoch, kMinute, blob, &decoded));
  ASSERT_EQ(minutes.size(), decoded.size());
  for (size_t i = 0; i < minutes.size(); ++i) {
    SCOPED_TRACE("minute " + std::to_string(i));
    EXPECT_EQ(minutes[i].startMs, decoded[i].startMs);
    EXPECT_EQ(minutes[i].runs, decoded[i].runs);
    EXPECT_EQ(minutes[i].problems, decoded[i].problems);
    EXPECT_EQ(minutes[i].criticals, decoded[i].criticals);
    EXPECT_EQ(minutes[i].durationMin, decoded[i].durationMin);
    EXPECT_EQ(minutes[i].durationMax, decoded[i].durationMax);
    EXPECT_NEAR(minutes[i].durationMean, decoded[i].durationMean, 0.05);
    EXPECT_EQ(minutes[i].measured, decoded[i].measured);
    EXPECT_DOUBLE_EQ(minutes[i].perfMin, decoded[i].perfMin);
    // The mean to one digit finer than the least and the most.
    EXPECT_NEAR(minutes[i].perfMean, decoded[i].perfMean, 0.05 + std::fabs(minutes[i].perfMean) * 1e-7);
    EXPECT_DOUBLE_EQ(minutes[i].perfMax, decoded[i].perfMax);
    EXPECT_EQ(minutes[i].wellMs, decoded[i].wellMs);
    EXPECT_EQ(minutes[i].problemMs, decoded[i].problemMs);
    EXPECT_EQ(minutes[i].criticalMs, decoded[i].criticalMs);
  }

  const std::string raw = encodeResults(kEpoch, results);
  for (const std::string* whole : {&blob, &raw}) {
    for (size_t cut = 0; cut < whole->size(); ++cut) {
      const std::string part = whole->substr(0, cut);
      std::vector<Rollup> someRollups;
      std::vector<RawResult> someResults;
      EXPECT_FALSE(decodeRollups(kEpoch, kMinute, part, &someRollups) && decodeResults(kEpoch, part, &someResults))
          << "cut at " << cut;
    }
    std::mt19937 random(11);
    for (int round = 0; round < 2000; ++round) {
      std::string altered = *whole;
      altered[random() % altered.size()] = static_cast<char>(random());
      std::vector<Rollup> someRollups;
      std::vector<RawResult> someResults;
      decodeRollups(kEpoch, kMinute, altered, &someRollups);
      decodeResults(kEpoch, altered, &someResults);
    }
  }
}

TEST(Rollups, EachResultHoldsItsStateUntilTheNextOneAtMostItsHoldSplitOverTheSpans) {
  const HeldResult before{result(kEpoch - 30 * kSecond, Verdict::Critical), kMinute};
  const std::vector<HeldResult> held = {
      {result(kEpoch + 10 * kSecond, Verdict::Well, 100), kMinute},       // well 10 s .. 70 s (its hold)
      {result(kEpoch + 100 * kSecond, Verdict::Problem, 300), kMinute},   // problem 100 s .. 130 s
      {result(kEpoch + 130 * kSecond, Verdict::Well, 200), 10 * kMinute}, // well 130 s .. 180 s (the range's end)
  };
  const std::vector<Rollup> spans = rollUp(kEpoch, kEpoch + 3 * kMinute, kMinute, &before, held);
  ASSERT_EQ(3u, spans.size());
  // The result before the range reaches 30 s into it.
  EXPECT_EQ(10 * kSecond, spans[0].criticalMs);
  EXPECT_EQ(50 * kSecond, spans[0].wellMs);
  EXPECT_EQ(1u, spans[0].runs);
  EXPECT_EQ(10 * kSecond, spans[1].wellMs);
  EXPECT_EQ(20 * kSecond, spans[1].problemMs);
  EXPECT_EQ(30 * kSecond, spans[1].knownMs()) << "70 s .. 100 s is unknown: the well result's hold had passed";
  EXPECT_EQ(1u, spans[1].runs);
  EXPECT_EQ(1u, spans[1].problems);
  EXPECT_EQ(300, spans[1].durationMax);
  EXPECT_EQ(10 * kSecond, spans[2].problemMs);
  EXPECT_EQ(50 * kSecond, spans[2].wellMs);
  EXPECT_EQ(1u, spans[2].runs);
  EXPECT_EQ(0u, spans[2].problems);
  EXPECT_EQ(200, spans[2].durationMin);

  const std::vector<Rollup> whole = coarsen(spans, kHour);
  ASSERT_EQ(1u, whole.size());
  EXPECT_EQ(kEpoch, whole[0].startMs);
  EXPECT_EQ(3u, whole[0].runs);
  EXPECT_EQ(150 * kSecond, whole[0].knownMs());
  EXPECT_EQ(1u, whole[0].problems);
  EXPECT_DOUBLE_EQ(200, whole[0].durationMean);
}

TEST(PerfData, ItemsOfTheFirstLineAreReadInBaseUnits) {
  struct Row {
    const char* output;
    std::vector<PerfValue> expected;
  };
  const Row rows[] = {
      {"Disk C: 36.1% used | used=36.1%;85;95;0;100 'free space'=12GB;;;0 time=0.012s",
       {{"used", 0.361, "ratio"}, {"free space", 12.0 * 1073741824.0, "bytes"}, {"time", 0.012, "seconds"}}},
      {"OK | rtt=250ms t2=3us c=17c n=4 odd=5dBm", {{"rtt", 0.25, "seconds"}, {"t2", 3e-6, "seconds"},
                                                   {"c", 17, ""}, {"n", 4, ""}, {"odd", 5, ""}}},
      {"x | 'it''s'=1KB;2 B=-1.5e3B", {{"it's", 1024, "bytes"}, {"B", -1500, "bytes"}}},
      // Not numbers, no value, no label: left out, the rest read.
      {"x | a=U b= =3 c=1e400 d=nan e=0x10 f=7MB", {{"f", 7.0 * 1048576.0, "bytes"}}},
      {"no data here", {}},
      {"first line\n| on=1", {}},
      {"CRLF | r=2\r\n| s=3", {{"r", 2, ""}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.output);
    const std::vector<PerfValue> got = perfValues(row.output);
    ASSERT_EQ(row.expected.size(), got.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(row.expected[i].label, got[i].label);
      EXPECT_NEAR(row.expected[i].value, got[i].value, std::fabs(row.expected[i].value) * 1e-12);
      EXPECT_EQ(row.expected[i].unit, got[i].unit);
    }
  }
  EXPECT_EQ(1u, perfValues("x | a=1 b=2 c=3", 1).size());
}

// A store in a folder of the test's own, on a clock the test moves.
class HistoryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    _folder = std::filesystem::temp_directory_path() /
              ("vardok-history-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(_folder);
    std::filesystem::create_directories(_folder);
    _clock = kEpoch;
  }
  void TearDown() override {
    _store.reset();
    std::error_code ignored;
    std::filesystem::remove_all(_folder, ignored);
  }
  std::string path() const { return (_folder / "history.db").string(); }
  HistoryStore& open() {
    HistoryStore::Options options;
    options.clock = [this] { return _clock.load(); };
    options.batchMs = 5;
    _store = std::make_unique<HistoryStore>(path(), options);
    _store->setNoticeSink([this](const std::string& text) {
      std::lock_guard<std::mutex> hold(_noticesLock);
      _notices.push_back(text);
    });
    return *_store;
  }
  std::vector<std::string> notices() {
    std::lock_guard<std::mutex> hold(_noticesLock);
    return _notices;
  }
  // Records a check every step from the clock until until, its verdict by
  // time, then moves the clock there and lets the store catch up.
  void run(const std::string& key, int64_t until, int64_t step, const std::function<Verdict(int64_t)>& verdict,
           int64_t hold = kMinute) {
    const int contact = _store->contact(key);
    for (int64_t time = _clock; time < until; time += step) {
      _clock = time;
      _store->record(contact, result(time, verdict(time), 20, 0.5), hold, verdict(time) == Verdict::Well ? "OK" : "down");
    }
    _clock = until;
    ASSERT_TRUE(_store->flush());
    ASSERT_TRUE(_store->flush());
  }

  std::filesystem::path _folder;
  std::atomic<int64_t> _clock{0};
  std::unique_ptr<HistoryStore> _store;
  std::mutex _noticesLock;
  std::vector<std::string> _notices;
};

TEST_F(HistoryStoreTest, ResultsIncidentsRollupsAndUptimeReadBackAlsoAfterARestart) {
  open();
  // An hour at 5 s; critical from 20 to 26 minutes.
  auto down = [](int64_t time) {
    return time >= kEpoch + 20 * kMinute && time < kEpoch + 26 * kMinute ? Verdict::Critical : Verdict::Well;
  };
  run("a1", kEpoch + kHour, 5 * kSecond, down);

  for (int restarted = 0; restarted < 2; ++restarted) {
    SCOPED_TRACE(restarted ? "after a restart" : "first run");
    HistoryStore& store = *_store;
    const std::vector<RawResult> last = store.lastResults("a1", 60);
    ASSERT_EQ(60u, last.size());
    EXPECT_EQ(kEpoch + kHour - 5 * kSecond, last.back().timeMs);
    EXPECT_EQ(kEpoch + kHour - 300 * kSecond, last.front().timeMs);
    EXPECT_EQ(720u, store.results("a1", kEpoch, kEpoch + kHour).size());

    const std::vector<Incident> incidents = store.incidents("a1", kEpoch);
    ASSERT_EQ(3u, incidents.size());
    EXPECT_EQ(kEpoch + 26 * kMinute, incidents[0].startMs);
    EXPECT_EQ(0, incidents[0].endMs);
    EXPECT_EQ(Verdict::Critical, incidents[1].verdict);
    EXPECT_EQ(kEpoch + 20 * kMinute, incidents[1].startMs);
    EXPECT_EQ(kEpoch + 26 * kMinute, incidents[1].endMs);
    EXPECT_EQ("down", incidents[1].text);

    const std::vector<Rollup> minutes = store.rollups("a1", kEpoch, kEpoch + kHour, kMinute);
    ASSERT_EQ(60u, minutes.size());
    for (const Rollup& minute : minutes) EXPECT_EQ(12u, minute.runs);
    EXPECT_EQ(12u, minutes[20].criticals);
    EXPECT_EQ(kMinute, minutes[20].criticalMs);
    const std::vector<Rollup> hour = store.rollups("a1", kEpoch, kEpoch + kHour, kHour);
    ASSERT_EQ(1u, hour.size());
    EXPECT_EQ(720u, hour[0].runs);
    EXPECT_EQ(72u, hour[0].criticals);

    // 54 of 60 minutes well, the last result's hold reaching the clock.
    const Uptime uptime = store.uptime("a1");
    EXPECT_NEAR(54.0 / 60.0, uptime.day, 0.002);
    EXPECT_NEAR(uptime.day, uptime.week, 0.002);
    EXPECT_NEAR(uptime.day, uptime.month, 0.002);

    if (!restarted) {
      _store.reset();
      open();
      // The memory of a contact comes from the file once it is met.
      _store->contact("a1");
      ASSERT_TRUE(_store->flush());
      const HistoryGlance glance = _store->glance("a1");
      EXPECT_EQ(60u, glance.last.size());
      ASSERT_TRUE(glance.current);
      EXPECT_EQ(kEpoch + 26 * kMinute, glance.current->startMs);
    }
  }
  EXPECT_TRUE(notices().empty());
  EXPECT_TRUE(_store->lastResults("nobody", 10).empty());
}

TEST_F(HistoryStoreTest, RawResultsGoAfterTwoDaysMinutesAfterThirtyAndHoursAfterAYear) {
  open();
  // A check every 20 minutes for 400 days, critical on the first day.
  auto verdict = [](int64_t time) { return time < kEpoch + kDay ? Verdict::Critical : Verdict::Well; };
  for (int64_t day = 0; day < 400; day += 20) run("b1", kEpoch + (day + 20) * kDay, 2 * kHour, verdict, 3 * kHour);
  // Every contact's turn to be pruned comes.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(_store->flush());
  const int64_t now = kEpoch + 400 * kDay;
  HistoryStore& store = *_store;
  const std::vector<RawResult> raw = store.results("b1", 0, now);
  ASSERT_FALSE(raw.empty());
  EXPECT_GE(raw.front().timeMs, now - 2 * kDay - HistoryStore::kSegmentMs);
  const std::vector<Rollup> minutes = store.rollups("b1", now - 40 * kDay, now, kMinute);
  ASSERT_FALSE(minutes.empty());
  const std::vector<Rollup> hours = store.rollups("b1", 0, now, kHour);
  ASSERT_FALSE(hours.empty());
  EXPECT_GE(hours.front().startMs, now - 366 * kDay);
  EXPECT_LE(hours.front().startMs, now - 364 * kDay);
  // The first day's incident is past a year; the well one since lasts.
  const std::vector<Incident> incidents = store.incidents("b1", 0);
  ASSERT_EQ(1u, incidents.size());
  EXPECT_EQ(Verdict::Well, incidents[0].verdict);
  EXPECT_EQ(kEpoch + kDay, incidents[0].startMs);
  EXPECT_NEAR(1.0, store.uptime("b1").month, 1e-9);
}

TEST_F(HistoryStoreTest, ADamagedFileIsMovedAsideWithAWordAndANewOneBegun) {
  {
    std::ofstream damaged(path(), std::ios::binary);
    damaged << std::string(8192, 'x');
  }
  open();
  run("c1", kEpoch + kMinute, 5 * kSecond, [](int64_t) { return Verdict::Well; });
  EXPECT_EQ(12u, _store->lastResults("c1", 100).size());
  const std::vector<std::string> said = notices();
  ASSERT_EQ(1u, said.size());
  EXPECT_NE(std::string::npos, said[0].find("moved aside")) << said[0];
  int asides = 0;
  for (const auto& entry : std::filesystem::directory_iterator(_folder))
    if (entry.path().filename().string().rfind("history.db.damaged-", 0) == 0) ++asides;
  EXPECT_EQ(1, asides);
  EXPECT_TRUE(_store->healthy());
}

TEST_F(HistoryStoreTest, AFileDamagedWhileItIsWrittenIsMovedAsideAndTheWriterGoesOn) {
  open();
  run("e1", kEpoch + 2 * kMinute, kSecond, [](int64_t) { return Verdict::Well; });
  {
    // Everything into the main file, then the fresh rows' first page
    // overwritten, as a failing disk or a copy restored over it would.
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path().c_str(), &db));
    sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_stmt* root = nullptr;
    sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_master WHERE name = 'fresh'", -1, &root, nullptr);
    ASSERT_EQ(SQLITE_ROW, sqlite3_step(root));
    const int64_t page = sqlite3_column_int64(root, 0);
    sqlite3_finalize(root);
    sqlite3_close(db);
    std::fstream file(path(), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp((page - 1) * 4096);
    file.write(std::string(4096, '\x5A').data(), 4096);
  }
  _clock = kEpoch + 2 * kMinute;
  run("e1", kEpoch + 3 * kMinute, kSecond, [](int64_t) { return Verdict::Well; });
  run("e1", kEpoch + 4 * kMinute, kSecond, [](int64_t) { return Verdict::Well; });
  const std::vector<std::string> said = notices();
  ASSERT_FALSE(said.empty());
  bool movedAside = false;
  for (const std::string& text : said) movedAside = movedAside || text.find("moved aside") != std::string::npos;
  EXPECT_TRUE(movedAside) << said.front();
  EXPECT_TRUE(_store->healthy());
  EXPECT_FALSE(_store->lastResults("e1", 10).empty()) << "the new file takes the results that follow";
}

TEST_F(HistoryStoreTest, ARenamedContactTakesItsHistoryAndItsOldNameBeginsAnew) {
  open();
  run("name:Web", kEpoch + kMinute, 5 * kSecond, [](int64_t) { return Verdict::Critical; });
  _store->rekey("name:Web", "3f9c0a1b2c4d");
  run("3f9c0a1b2c4d", kEpoch + 2 * kMinute, 5 * kSecond, [](int64_t) { return Verdict::Critical; });
  // A new contact of the old name.
  run("name:Web", kEpoch + 3 * kMinute, 5 * kSecond, [](int64_t) { return Verdict::Well; });
  EXPECT_EQ(24u, _store->lastResults("3f9c0a1b2c4d", 100).size());
  const std::vector<RawResult> fresh = _store->lastResults("name:Web", 100);
  ASSERT_EQ(12u, fresh.size());
  for (const RawResult& one : fresh) EXPECT_EQ(Verdict::Well, one.verdict);
  ASSERT_EQ(1u, _store->incidents("3f9c0a1b2c4d", 0).size());
  EXPECT_EQ(Verdict::Critical, _store->glance("3f9c0a1b2c4d").current->verdict);
  EXPECT_EQ(Verdict::Well, _store->glance("name:Web").current->verdict);
}

TEST_F(HistoryStoreTest, TwoWritersOnOneFileLeaveOneIncidentOpen) {
  open();
  run("d1", kEpoch + kMinute, 5 * kSecond, [](int64_t) { return Verdict::Well; });
  {
    // Another host on the file sees the contact critical once.
    HistoryStore::Options options;
    options.clock = [this] { return _clock.load(); };
    options.batchMs = 5;
    HistoryStore other(path(), options);
    other.record(other.contact("d1"), result(kEpoch + kMinute, Verdict::Critical), kMinute, "down");
    ASSERT_TRUE(other.flush());
  }
  _clock = kEpoch + kMinute + 5 * kSecond;
  run("d1", kEpoch + 2 * kMinute, 5 * kSecond, [](int64_t) { return Verdict::Critical; });
  run("d1", kEpoch + 3 * kMinute, 5 * kSecond, [](int64_t) { return Verdict::Well; });
  const std::vector<Incident> incidents = _store->incidents("d1", 0);
  size_t open = 0;
  for (const Incident& incident : incidents) open += incident.endMs == 0;
  EXPECT_EQ(1u, open) << incidents.size() << " incidents";
  EXPECT_EQ(Verdict::Well, incidents.at(0).verdict);
  EXPECT_EQ(0, incidents.at(0).endMs);
}

}  // namespace
}  // namespace VardokHost
