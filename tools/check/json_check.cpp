// json URL PATH [--warn X] [--crit X] | [--equals V] | [--matches /REGEX/]:
// a value in a JSON document fetched as the HTTP check fetches it, found by
// a path such as a.b[0].c and judged: numbers against limits, any value
// equal to a text or matching a pattern.
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/internet/url.h"
#include "support/regex/regex.h"
#include "tools/check/checks.h"
#include "tools/check/command_line.h"
#include "tools/check/network.h"
#include "tools/check/fetch.h"

namespace VardokCheck {

namespace {

// "a.b[0].c" into steps: a key, or an index in brackets. False for a path
// that cannot be read.
struct Step {
  std::string key;
  long index = -1;  // >= 0: an array index
};
bool readPath(const std::string& path, std::vector<Step>* steps) {
  size_t at = 0;
  while (at < path.size()) {
    if (path[at] == '[') {
      const size_t close = path.find(']', at);
      if (close == std::string::npos || close == at + 1) return false;
      const std::string digits = path.substr(at + 1, close - at - 1);
      if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) return false;
      steps->push_back({std::string(), std::strtol(digits.c_str(), nullptr, 10)});
      at = close + 1;
      if (at < path.size() && path[at] == '.') ++at;
      continue;
    }
    const size_t end = path.find_first_of(".[", at);
    const std::string key = path.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (key.empty()) return false;
    steps->push_back({key, -1});
    at = end == std::string::npos ? path.size() : end + (path[end] == '.' ? 1 : 0);
  }
  return !steps->empty();
}

// A value as a text: a string as it is, anything else as JSON writes it.
std::string text(const nlohmann::json& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

}  // namespace

Outcome checkJson(const Args& args) {
  const Arguments arguments(args, {"--warn", "--crit", "--equals", "--matches", "--timeout"}, {"URL", "path"});
  if (arguments.positional().size() != 2) throw UsageError("needs a URL and a path");
  const std::string url = arguments.positional()[0];
  const std::string path = arguments.positional()[1];
  std::vector<Step> steps;
  if (!readPath(path, &steps)) throw UsageError("the path \"" + path + "\" cannot be read; write it as a.b[0].c");
  double warn = 0, crit = 0;
  const bool hasWarn = arguments.decimal("--warn", &warn), hasCrit = arguments.decimal("--crit", &crit);
  if (hasWarn && hasCrit && warn > crit) throw UsageError("--warn must not be above --crit");
  const bool limits = hasWarn || hasCrit, equals = arguments.has("--equals"), matches = arguments.has("--matches");
  if (limits + equals + matches != 1)
    throw UsageError("needs one way to judge: --warn/--crit, --equals or --matches");
  const std::string pattern = arguments.text("--matches");
  if (matches) {
    Quorlin::RegEx compiled;
    try {
      compiled.match(pattern, std::string());
    } catch (const Quorlin::RegEx::CompileException&) {
      throw UsageError("--matches needs a pattern such as /^ok$/i, not \"" + pattern + "\"");
    }
  }
  const int64_t timeout = arguments.number("--timeout", 1, 3600000, false, kNetworkTimeoutMs);
  const std::string shown = Quorlin::hidePasswords(url);

  const Fetched fetched = fetchPage(url, timeout, Quorlin::Request::GET);
  if (!fetched.failure.empty()) return {Level::Critical, "JSON " + shown + ": " + fetched.failure, fetched.failure};
  if (fetched.answer.status < 200 || fetched.answer.status >= 400)
    return {Level::Critical, "JSON " + shown + ": HTTP " + std::to_string(fetched.answer.status),
            "HTTP " + std::to_string(fetched.answer.status)};
  const nlohmann::json document = nlohmann::json::parse(fetched.answer.body, nullptr, false);
  if (document.is_discarded()) return {Level::Critical, "JSON " + shown + ": not JSON", "not JSON"};
  const nlohmann::json* value = &document;
  for (const Step& step : steps) {
    if (step.index >= 0 ? !value->is_array() || static_cast<size_t>(step.index) >= value->size()
                        : !value->is_object() || !value->contains(step.key))
      return {Level::Critical, "JSON " + shown + ": no value at " + path, path + " missing"};
    value = step.index >= 0 ? &(*value)[static_cast<size_t>(step.index)] : &(*value)[step.key];
  }
  std::string shownValue = text(*value);
  if (shownValue.size() > 200) shownValue = shownValue.substr(0, 200) + "...";
  const std::string line = "JSON " + path + " = " + shownValue;

  if (limits) {
    if (!value->is_number())
      return {Level::Critical, line + " (not a number)", path + " not a number"};
    const double number = value->get<double>();
    const Level level = hasCrit && number > crit ? Level::Critical : hasWarn && number > warn ? Level::Problem : Level::Well;
    Outcome outcome{level, line, path + " " + perfNumber(number)};
    outcome.perfdata = perfItem("value", perfNumber(number), "", hasWarn ? warn : -1, hasCrit ? crit : -1);
    return outcome;
  }
  if (equals) {
    const std::string expected = arguments.text("--equals");
    if (text(*value) == expected) return {Level::Well, line, path + " " + shownValue};
    return {Level::Critical, line + " (expected " + expected + ")", path + " " + shownValue};
  }
  Quorlin::RegEx matcher;
  if (matcher.match(pattern, text(*value)) > 0) return {Level::Well, line, path + " " + shownValue};
  return {Level::Critical, line + " (" + pattern + " not matched)", path + " " + shownValue};
}

}  // namespace VardokCheck
