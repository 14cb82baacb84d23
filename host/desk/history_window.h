// A contact's History window (Ctrl+H, or History... in the contact menu):
//  - the state the contact is in and how long it has lasted ("Critical
//    for 3 min, since 2026-12-09 14:02"), from the history's memory, kept
//    current each second;
//  - its uptime over 24 h, 7 d and 30 d;
//  - the chart of its run times (history_chart.h) over the last hour,
//    24 hours, 7 days or 30 days, chosen with the buttons above it, and a
//    line that sums that window up (results, failures, run times);
//  - its changes of state in that window, newest first: when each began,
//    the state, how long it lasted and the status text that began it.
//
// The chart, the sums, the uptime and the changes are read from the file
// by the HistoryReader on its thread and come back as a message to this
// window; it reads again when another range is chosen, and when the
// contact has reported (at most every two seconds, one read at a time).
// A window closed while a read is on its way closes its reply box first,
// so the answer is dropped. Main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <windows.h>

#include "host/desk/history_chart.h"
#include "host/desk/history_reader.h"
#include "host/desk/ui_handles.h"

namespace VardokHost {

class DeskHost;

// The window's controls, by id.
enum HistoryControl : int {
  kHistoryStateId = 10,    // the present state and how long it has lasted
  kHistoryUptimeId,        // the uptime line
  kHistoryChartId,         // the chart
  kHistorySumsId,          // the line under the chart
  kHistoryChangesId,       // the list of changes of state
  kHistoryRangeFirst = 20, // the range buttons: 1 h, 24 h, 7 d, 30 d
};

// The ranges the window offers.
struct HistoryRange {
  const wchar_t* label;  // on its button
  const char* words;     // in the sums: "in the last 24 h"
  int64_t spanMs;
  int64_t bucketMs;      // the chart's spans
};
constexpr int64_t kHistoryMinuteMs = 60 * 1000, kHistoryHourMs = 60 * kHistoryMinuteMs,
                  kHistoryDayMs = 24 * kHistoryHourMs;
constexpr HistoryRange kHistoryRanges[] = {
    {L"1 h", "hour", kHistoryHourMs, kHistoryMinuteMs},
    {L"24 h", "24 h", kHistoryDayMs, 10 * kHistoryMinuteMs},
    {L"7 d", "7 days", 7 * kHistoryDayMs, kHistoryHourMs},
    {L"30 d", "30 days", 30 * kHistoryDayMs, 6 * kHistoryHourMs},
};
constexpr size_t kHistoryRangeCount = sizeof kHistoryRanges / sizeof kHistoryRanges[0];
constexpr size_t kHistoryDefaultRange = 1;  // 24 h

// "45 s", "3 min", "2 h 5 min", "about 2.5 days": how long a state lasted.
std::string lastedWords(int64_t ms);

class HistoryWindow {
 public:
  HistoryWindow(DeskHost& desk, HistoryReader& reader, int row, const std::string& contactName);
  ~HistoryWindow();
  HistoryWindow(const HistoryWindow&) = delete;
  HistoryWindow& operator=(const HistoryWindow&) = delete;

  HWND window() const { return _window; }
  // The contact reported: its state's line now, the rest read again soon.
  void contactReported();
  // Shows another range (an index into kHistoryRanges), reading it.
  void showRange(size_t range);
  size_t range() const { return _range; }

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT onMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void build();
  void layout();
  HWND addControl(const wchar_t* windowClass, const std::wstring& text, DWORD style, int id, HFONT font);
  // Asks the reader for the range shown.
  void ask();
  void takeAnswer();
  void showAnswer(const HistoryAnswer& answer);
  // The state line, from the history's memory.
  void showState();
  // Each second: the state's length, and a read the contact's reports wait for.
  void tick();

  DeskHost& _desk;
  HistoryReader& _reader;
  const int _row;
  HWND _window = nullptr;
  HWND _state = nullptr, _uptime = nullptr, _sums = nullptr, _changesLabel = nullptr, _changes = nullptr;
  HWND _ranges[kHistoryRangeCount] = {};
  HistoryChart _chart;
  FontHandle _font, _bold;
  std::shared_ptr<HistoryReplies> _replies;
  size_t _range = kHistoryDefaultRange;
  uint64_t _serial = 0;      // of the last read asked
  bool _reading = false;     // a read of the range shown is on its way
  bool _stale = false;       // the contact reported since that read was asked
  DWORD _askedAt = 0;        // GetTickCount of the last ask
};

}  // namespace VardokHost
