// A contact's last results as a row of thin bars, oldest at the left, as
// the contact list shows them: one bar a result, coloured by its class
// (history_colors.h), as high as its run took against the longest run
// shown (half high when the run's length is unknown, and never lower than
// two pixels, so that each result shows its colour). Bars stand on the
// bottom of their area; where the area is too narrow for all of them, the
// newest are shown.
//
// sparkBars is the layout, a plain function (any thread); Sparkline paints
// it with GDI (main thread) and owns its brushes.
#pragma once

#include <vector>

#include <windows.h>

#include "host/desk/ui_handles.h"
#include "host/history/series_codec.h"

namespace VardokHost {

// A bar's width and the step from one bar to the next, in pixels.
constexpr int kSparkBarWidth = 2, kSparkBarStep = 3;
// The least height of a bar.
constexpr int kSparkLeastHeight = 2;

struct SparkBar {
  RECT box{};
  Verdict verdict = Verdict::Well;
};

// The bars of results (oldest first) in area, oldest at its left.
std::vector<SparkBar> sparkBars(const std::vector<RawResult>& results, const RECT& area);

// The width count results need.
constexpr int sparklineWidth(size_t count) {
  return count == 0 ? 0 : static_cast<int>(count - 1) * kSparkBarStep + kSparkBarWidth;
}

class Sparkline {
 public:
  Sparkline();
  // Paints the bars of results in area of dc (nothing else of it).
  void paint(HDC dc, const RECT& area, const std::vector<RawResult>& results) const;

 private:
  BrushHandle _well, _problem, _critical;
};

}  // namespace VardokHost
