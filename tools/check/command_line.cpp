#include "tools/check/command_line.h"

#include <windows.h>

#include <cmath>
#include <cstdlib>

#include "tools/check/outcome.h"

namespace VardokCheck {

Arguments::Arguments(const std::vector<std::string>& args, const std::set<std::string>& known,
                     const std::vector<std::string>& names, const std::set<std::string>& repeatable) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      _rest.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      return;
    }
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      if (!known.count(arg)) throw UsageError("unknown option " + arg);
      if (i + 1 >= args.size()) throw UsageError(arg + " needs a value");
      if (_options.count(arg) && !repeatable.count(arg)) throw UsageError(arg + " is given twice");
      _options.emplace(arg, args[++i]);
      continue;
    }
    // An empty value (an unset %VARIABLE%, a quoted nothing) would measure
    // something else than meant: the current drive, no host at all.
    if (arg.find_first_not_of(" \t") == std::string::npos)
      throw UsageError(_positional.size() < names.size() ? "the " + names[_positional.size()] + " is missing"
                                                          : "argument " + std::to_string(_positional.size() + 1) + " is empty");
    _positional.push_back(arg);
  }
}

std::string Arguments::text(const std::string& option, const std::string& fallback) const {
  const auto found = _options.find(option);
  return found == _options.end() ? fallback : found->second;
}

std::vector<std::string> Arguments::texts(const std::string& option) const {
  std::vector<std::string> values;
  const auto range = _options.equal_range(option);
  for (auto it = range.first; it != range.second; ++it) values.push_back(it->second);
  return values;
}

bool Arguments::decimal(const std::string& option, double* value) const {
  const auto found = _options.find(option);
  if (found == _options.end()) return false;
  const std::string& text = found->second;
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(*value))
    throw UsageError(option + " needs a finite number, not \"" + text + "\"");
  return true;
}

int64_t Arguments::number(const std::string& option, int64_t minimum, int64_t maximum, bool required,
                          int64_t fallback) const {
  const auto found = _options.find(option);
  if (found == _options.end()) {
    if (required) throw UsageError(option + " is missing");
    return fallback;
  }
  const std::string& text = found->second;
  const std::string range = " from " + std::to_string(minimum) + " to " + std::to_string(maximum);
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
    throw UsageError(option + " needs a whole number" + range + ", not \"" + text + "\"");
  const int64_t value = std::stoll(text);
  if (value < minimum || value > maximum) throw UsageError(option + " needs a whole number" + range);
  return value;
}

std::string expandEnvironment(const std::string& text) {
  if (text.find('%') == std::string::npos) return text;
  std::string out(32768, '\0');
  const DWORD length = ExpandEnvironmentStringsA(text.c_str(), &out[0], static_cast<DWORD>(out.size()));
  if (length == 0 || length > out.size()) return text;
  out.resize(length - 1);
  return out;
}

void requireOrder(int64_t warn, int64_t crit) {
  if (warn >= 0 && crit >= 0 && warn > crit) throw UsageError("--warn must not be above --crit");
}

}  // namespace VardokCheck
