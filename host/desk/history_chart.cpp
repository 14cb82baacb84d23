#include "host/desk/history_chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "host/desk/desk_ui.h"
#include "host/desk/history_colors.h"

namespace VardokHost {

const wchar_t kHistoryChartClass[] = L"VardokHistoryChart";

namespace {

constexpr int64_t kMinuteMs = 60 * 1000, kHourMs = 60 * kMinuteMs, kDayMs = 24 * kHourMs;
// Around the plot: the scale's labels at the left, the failure ticks, the
// times and the legend below it.
constexpr int kLeftRoom = 58, kRightRoom = 14, kTopRoom = 10;
constexpr int kTickGap = 2, kTickHeight = 8, kTimesHeight = 16, kLegendHeight = 18;
constexpr int kBottomRoom = kTickGap + kTickHeight + kTimesHeight + kLegendHeight;
constexpr int kScaleSteps = 4;

// The machine's offset from UTC now, in ms: the times under the chart are
// local, and fall on whole local hours and days.
int64_t localOffsetMs(int64_t unixMs) {
  const uint64_t ticks = static_cast<uint64_t>(unixMs) * 10000 + 116444736000000000ull;
  FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}, local;
  if (!FileTimeToLocalFileTime(&utc, &local)) return 0;
  const uint64_t localTicks = (static_cast<uint64_t>(local.dwHighDateTime) << 32) | local.dwLowDateTime;
  return (static_cast<int64_t>(localTicks) - static_cast<int64_t>(ticks)) / 10000;
}

// A local time as the chart's axis reads it: "14:30", or "12 Dec" for
// whole days.
std::wstring timeLabel(int64_t unixMs, int64_t offsetMs, bool days) {
  const uint64_t ticks = static_cast<uint64_t>(unixMs + offsetMs) * 10000 + 116444736000000000ull;
  FILETIME local{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME time;
  if (!FileTimeToSystemTime(&local, &time)) return std::wstring();
  static const wchar_t* const kMonths[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                           L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
  if (days) return std::to_wstring(time.wDay) + L" " + kMonths[(time.wMonth + 11) % 12];
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u", time.wHour, time.wMinute);
  return std::wstring(text, text + std::strlen(text));
}

// Where the times under the chart fall for a window of span.
int64_t timeStepOf(int64_t span) {
  if (span <= kHourMs) return 10 * kMinuteMs;
  if (span <= kDayMs) return 3 * kHourMs;
  if (span <= 7 * kDayMs) return kDayMs;
  return 5 * kDayMs;
}

void textAt(HDC dc, int x, int y, const std::wstring& text, UINT align) {
  SetTextAlign(dc, align);
  TextOutW(dc, x, y, text.c_str(), static_cast<int>(text.size()));
}

}  // namespace

double niceCeiling(double value) {
  if (!(value > 1)) return 1;
  const double power = std::pow(10.0, std::floor(std::log10(value)));
  for (const double step : {1.0, 2.0, 5.0, 10.0})
    if (step * power >= value * (1 - 1e-12)) return step * power;
  return 10 * power;
}

std::wstring runTimeLabel(double ms) {
  char text[32];
  if (ms <= 0)
    return L"0";
  else if (ms < 1000)
    std::snprintf(text, sizeof text, "%g ms", std::round(ms * 10) / 10);
  else if (ms < 60000)
    std::snprintf(text, sizeof text, "%g s", std::round(ms / 100) / 10);
  else
    std::snprintf(text, sizeof text, "%g min", std::round(ms / 6000) / 10);
  return std::wstring(text, text + std::strlen(text));
}

HistoryChart::~HistoryChart() {
  if (_window && IsWindow(_window)) SetWindowLongPtrW(_window, GWLP_USERDATA, 0);
}

void HistoryChart::create(HWND parent, int id, HFONT font) {
  registerWindowClass(kHistoryChartClass, windowProc, nullptr);
  _font = font;
  _background.reset(CreateSolidBrush(kChartBackground));
  _band.reset(CreateSolidBrush(kBandColor));
  _problem.reset(CreateSolidBrush(kProblemColor));
  _critical.reset(CreateSolidBrush(kCriticalColor));
  _line.reset(CreatePen(PS_SOLID, 2, kMeanLineColor));
  _gridPen.reset(CreatePen(PS_SOLID, 1, kGridColor));
  _framePen.reset(CreatePen(PS_SOLID, 1, RGB(160, 160, 160)));
  _window = CreateWindowExW(0, kHistoryChartClass, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, parent,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), this);
}

void HistoryChart::show(int64_t fromMs, int64_t toMs, int64_t bucketMs, std::vector<Rollup> rollups) {
  _from = fromMs;
  _to = std::max(toMs, fromMs + 1);
  _bucket = std::max<int64_t>(bucketMs, 1);
  _rollups = std::move(rollups);
  _saying.clear();
  if (_window) InvalidateRect(_window, nullptr, FALSE);
}

void HistoryChart::say(const std::wstring& text) {
  _saying = text;
  if (_window) InvalidateRect(_window, nullptr, FALSE);
}

RECT HistoryChart::plotArea() const {
  RECT client{};
  if (_window) GetClientRect(_window, &client);
  return RECT{kLeftRoom, kTopRoom, std::max<LONG>(kLeftRoom + 1, client.right - kRightRoom),
              std::max<LONG>(kTopRoom + 1, client.bottom - kBottomRoom)};
}

LRESULT CALLBACK HistoryChart::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE)
    SetWindowLongPtrW(window, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
  auto* self = reinterpret_cast<HistoryChart*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_ERASEBKGND:
      return 1;  // painted whole in WM_PAINT
    case WM_SIZE:
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      RECT client;
      GetClientRect(window, &client);
      if (self && client.right > 0 && client.bottom > 0) {
        // Drawn whole into a bitmap, then copied at once.
        const MemoryDcHandle memory(CreateCompatibleDC(dc));
        const BitmapHandle bitmap(CreateCompatibleBitmap(dc, client.right, client.bottom));
        if (memory && bitmap) {
          const Selected into(memory.get(), bitmap.get());
          self->paint(memory.get(), client);
          BitBlt(dc, 0, 0, client.right, client.bottom, memory.get(), 0, 0, SRCCOPY);
        } else {
          self->paint(dc, client);
        }
      }
      EndPaint(window, &paint);
      return 0;
    }
    case WM_NCDESTROY:
      if (self) self->_window = nullptr;
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      break;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void HistoryChart::paint(HDC dc, const RECT& client) const {
  FillRect(dc, &client, _background.get());
  const Selected font(dc, _font ? static_cast<HGDIOBJ>(_font) : GetStockObject(DEFAULT_GUI_FONT));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(60, 60, 60));
  const RECT plot = plotArea();
  bool timed = false;
  double longest = 0;
  for (const Rollup& rollup : _rollups)
    if (rollup.timed) {
      timed = true;
      longest = std::max(longest, static_cast<double>(rollup.durationMax));
    }
  const std::wstring saying = !_saying.empty() ? _saying
                              : _rollups.empty() ? L"No results in this window."
                              : !timed           ? L"No run with a known duration in this window."
                                                 : std::wstring();
  const double top = niceCeiling(longest);
  paintScale(dc, plot, top);
  if (saying.empty()) {
    paintTimes(dc, plot);
    paintSeries(dc, plot, top);
  }
  {
    // The plot's frame, over what was drawn at its edges.
    const Selected pen(dc, _framePen.get());
    const Selected hollow(dc, GetStockObject(NULL_BRUSH));
    Rectangle(dc, plot.left - 1, plot.top - 1, plot.right + 1, plot.bottom + 1);
  }
  if (!saying.empty()) {
    RECT where = plot;
    DrawTextW(dc, saying.c_str(), static_cast<int>(saying.size()), &where,
              DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  }
  paintLegend(dc, client);
}

void HistoryChart::paintScale(HDC dc, const RECT& plot, double top) const {
  const Selected pen(dc, _gridPen.get());
  const int height = plot.bottom - plot.top;
  for (int step = 0; step <= kScaleSteps; ++step) {
    const int y = plot.bottom - height * step / kScaleSteps;
    if (step > 0 && step < kScaleSteps) {
      MoveToEx(dc, plot.left, y, nullptr);
      LineTo(dc, plot.right, y);
    }
    TEXTMETRICW metrics;
    GetTextMetricsW(dc, &metrics);
    textAt(dc, plot.left - 6, y - metrics.tmHeight / 2, runTimeLabel(top * step / kScaleSteps), TA_RIGHT | TA_TOP);
  }
}

void HistoryChart::paintTimes(HDC dc, const RECT& plot) const {
  const int64_t span = _to - _from, step = timeStepOf(span);
  const int64_t offset = localOffsetMs(_to);
  const bool days = step >= kDayMs;
  const int width = plot.right - plot.left;
  const Selected pen(dc, _gridPen.get());
  // The first whole local step in the window.
  int64_t at = _from + offset;
  at = (at / step + (at % step ? 1 : 0)) * step - offset;
  for (; at < _to; at += step) {
    const int x = plot.left + static_cast<int>((at - _from) * width / span);
    MoveToEx(dc, x, plot.top, nullptr);
    LineTo(dc, x, plot.bottom);
    textAt(dc, x, plot.bottom + kTickGap + kTickHeight + 1, timeLabel(at, offset, days), TA_CENTER | TA_TOP);
  }
}

void HistoryChart::paintSeries(HDC dc, const RECT& plot, double top) const {
  const int64_t span = _to - _from;
  const int width = plot.right - plot.left, height = plot.bottom - plot.top;
  const auto xOf = [&](int64_t time) -> int {
    return plot.left + static_cast<int>((std::clamp(time, _from, _to) - _from) * width / span);
  };
  const auto yOf = [&](double ms) -> int {
    return plot.bottom - static_cast<int>(std::lround(std::clamp(ms / top, 0.0, 1.0) * height));
  };
  // The failure ticks under the plot: red where a result was critical,
  // amber where one had a problem.
  for (const Rollup& rollup : _rollups) {
    if (!rollup.criticals && !rollup.problems) continue;
    const int left = xOf(rollup.startMs), right = std::max(left + 2, xOf(rollup.startMs + _bucket) - 1);
    const RECT tick{left, plot.bottom + kTickGap, right, plot.bottom + kTickGap + kTickHeight};
    FillRect(dc, &tick, (rollup.criticals ? _critical : _problem).get());
  }
  // Runs of spans with timed results, each a band and a line of its own.
  std::vector<const Rollup*> run;
  const auto drawRun = [&] {
    if (run.empty()) return;
    if (run.size() == 1) {
      // One span alone: its band as a bar of its width, its mean a dot.
      const Rollup& one = *run.front();
      const int left = xOf(one.startMs), right = std::max(left + 3, xOf(one.startMs + _bucket));
      RECT band{left, yOf(one.durationMax), right, std::max(yOf(one.durationMin), yOf(one.durationMax) + 2)};
      FillRect(dc, &band, _band.get());
      const int middle = (left + right) / 2, y = yOf(one.durationMean);
      const Selected pen(dc, _line.get());
      MoveToEx(dc, middle - 2, y, nullptr);
      LineTo(dc, middle + 3, y);
    } else {
      std::vector<POINT> band, line;
      for (const Rollup* one : run) {
        const int x = (xOf(one->startMs) + xOf(one->startMs + _bucket)) / 2;
        band.push_back({x, yOf(one->durationMax)});
        line.push_back({x, yOf(one->durationMean)});
      }
      for (auto it = run.rbegin(); it != run.rend(); ++it)
        band.push_back({(xOf((*it)->startMs) + xOf((*it)->startMs + _bucket)) / 2, yOf((*it)->durationMin)});
      {
        const Selected pen(dc, GetStockObject(NULL_PEN));
        const Selected brush(dc, _band.get());
        Polygon(dc, band.data(), static_cast<int>(band.size()));
      }
      const Selected pen(dc, _line.get());
      Polyline(dc, line.data(), static_cast<int>(line.size()));
    }
    run.clear();
  };
  // A check that runs less often than a span is long leaves spans between
  // its runs empty: the line goes on over gaps up to twice the usual one
  // between timed spans, and parts only where runs were missing.
  std::vector<int64_t> gaps;
  const Rollup* previous = nullptr;
  for (const Rollup& rollup : _rollups) {
    if (!rollup.timed) continue;
    if (previous) gaps.push_back((rollup.startMs - previous->startMs) / _bucket);
    previous = &rollup;
  }
  int64_t usual = 1;
  if (!gaps.empty()) {
    std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2), gaps.end());
    usual = std::max<int64_t>(1, gaps[gaps.size() / 2]);
  }
  const int64_t longestJoined = std::max<int64_t>(1, 2 * usual) * _bucket;
  for (const Rollup& rollup : _rollups) {
    if (!rollup.timed) continue;
    if (!run.empty() && rollup.startMs - run.back()->startMs > longestJoined) drawRun();
    run.push_back(&rollup);
  }
  drawRun();
}

void HistoryChart::paintLegend(HDC dc, const RECT& client) const {
  // What each colour is, in a line at the bottom.
  const int y = client.bottom - kLegendHeight + 3;
  int x = kLeftRoom;
  TEXTMETRICW metrics;
  GetTextMetricsW(dc, &metrics);
  const int middle = y + metrics.tmHeight / 2;
  const auto item = [&](const BrushHandle* brush, bool line, const wchar_t* words) {
    if (line) {
      const Selected pen(dc, _line.get());
      MoveToEx(dc, x, middle, nullptr);
      LineTo(dc, x + 14, middle);
    } else {
      const RECT swatch{x, middle - 4, x + 14, middle + 4};
      FillRect(dc, &swatch, brush->get());
    }
    x += 18;
    const std::wstring text = words;
    textAt(dc, x, y, text, TA_LEFT | TA_TOP);
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    x += size.cx + 16;
  };
  item(nullptr, true, L"mean run time");
  item(&_band, false, L"least to most");
  item(&_critical, false, L"critical");
  item(&_problem, false, L"problem");
}

}  // namespace VardokHost
