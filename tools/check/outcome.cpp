#include "tools/check/outcome.h"

namespace VardokCheck {

std::string formatOutcome(const Outcome& outcome) {
  std::string out = outcome.line + " " + Vardok::formatTag(Vardok::kInfoTag, outcome.info, "?");
  if (outcome.level != Level::Well)
    out += Vardok::formatTag(Vardok::kNotifyTag, outcome.notify.empty() ? outcome.line : outcome.notify, "?");
  return out + "\n";
}

Level judge(int64_t value, int64_t warn, int64_t crit) {
  if (crit >= 0 && value > crit) return Level::Critical;
  if (warn >= 0 && value > warn) return Level::Problem;
  return Level::Well;
}

}  // namespace VardokCheck
