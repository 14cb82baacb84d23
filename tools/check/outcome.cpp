#include "tools/check/outcome.h"

namespace VardokCheck {

namespace {

std::string tagValue(std::string text, const char* fallback) {
  for (char& c : text)
    if (c == '<') c = '(';
    else if (c == '>') c = ')';
  return text.empty() ? fallback : text;
}

}  // namespace

std::string formatOutcome(const Outcome& outcome) {
  std::string out = outcome.line + " <velkaro:info>" + tagValue(outcome.info, "?") + "</velkaro:info>";
  if (outcome.level != Level::Well) out += "<velkaro:notify>" + tagValue(outcome.notify.empty() ? outcome.line : outcome.notify, "?") + "</velkaro:notify>";
  return out + "\n";
}

Level judge(int64_t value, int64_t warn, int64_t crit) {
  if (crit >= 0 && value > crit) return Level::Critical;
  if (warn >= 0 && value > warn) return Level::Problem;
  return Level::Well;
}

}  // namespace VardokCheck
