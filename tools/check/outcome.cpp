#include "tools/check/outcome.h"

#include <cstdio>

namespace VardokCheck {

std::string perfNumber(double value) {
  char text[32];
  snprintf(text, sizeof text, "%.3f", value);
  std::string number = text;
  number.erase(number.find_last_not_of('0') + 1);
  if (number.back() == '.') number.pop_back();
  return number;
}

std::string perfItem(const std::string& label, const std::string& value, const std::string& unit, double warn,
                     double crit, double minimum, double maximum) {
  const auto field = [](double limit) { return limit >= 0 ? perfNumber(limit) : std::string(); };
  std::string item = label + "=" + value + unit + ";" + field(warn) + ";" + field(crit) + ";" + field(minimum);
  if (maximum >= 0) item += ";" + perfNumber(maximum);
  return item;
}

std::string formatOutcome(const Outcome& outcome) {
  // The performance data after a '|' on the first line, as graphing tools
  // read it; the status text (the info tag) stays without it.
  const size_t lineEnd = outcome.line.find('\n');
  std::string line = outcome.line;
  if (!outcome.perfdata.empty())
    line.insert(lineEnd == std::string::npos ? line.size() : lineEnd, " | " + outcome.perfdata);
  std::string out = line + " " + Vardok::formatTag(Vardok::kInfoTag, outcome.info, "?");
  if (outcome.level != Level::Well)
    out += Vardok::formatTag(Vardok::kNotifyTag, outcome.notify.empty() ? outcome.line : outcome.notify, "?");
  return out + "\n";
}

Level judge(int64_t value, int64_t warn, int64_t crit) {
  if (crit >= 0 && value > crit) return Level::Critical;
  if (warn >= 0 && value > warn) return Level::Problem;
  return Level::Well;
}

std::string msText(double ms) { return std::to_string(static_cast<int64_t>(ms + 0.5)) + " ms"; }

Level judgeTime(double ms, int64_t warn, int64_t crit, std::string* line) {
  const Level level = judge(static_cast<int64_t>(ms + 0.5), warn, crit);
  if (level == Level::Critical) *line += " (critical above " + std::to_string(crit) + " ms)";
  if (level == Level::Problem) *line += " (warning above " + std::to_string(warn) + " ms)";
  return level;
}

std::string timePerfItem(double ms, int64_t warnMs, int64_t critMs) {
  return perfItem("time", perfNumber(ms / 1000), "s", warnMs >= 0 ? warnMs / 1000.0 : -1,
                  critMs >= 0 ? critMs / 1000.0 : -1, 0);
}

}  // namespace VardokCheck
