#include "host/desk/sparkline.h"

#include <algorithm>

#include "host/desk/history_colors.h"

namespace VardokHost {

std::vector<SparkBar> sparkBars(const std::vector<RawResult>& results, const RECT& area) {
  std::vector<SparkBar> bars;
  const int width = area.right - area.left, height = area.bottom - area.top;
  if (results.empty() || width < kSparkBarWidth || height <= 0) return bars;
  // As many of the newest as fit.
  const size_t fit = static_cast<size_t>((width - kSparkBarWidth) / kSparkBarStep + 1);
  const size_t first = results.size() > fit ? results.size() - fit : 0;
  int32_t longest = 0;
  for (size_t i = first; i < results.size(); ++i) longest = std::max(longest, results[i].durationMs);
  const int least = std::min(kSparkLeastHeight, height);
  for (size_t i = first; i < results.size(); ++i) {
    const RawResult& result = results[i];
    int high;
    if (result.durationMs < 0 || longest <= 0)
      high = height / 2;  // unknown, or nothing to weigh it against
    else
      high = static_cast<int>((static_cast<int64_t>(height) * result.durationMs + longest / 2) / longest);
    high = std::clamp(high, least, height);
    SparkBar bar;
    bar.verdict = result.verdict;
    const int left = area.left + static_cast<int>(i - first) * kSparkBarStep;
    bar.box = RECT{left, area.bottom - high, left + kSparkBarWidth, area.bottom};
    bars.push_back(bar);
  }
  return bars;
}

Sparkline::Sparkline()
    : _well(CreateSolidBrush(kWellColor)), _problem(CreateSolidBrush(kProblemColor)),
      _critical(CreateSolidBrush(kCriticalColor)) {}

void Sparkline::paint(HDC dc, const RECT& area, const std::vector<RawResult>& results) const {
  for (const SparkBar& bar : sparkBars(results, area)) {
    const BrushHandle& brush =
        bar.verdict == Verdict::Well ? _well : bar.verdict == Verdict::Problem ? _problem : _critical;
    FillRect(dc, &bar.box, brush.get());
  }
}

}  // namespace VardokHost
