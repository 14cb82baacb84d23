// What one run of vardok-check tells: a level, one line for people and the
// status text, printed as the plug-in reads a check's output.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "protocol/result_protocol.h"

namespace VardokCheck {

// The plug-in's exit classes (protocol/result_protocol.h).
enum class Level : int { Well = Vardok::kExitWell, Problem = Vardok::kExitProblem, Critical = Vardok::kExitCritical };

struct Outcome {
  Outcome() = default;
  Outcome(Level level_, std::string line_, std::string info_, std::string notify_ = std::string())
      : level(level_), line(std::move(line_)), info(std::move(info_)), notify(std::move(notify_)) {}

  Level level = Level::Well;
  std::string line;  // for people: what was measured
  std::string info;  // the status text: short
  std::string notify;  // the pop-up's text; empty: the line
  // Performance data for graphing tools, in the classic form
  // ("label=value[unit];warn;crit;min;max", several apart by spaces);
  // printed after a '|' on the line, never in the status text.
  std::string perfdata;
};

// One item of performance data; a negative limit, minimum or maximum is
// left out (the field stays, empty).
std::string perfItem(const std::string& label, const std::string& value, const std::string& unit, double warn = -1,
                     double crit = -1, double minimum = -1, double maximum = -1);
// A value with at most three decimals, trailing zeros dropped: "0.012",
// "36.1"; every digit of a large one; "U" (unknown) for one not finite.
std::string perfNumber(double value);

// "1 day", "3 days".
std::string countText(int64_t count, const std::string& unit);

// The line, then the tags: "info" always, "notify" (the line, unless set)
// unless all is well. Tag values are never empty and never hold a '<' (it would
// end or open a tag), so the plug-in reads them whole.
std::string formatOutcome(const Outcome& outcome);

// A value judged by optional limits (negative: none): above crit is
// critical, above warn a problem; a value exactly at a limit is well.
Level judge(int64_t value, int64_t warn, int64_t crit);

// A time as people read it: "12 ms".
std::string msText(double ms);

// A time judged by optional limits in milliseconds (as judge); the words
// for a limit passed go onto *line.
Level judgeTime(double ms, int64_t warn, int64_t crit, std::string* line);

// The performance data of a time in seconds, with its limits.
std::string timePerfItem(double ms, int64_t warnMs, int64_t critMs);

// A check set up wrongly: usage goes to standard error, and the check is
// critical with the reason as its status text.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace VardokCheck
