#include "host/desk/history_window.h"

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cwctype>

#include "host/desk/desk_host.h"
#include "host/desk/desk_ui.h"
#include "host/lib/display_text.h"
#include "host/lib/host_text.h"

namespace VardokHost {

namespace {

constexpr wchar_t kHistoryClass[] = L"VardokHistory";
constexpr UINT kAnswerMessage = WM_APP + 1;
constexpr UINT_PTR kTickTimer = 1;
// Reports read again at most this often.
constexpr DWORD kRereadMs = 2000;
constexpr int kMargin = 12, kLineHeight = 18, kButtonWidth = 56, kButtonHeight = 24;
constexpr int kLeastWidth = 560, kLeastHeight = 460;
enum ChangeColumn : int { kBegan, kState, kLasted, kText };

std::wstring windowTextOf(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  GetWindowTextW(window, &text[0], length + 1);
  text.resize(static_cast<size_t>(std::max(0, length)));
  return text;
}

}  // namespace

std::string lastedWords(int64_t ms) {
  const int64_t seconds = std::max<int64_t>(0, ms) / 1000;
  if (seconds < 120) return intervalWords(seconds);
  if (seconds < 3600) return std::to_string(seconds / 60) + " min";
  // Whole minutes from an hour on: "2 h 5 min", not "2 h 5 min 13 s".
  return intervalWords(seconds / 60 * 60);
}

HistoryWindow::HistoryWindow(DeskHost& desk, HistoryReader& reader, int row, const std::string& contactName)
    : _desk(desk), _reader(reader), _row(row) {
  registerWindowClass(kHistoryClass, windowProc, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  _font.reset(createUiFont(false));
  _bold.reset(createUiFont(true));
  _window = CreateWindowExW(0, kHistoryClass, (wideFromUtf8(contactName) + L" - History").c_str(),
                            WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 80, 60, 780, 620, desk.mainWindow(), nullptr,
                            GetModuleHandleW(nullptr), this);
  if (!_window) return;
  _replies = std::make_shared<HistoryReplies>(_window, kAnswerMessage);
  build();
  addDialogWindow(_window);
  showState();
  showRange(_range);
  SetTimer(_window, kTickTimer, 1000, nullptr);
  ShowWindow(_window, SW_SHOWNORMAL);
}

HistoryWindow::~HistoryWindow() {
  if (_replies) _replies->close();
  if (_window) {
    removeDialogWindow(_window);
    SetWindowLongPtrW(_window, GWLP_USERDATA, 0);
    DestroyWindow(_window);
  }
}

HWND HistoryWindow::addControl(const wchar_t* windowClass, const std::wstring& text, DWORD style, int id, HFONT font) {
  HWND control = CreateWindowExW(0, windowClass, text.c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, _window,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  return control;
}

void HistoryWindow::build() {
  // The range buttons, one group: the arrows move between them.
  for (size_t i = 0; i < kHistoryRangeCount; ++i)
    _ranges[i] = addControl(L"BUTTON", kHistoryRanges[i].label,
                            BS_AUTORADIOBUTTON | BS_PUSHLIKE | (i == 0 ? WS_GROUP | WS_TABSTOP : 0),
                            kHistoryRangeFirst + static_cast<int>(i), _font.get());
  _state = addControl(L"STATIC", L"", SS_LEFT | SS_NOPREFIX | WS_GROUP, kHistoryStateId, _bold.get());
  _uptime = addControl(L"STATIC", L"", SS_LEFT | SS_NOPREFIX, kHistoryUptimeId, _font.get());
  _chart.create(_window, kHistoryChartId, _font.get());
  _sums = addControl(L"STATIC", L"", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, kHistorySumsId, _font.get());
  _changesLabel = addControl(L"STATIC", L"Changes of state (newest first)", SS_LEFT, 0, _font.get());
  _changes = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                             WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_GROUP | LVS_REPORT | LVS_NOSORTHEADER |
                                 LVS_SHOWSELALWAYS | LVS_SINGLESEL,
                             0, 0, 0, 0, _window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kHistoryChangesId)),
                             GetModuleHandleW(nullptr), nullptr);
  SendMessageW(_changes, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP);
  addListColumns(_changes, {{L"Began", 130}, {L"State", 70}, {L"Lasted", 120}, {L"Status text", 400}});
  SendMessageW(_changes, WM_SETFONT, reinterpret_cast<WPARAM>(_font.get()), TRUE);
  layout();
}

void HistoryWindow::layout() {
  RECT client;
  GetClientRect(_window, &client);
  const int width = std::max<int>(0, client.right - 2 * kMargin);
  int y = kMargin;
  for (size_t i = 0; i < kHistoryRangeCount; ++i)
    MoveWindow(_ranges[i], kMargin + static_cast<int>(i) * (kButtonWidth + 4), y, kButtonWidth, kButtonHeight, TRUE);
  y += kButtonHeight + 10;
  MoveWindow(_state, kMargin, y, width, kLineHeight, TRUE);
  y += kLineHeight + 2;
  MoveWindow(_uptime, kMargin, y, width, kLineHeight, TRUE);
  y += kLineHeight + 8;
  // The chart takes half of what is left, the changes the rest.
  const int rest = client.bottom - y - kMargin - 2 * (kLineHeight + 4);
  const int chartHeight = std::max(160, rest * 55 / 100);
  MoveWindow(_chart.window(), kMargin, y, width, chartHeight, TRUE);
  y += chartHeight + 4;
  MoveWindow(_sums, kMargin, y, width, kLineHeight, TRUE);
  y += kLineHeight + 8;
  MoveWindow(_changesLabel, kMargin, y, width, kLineHeight, TRUE);
  y += kLineHeight + 2;
  MoveWindow(_changes, kMargin, y, width, std::max(40, static_cast<int>(client.bottom) - y - kMargin), TRUE);
}

void HistoryWindow::showRange(size_t range) {
  if (range >= kHistoryRangeCount || !_window) return;
  _range = range;
  for (size_t i = 0; i < kHistoryRangeCount; ++i)
    SendMessageW(_ranges[i], BM_SETCHECK, i == range ? BST_CHECKED : BST_UNCHECKED, 0);
  _chart.say(L"Reading the history...");
  SetWindowTextW(_sums, L"Reading the history...");
  ask();
}

void HistoryWindow::ask() {
  const std::string key = _desk.historyKeyOfRow(_row);
  if (key.empty()) return;  // the contact has gone; its window goes with it
  HistoryQuery query;
  query.key = key;
  query.spanMs = kHistoryRanges[_range].spanMs;
  query.bucketMs = kHistoryRanges[_range].bucketMs;
  query.serial = ++_serial;
  _reading = true;
  _stale = false;
  _askedAt = GetTickCount();
  _reader.ask(_replies, query);
}

void HistoryWindow::contactReported() {
  showState();
  _stale = true;
}

void HistoryWindow::tick() {
  showState();
  if (_stale && !_reading && GetTickCount() - _askedAt >= kRereadMs) ask();
}

void HistoryWindow::takeAnswer() {
  const std::optional<HistoryAnswer> answer = _replies->take();
  // An answer to a range no longer shown is passed over: the read of the
  // one shown is on its way.
  if (!answer || answer->query.serial != _serial) return;
  _reading = false;
  showAnswer(*answer);
}

void HistoryWindow::showState() {
  const HistoryStore* history = _desk.history();
  const std::string key = _desk.historyKeyOfRow(_row);
  if (!history || key.empty()) return;
  const HistoryGlance glance = history->glance(key);
  std::wstring line = L"No result recorded yet.";
  if (glance.current) {
    std::wstring word = wideFromUtf8(verdictWord(glance.current->verdict));
    word[0] = static_cast<wchar_t>(towupper(word[0]));
    if (glance.current->verdict == Verdict::Problem) word = L"A problem";
    line = word + L" for " + wideFromUtf8(lastedWords(history->now() - glance.current->startMs)) + L", since " +
           wideFromUtf8(localStamp(glance.current->startMs));
  }
  if (line != windowTextOf(_state)) SetWindowTextW(_state, line.c_str());
}

void HistoryWindow::showAnswer(const HistoryAnswer& answer) {
  const HistoryRange& range = kHistoryRanges[_range];
  SetWindowTextW(_uptime, wideFromUtf8("Uptime: " + uptimeText(answer.uptime.day) + " over 24 h, " +
                                       uptimeText(answer.uptime.week) + " over 7 days, " +
                                       uptimeText(answer.uptime.month) + " over 30 days")
                              .c_str());
  _chart.show(answer.nowMs - answer.query.spanMs, answer.nowMs, answer.query.bucketMs, answer.rollups);

  Rollup whole;
  for (const Rollup& one : answer.rollups) whole.merge(one);
  std::string sums = std::to_string(whole.runs) + (whole.runs == 1 ? " result" : " results") + " in the last " +
                     range.words;
  if (whole.runs) {
    sums += ": " + std::to_string(whole.problems) + " with a problem, " + std::to_string(whole.criticals) + " critical";
    if (whole.timed)
      sums += "; run time " + runTimeWords(whole.durationMin) + " least, " + runTimeWords(whole.durationMean) +
              " mean, " + runTimeWords(whole.durationMax) + " most";
  }
  SetWindowTextW(_sums, wideFromUtf8(sums).c_str());

  // The changes of state, newest first, each row as it reads now.
  SendMessageW(_changes, WM_SETREDRAW, FALSE, 0);
  const int shownBefore = static_cast<int>(SendMessageW(_changes, LVM_GETITEMCOUNT, 0, 0));
  const int count = static_cast<int>(answer.incidents.size());
  for (int i = 0; i < count; ++i) {
    const Incident& incident = answer.incidents[static_cast<size_t>(i)];
    const std::wstring began = wideFromUtf8(localStamp(incident.startMs));
    if (i >= shownBefore) {
      LVITEMW item{};
      item.mask = LVIF_TEXT;
      item.iItem = i;
      item.pszText = const_cast<wchar_t*>(began.c_str());
      SendMessageW(_changes, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }
    setListItemText(_changes, i, kBegan, began);
    setListItemText(_changes, i, kState, wideFromUtf8(verdictWord(incident.verdict)));
    const int64_t end = incident.endMs ? incident.endMs : answer.nowMs;
    setListItemText(_changes, i, kLasted,
                    wideFromUtf8(lastedWords(end - incident.startMs) + (incident.endMs ? "" : " so far")));
    // The status text as the plug-in wrote it (Windows-1250), as a list
    // reads it: one line, no markup.
    setListItemText(_changes, i, kText, listLineOf(incident.text));
  }
  for (int i = shownBefore - 1; i >= count; --i) SendMessageW(_changes, LVM_DELETEITEM, static_cast<WPARAM>(i), 0);
  if (count == 0 && shownBefore == 0) SetWindowTextW(_changesLabel, L"Changes of state: none in this window");
  else SetWindowTextW(_changesLabel, L"Changes of state (newest first)");
  SendMessageW(_changes, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(_changes, nullptr, TRUE);
}

LRESULT CALLBACK HistoryWindow::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<HistoryWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->_window = window;
  }
  auto* self = reinterpret_cast<HistoryWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!self) return DefWindowProcW(window, message, wParam, lParam);
  return self->onMessage(message, wParam, lParam);
}

LRESULT HistoryWindow::onMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kAnswerMessage:
      takeAnswer();
      return 0;
    case WM_TIMER:
      if (wParam == kTickTimer) tick();
      return 0;
    case WM_SIZE:
      if (_changes) layout();
      return 0;
    case WM_GETMINMAXINFO:
      reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {kLeastWidth, kLeastHeight};
      return 0;
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      if (id >= kHistoryRangeFirst && id < kHistoryRangeFirst + static_cast<int>(kHistoryRangeCount) &&
          HIWORD(wParam) == BN_CLICKED) {
        const size_t range = static_cast<size_t>(id - kHistoryRangeFirst);
        if (range != _range) showRange(range);
        return 0;
      }
      if (id == IDCANCEL) {
        // Escape: the window goes once this message has returned.
        _desk.closeHistory(_row);
        return 0;
      }
      break;
    }
    case WM_CLOSE:
      _desk.closeHistory(_row);
      return 0;
    case WM_NCDESTROY: {
      // Gone with its owner (the main window): nothing more comes to it.
      HWND window = _window;
      if (_replies) _replies->close();
      removeDialogWindow(window);
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      _window = nullptr;
      return DefWindowProcW(window, message, wParam, lParam);
    }
    default:
      break;
  }
  return DefWindowProcW(_window, message, wParam, lParam);
}

}  // namespace VardokHost
