// The console's "history N [24h|7d|30d]": a contact's uptime, how long its
// state has lasted, its last results as a text sparkline, its run times
// over the window and its incidents.
#include <algorithm>
#include <cmath>

#include <windows.h>

#include "host/console/console_host.h"
#include "host/lib/display_text.h"
#include "host/lib/host_text.h"

namespace VardokHost {

namespace {

constexpr int64_t kMinuteMs = HistoryStore::kMinuteMs, kHourMs = HistoryStore::kHourMs, kDayMs = HistoryStore::kDayMs;

// One character a result: a bar as high as its run was long against the
// longest shown, "?" for a problem and "!" for a critical result.
std::string sparkline(const std::vector<RawResult>& results) {
  static const char* const kBars[] = {"\u2581", "\u2582", "\u2583", "\u2584", "\u2585", "\u2586", "\u2587", "\u2588"};
  int32_t longest = 0;
  for (const RawResult& result : results) longest = std::max(longest, result.durationMs);
  std::string line;
  for (const RawResult& result : results) {
    if (result.verdict == Verdict::Problem) {
      line += "?";
    } else if (result.verdict == Verdict::Critical) {
      line += "!";
    } else {
      const int level = result.durationMs < 0 || longest <= 0
                            ? 3
                            : static_cast<int>(std::min<int64_t>(7, int64_t{result.durationMs} * 8 / (int64_t{longest} + 1)));
      line += kBars[level];
    }
  }
  return line;
}

}  // namespace

void ConsoleHost::printHistory(size_t index, const std::string& window) {
  const Check* check = checkAt(index);
  if (!check) return;
  HistoryStore* history = _session.history();
  if (!history) {
    _out.line("No history is kept (--no-history).");
    return;
  }
  const int64_t span = window == "7d" ? 7 * kDayMs : window == "30d" ? 30 * kDayMs : kDayMs;
  if (!window.empty() && window != "24h" && window != "7d" && window != "30d") {
    _out.line("history N [24h|7d|30d]");
    return;
  }
  // What was recorded up to now, the last result included.
  history->flush(2000);
  const std::string key = historyKey(check->entry);
  const int64_t now = history->now();
  const Uptime uptime = history->uptime(key);
  _out.line("History of " + visible(check->entry.name) + ": uptime " + uptimeText(uptime.day) + " (24 h), " +
            uptimeText(uptime.week) + " (7 d), " + uptimeText(uptime.month) + " (30 d)");

  const std::vector<Incident> incidents = history->incidents(key, now - span, 10);
  if (!incidents.empty() && incidents.front().endMs == 0) {
    const Incident& current = incidents.front();
    _out.line("Now " + std::string(verdictWord(current.verdict)) + " for " +
              intervalWords(std::max<int64_t>(0, now - current.startMs) / 1000) + ", since " +
              localStamp(current.startMs));
  }
  const std::vector<RawResult> last = history->lastResults(key, HistoryStore::kGlanceResults);
  if (last.empty()) {
    _out.line("No results recorded yet.");
    return;
  }
  _out.line("Last " + std::to_string(last.size()) + " results (oldest first; ? problem, ! critical): " + sparkline(last));

  // The run times over the window, in 24 spans.
  const int64_t bucket = std::max<int64_t>(kMinuteMs, span / 24);
  const std::vector<Rollup> spans = history->rollups(key, now - span, now, bucket);
  Rollup whole;
  for (const Rollup& one : spans) whole.merge(one);
  std::string runs = std::to_string(whole.runs) + " results in the last " + (window.empty() ? "24h" : window) + ", " +
                     std::to_string(whole.problems) + " problems, " + std::to_string(whole.criticals) + " critical";
  if (whole.timed)
    runs += "; run time " + runTimeWords(whole.durationMin) + " least, " + runTimeWords(whole.durationMean) +
            " mean, " + runTimeWords(whole.durationMax) + " most";
  _out.line(runs);

  _out.line(incidents.empty() ? "No change of state in the window." : "Changes of state (newest first):");
  for (const Incident& incident : incidents) {
    const int64_t end = incident.endMs ? incident.endMs : now;
    _out.line("  " + localStamp(incident.startMs) + "  " + padded(verdictWord(incident.verdict), 9) +
              padded(intervalWords(std::max<int64_t>(0, end - incident.startMs) / 1000) + (incident.endMs ? "" : " so far"), 18) +
              visible(fittedFirstLine(fromHostText(incident.text), 60)));
  }
}

}  // namespace VardokHost
