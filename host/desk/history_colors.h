// The colours of the desk host's pictures of a contact's history: the
// sparkline in the contact list and the History window's chart. A result's
// class has one colour everywhere (well green, a problem amber, critical
// red); the chart's line and band are blues that none of them is.
// Constants and a plain function, any thread.
#pragma once

#include <windows.h>

#include "host/history/series_codec.h"

namespace VardokHost {

constexpr COLORREF kWellColor = RGB(46, 160, 67);
constexpr COLORREF kProblemColor = RGB(235, 165, 20);
constexpr COLORREF kCriticalColor = RGB(214, 40, 40);
// The chart: the mean run time's line, the least-to-most band behind it,
// the plot's background and its grid.
constexpr COLORREF kMeanLineColor = RGB(25, 85, 175);
constexpr COLORREF kBandColor = RGB(175, 205, 240);
constexpr COLORREF kChartBackground = RGB(255, 255, 255);
constexpr COLORREF kGridColor = RGB(222, 222, 222);

inline COLORREF verdictColor(Verdict verdict) {
  return verdict == Verdict::Well ? kWellColor : verdict == Verdict::Problem ? kProblemColor : kCriticalColor;
}

}  // namespace VardokHost
