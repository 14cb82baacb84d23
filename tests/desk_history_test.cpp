// The desk host's history pictures, the parts that need no window on a
// screen: the sparkline's layout, the chart's scale, the words for how
// long a state lasted, the notices carried from the history's writer
// thread to the main thread, and the History windows' reader, which reads
// the file on a thread of its own and hands each answer to the window that
// asked, or to nobody once that window has gone. Runs without a display
// (message-only windows take the posted messages).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/desk/history_chart.h"
#include "host/desk/history_notices.h"
#include "host/desk/history_reader.h"
#include "host/desk/history_window.h"
#include "host/desk/sparkline.h"
#include "host/history/history_store.h"
#include "tests/plugin_fixture.h"

using namespace VardokHost;

namespace {

RawResult resultOf(Verdict verdict, int32_t durationMs, int64_t timeMs = 0) {
  RawResult result;
  result.timeMs = timeMs;
  result.verdict = verdict;
  result.durationMs = durationMs;
  return result;
}

// One bar a result, oldest at the left, two pixels wide a step of three,
// standing on the bottom; as high as the run took against the longest
// shown, half high when unknown, never under two pixels.
TEST(Sparkline, OneBarAResultByItsClassAndItsRunsLength) {
  const std::vector<RawResult> results = {resultOf(Verdict::Well, 100), resultOf(Verdict::Problem, 50),
                                          resultOf(Verdict::Critical, -1), resultOf(Verdict::Well, 0),
                                          resultOf(Verdict::Critical, 200)};
  const RECT area{10, 20, 200, 40};  // 20 pixels high
  const std::vector<SparkBar> bars = sparkBars(results, area);
  ASSERT_EQ(bars.size(), results.size());
  const int heights[] = {10, 5, 10, 2, 20};
  for (size_t i = 0; i < bars.size(); ++i) {
    EXPECT_EQ(bars[i].verdict, results[i].verdict) << i;
    EXPECT_EQ(bars[i].box.left, 10 + static_cast<int>(i) * kSparkBarStep) << i;
    EXPECT_EQ(bars[i].box.right - bars[i].box.left, kSparkBarWidth) << i;
    EXPECT_EQ(bars[i].box.bottom, 40) << i;
    EXPECT_EQ(bars[i].box.bottom - bars[i].box.top, heights[i]) << i;
  }
  EXPECT_EQ(sparklineWidth(60), 59 * kSparkBarStep + kSparkBarWidth);
  // Nothing timed: every bar half high.
  for (const SparkBar& bar : sparkBars({resultOf(Verdict::Well, -1), resultOf(Verdict::Well, 0)}, area))
    EXPECT_EQ(bar.box.bottom - bar.box.top, 10);
}

TEST(Sparkline, ANarrowAreaShowsTheNewestResults) {
  std::vector<RawResult> results;
  for (int i = 0; i < 60; ++i) results.push_back(resultOf(i % 2 ? Verdict::Critical : Verdict::Well, 10 + i, i));
  const RECT area{0, 0, sparklineWidth(10), 12};
  const std::vector<SparkBar> bars = sparkBars(results, area);
  ASSERT_EQ(bars.size(), 10u);
  // The last ten, the newest at the right edge.
  EXPECT_EQ(bars.back().box.right, area.right);
  EXPECT_EQ(bars.back().verdict, Verdict::Critical);
  EXPECT_EQ(bars.front().verdict, Verdict::Well);  // result 50
  // Weighed against the longest of those shown (69 ms): it stands full.
  EXPECT_EQ(bars.back().box.top, 0);
  EXPECT_TRUE(sparkBars(results, RECT{0, 0, 1, 12}).empty());
  EXPECT_TRUE(sparkBars({}, area).empty());
}

TEST(HistoryChart, TheScaleEndsOnARoundRunTime) {
  EXPECT_EQ(niceCeiling(0), 1);
  EXPECT_EQ(niceCeiling(1), 1);
  EXPECT_EQ(niceCeiling(3), 5);
  EXPECT_EQ(niceCeiling(180), 200);
  EXPECT_EQ(niceCeiling(200), 200);
  EXPECT_EQ(niceCeiling(201), 500);
  EXPECT_EQ(niceCeiling(7000), 10000);
  EXPECT_EQ(runTimeLabel(0), L"0");
  EXPECT_EQ(runTimeLabel(50), L"50 ms");
  EXPECT_EQ(runTimeLabel(2.5), L"2.5 ms");
  EXPECT_EQ(runTimeLabel(1500), L"1.5 s");
  EXPECT_EQ(runTimeLabel(120000), L"2 min");
}

TEST(HistoryWindow, HowLongAStateLastedInWords) {
  EXPECT_EQ(lastedWords(0), "0 s");
  EXPECT_EQ(lastedWords(45 * 1000), "45 s");
  EXPECT_EQ(lastedWords(3 * 60 * 1000 + 20 * 1000), "3 min");
  EXPECT_EQ(lastedWords((2 * 3600 + 5 * 60 + 13) * 1000LL), "2 h 5 min");
  EXPECT_EQ(lastedWords(3 * 24 * 3600 * 1000LL), "3 days");
  EXPECT_EQ(lastedWords(-5), "0 s");
}

// A window of messages only, which no display is needed for.
struct MessageWindow {
  MessageWindow() : window(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr)) {}
  ~MessageWindow() {
    if (window) DestroyWindow(window);
  }
  // Waits (10 s at most) for a message of this window; false when none came.
  bool waitFor(UINT message) {
    const DWORD start = GetTickCount();
    MSG got;
    while (GetTickCount() - start < 10000) {
      if (PeekMessageW(&got, window, message, message, PM_REMOVE)) return true;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_POSTMESSAGE);
    }
    return false;
  }
  // The messages of this kind waiting now, taken.
  int waiting(UINT message) {
    int count = 0;
    MSG got;
    while (PeekMessageW(&got, window, message, message, PM_REMOVE)) ++count;
    return count;
  }
  HWND window;
};

constexpr UINT kTake = WM_APP + 11;

// Said on other threads, each notice reaches the main thread once, in the
// order said, with one message for however many came before a take.
TEST(HistoryNotices, EachNoticeReachesTheMainThreadOnceInOrder) {
  MessageWindow target;
  ASSERT_TRUE(target.window);
  HistoryNotices notices;
  notices.setTarget(target.window, kTake);
  const auto sink = notices.sink();
  std::thread writer([&] {
    for (int i = 0; i < 5; ++i) sink("notice " + std::to_string(i));
  });
  writer.join();
  ASSERT_TRUE(target.waitFor(kTake));
  EXPECT_EQ(target.waiting(kTake), 0) << "a message for each notice";
  const std::vector<std::string> taken = notices.take();
  ASSERT_EQ(taken.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(taken[static_cast<size_t>(i)], "notice " + std::to_string(i));
  EXPECT_TRUE(notices.take().empty());
  // Taken: the next notice posts again.
  sink("again");
  EXPECT_TRUE(target.waitFor(kTake));
  EXPECT_EQ(notices.take(), std::vector<std::string>{"again"});
}

// The store may speak while the host ends: with no window, nothing is
// posted, and a sink that outlives its carrier still takes the notice.
TEST(HistoryNotices, ANoticeWithoutItsWindowOrItsCarrierReachesNothingGone) {
  MessageWindow target;
  std::function<void(const std::string&)> sink;
  {
    HistoryNotices notices;
    notices.setTarget(target.window, kTake);
    sink = notices.sink();
    notices.setTarget(nullptr, 0);
    sink("history is not kept: disk full");
    EXPECT_EQ(target.waiting(kTake), 0);
    EXPECT_EQ(notices.take().size(), 1u);
    // Waiting when a window comes: posted to it then.
    sink("kept again");
    notices.setTarget(target.window, kTake);
    EXPECT_TRUE(target.waitFor(kTake));
    EXPECT_EQ(notices.take(), std::vector<std::string>{"kept again"});
  }
  sink("after the carrier went");  // the queue is the sink's too
  for (size_t i = 0; i < 2 * HistoryNotices::kKept; ++i) sink("many");
  EXPECT_EQ(target.waiting(kTake), 0) << "posted to a window after its carrier went";
}

class HistoryReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = VardokTest::uniqueTempFile("vardok-desk-history-reader", ".db");
    removeFiles();
    store = std::make_unique<HistoryStore>(path);
    // An hour of a check every 30 s, a critical stretch in its middle.
    const int handle = store->contact("name:Reader");
    const int64_t now = store->now();
    for (int i = 120; i > 0; --i) {
      RawResult result = resultOf(i >= 60 && i < 64 ? Verdict::Critical : Verdict::Well, 100 + i, now - i * 30000LL);
      store->record(handle, result, 60000, i >= 60 && i < 64 ? "down" : "up");
    }
    ASSERT_TRUE(store->flush());
  }
  void TearDown() override {
    store.reset();
    removeFiles();
  }
  void removeFiles() {
    for (const char* end : {"", "-wal", "-shm"}) DeleteFileA((path + end).c_str());
  }
  HistoryQuery query(uint64_t serial, int64_t spanMs = HistoryStore::kHourMs) {
    HistoryQuery asked;
    asked.key = "name:Reader";
    asked.spanMs = spanMs;
    asked.bucketMs = HistoryStore::kMinuteMs;
    asked.serial = serial;
    return asked;
  }

  std::string path;
  std::unique_ptr<HistoryStore> store;
};

// The answer comes to the window that asked, read from the file: the
// hour's rollups, its changes of state and the uptime.
TEST_F(HistoryReaderTest, TheAnswerComesToTheWindowThatAsked) {
  MessageWindow window;
  HistoryReader reader(*store);
  const auto replies = std::make_shared<HistoryReplies>(window.window, kTake);
  reader.ask(replies, query(1));
  ASSERT_TRUE(window.waitFor(kTake));
  const std::optional<HistoryAnswer> answer = replies->take();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->query.serial, 1u);
  Rollup whole;
  for (const Rollup& one : answer->rollups) whole.merge(one);
  EXPECT_EQ(whole.runs, 120u);
  EXPECT_EQ(whole.criticals, 4u);
  EXPECT_EQ(whole.durationMax, 220);
  // Newest first: well again, the critical stretch, well before it.
  ASSERT_EQ(answer->incidents.size(), 3u);
  EXPECT_EQ(answer->incidents[0].verdict, Verdict::Well);
  EXPECT_EQ(answer->incidents[0].endMs, 0);
  EXPECT_EQ(answer->incidents[1].verdict, Verdict::Critical);
  EXPECT_EQ(answer->incidents[1].text, "down");
  EXPECT_GT(answer->uptime.day, 0.9);
  EXPECT_LT(answer->uptime.day, 1.0);
  EXPECT_FALSE(replies->take()) << "an answer is taken once";
}

// A window that went before its answer was read: its reply box is closed,
// nothing is posted to it and nothing waits in the box; the next window's
// read (asked after it, read after it) comes as it should.
TEST_F(HistoryReaderTest, AnAnswerForAWindowThatWentIsDropped) {
  MessageWindow gone, next;
  HistoryReader reader(*store);
  const auto goneReplies = std::make_shared<HistoryReplies>(gone.window, kTake);
  const auto nextReplies = std::make_shared<HistoryReplies>(next.window, kTake);
  reader.ask(goneReplies, query(1, 30 * HistoryStore::kDayMs));
  goneReplies->close();
  reader.ask(nextReplies, query(2));
  ASSERT_TRUE(next.waitFor(kTake));
  ASSERT_TRUE(nextReplies->take());
  // Read in the order asked: the closed box's read is over by now.
  EXPECT_EQ(gone.waiting(kTake), 0);
  EXPECT_FALSE(goneReplies->take());
}

// A window flipping through its ranges gets the last one asked last,
// whatever was read on the way.
TEST_F(HistoryReaderTest, TheLastAskedIsTheLastAnswered) {
  MessageWindow window;
  HistoryReader reader(*store);
  const auto replies = std::make_shared<HistoryReplies>(window.window, kTake);
  for (uint64_t serial = 1; serial <= 4; ++serial) reader.ask(replies, query(serial, serial * HistoryStore::kHourMs));
  uint64_t last = 0;
  int answers = 0;
  while (last != 4 && window.waitFor(kTake))
    if (const std::optional<HistoryAnswer> answer = replies->take()) {
      EXPECT_GT(answer->query.serial, last) << "an older answer after a newer one";
      last = answer->query.serial;
      ++answers;
    }
  EXPECT_EQ(last, 4u);
  EXPECT_LE(answers, 4);
}

// The reader goes with reads still asked: the one in progress ends, the
// rest are dropped, and nothing is posted afterwards.
TEST_F(HistoryReaderTest, GoingWithReadsAskedItPostsNothingAfter) {
  MessageWindow window;
  const auto replies = std::make_shared<HistoryReplies>(window.window, kTake);
  std::vector<std::shared_ptr<HistoryReplies>> others;
  {
    HistoryReader reader(*store);
    for (int i = 0; i < 20; ++i) {
      others.push_back(std::make_shared<HistoryReplies>(window.window, kTake));
      reader.ask(others.back(), query(static_cast<uint64_t>(i), 30 * HistoryStore::kDayMs));
    }
  }
  int answered = 0;
  for (const auto& box : others) answered += box->take() ? 1 : 0;
  const int posted = window.waiting(kTake);
  EXPECT_EQ(posted, answered) << "a message without its answer, or an answer without its message";
}

}  // namespace
