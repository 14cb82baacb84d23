#include "tools/check/outcome.h"

#include <cmath>
#include <cstdio>

#include "tools/check/remote_text.h"

namespace VardokCheck {

std::string perfNumber(double value) {
  // Not a number nor infinite: "U", the classic form's unknown value.
  if (!std::isfinite(value)) return "U";
  // Every digit of the whole part, however large (1e308 has 309).
  const int length = snprintf(nullptr, 0, "%.3f", value);
  std::string number(static_cast<size_t>(length) + 1, '\0');
  snprintf(&number[0], number.size(), "%.3f", value);
  number.resize(static_cast<size_t>(length));
  number.erase(number.find_last_not_of('0') + 1);
  if (number.back() == '.') number.pop_back();
  if (number == "-0") number = "0";
  return number;
}

std::string countText(int64_t count, const std::string& unit) {
  return std::to_string(count) + " " + unit + (count == 1 || count == -1 ? "" : "s");
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
  // Remote text reaches the line through remoteText; this is the last
  // guard that nothing in it opens a tag before the verdict's own.
  std::string line = withoutTags(outcome.line);
  const size_t lineEnd = line.find('\n');
  if (!outcome.perfdata.empty())
    line.insert(lineEnd == std::string::npos ? line.size() : lineEnd, " | " + withoutTags(outcome.perfdata));
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
