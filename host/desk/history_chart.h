// The History window's chart of a contact's run times over the window of
// time shown: for each span (a minute to six hours, as the window is
// long), the mean time its runs took as a line, the least to the most
// shaded as a band behind it, and a tick under each span with failures,
// red where a result was critical and amber where one had a problem
// (history_colors.h). Time runs left to right with the hours or days under
// it; the run time goes up from 0 with its scale on the left. The line
// and the band part where runs were missing: a gap between timed spans of
// more than twice the usual one (a check that runs every two minutes
// leaves every other minute empty, and is drawn whole).
//
// A child window of its own class, painted with GDI into a bitmap first
// (no flicker while results come in), then copied. Main thread; the
// scale's helpers are plain functions (any thread).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

#include "host/desk/ui_handles.h"
#include "host/history/series_codec.h"

namespace VardokHost {

extern const wchar_t kHistoryChartClass[];

// The least "round" value (1, 2 or 5 times a power of ten) at or above
// value; 1 for anything under it.
double niceCeiling(double value);
// A run time as its scale reads: "0", "250 ms", "1.5 s", "2 min".
std::wstring runTimeLabel(double ms);

class HistoryChart {
 public:
  HistoryChart() = default;
  ~HistoryChart();
  HistoryChart(const HistoryChart&) = delete;
  HistoryChart& operator=(const HistoryChart&) = delete;

  void create(HWND parent, int id, HFONT font);
  HWND window() const { return _window; }
  // Draws the rollups (of bucketMs each, in order) over [fromMs, toMs).
  void show(int64_t fromMs, int64_t toMs, int64_t bucketMs, std::vector<Rollup> rollups);
  // Draws no chart, only a line of text (while the history is read).
  void say(const std::wstring& text);
  // The plot's rectangle in the chart's client coordinates.
  RECT plotArea() const;

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void paint(HDC dc, const RECT& client) const;
  void paintScale(HDC dc, const RECT& plot, double top) const;
  void paintTimes(HDC dc, const RECT& plot) const;
  void paintSeries(HDC dc, const RECT& plot, double top) const;
  void paintLegend(HDC dc, const RECT& client) const;

  HWND _window = nullptr;  // a child of the History window
  HFONT _font = nullptr;   // the window's, not owned
  int64_t _from = 0, _to = 0, _bucket = 0;
  std::vector<Rollup> _rollups;
  std::wstring _saying;    // shown instead of a chart when not empty
  BrushHandle _background, _band, _problem, _critical;
  PenHandle _line, _gridPen, _framePen;
};

}  // namespace VardokHost
