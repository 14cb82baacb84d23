// json URL PATH [--warn X] [--crit X] | [--equals V] | [--matches /REGEX/]:
// a value in a JSON document fetched as the HTTP check fetches it, found by
// a path such as a.b[0].c and judged: numbers against limits, any value
// equal to a text (a number to a number) or matching a pattern.
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/internet/url.h"
#include "support/regex/regex.h"
#include "tools/check/checks.h"
#include "tools/check/command_line.h"
#include "tools/check/fetch.h"
#include "tools/check/json_document.h"
#include "tools/check/network.h"
#include "tools/check/remote_text.h"

namespace VardokCheck {

namespace {

// Enough of a value to judge its text and to show its start.
constexpr size_t kValueTextMost = 1u << 20;

// --equals against a value: a number to a number (1 equals 1.0 and 1e0),
// anything else by its text.
bool equalTo(const nlohmann::json& value, const std::string& expected) {
  if (value.is_number()) {
    char* end = nullptr;
    const double wanted = std::strtod(expected.c_str(), &end);
    if (!expected.empty() && *end == '\0' && std::isfinite(wanted)) return value.get<double>() == wanted;
  }
  return jsonText(value) == expected;
}

}  // namespace

Outcome checkJson(const Args& args) {
  const Arguments arguments(args, {"--warn", "--crit", "--equals", "--matches", "--timeout"}, {"URL", "path"});
  if (arguments.positional().size() != 2) throw UsageError("needs a URL and a path");
  const std::string url = arguments.positional()[0];
  const std::string path = arguments.positional()[1];
  std::vector<JsonStep> steps;
  if (!readJsonPath(path, &steps)) throw UsageError("the path \"" + path + "\" cannot be read; write it as a.b[0].c");
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
  const std::string about = "JSON " + Quorlin::hidePasswords(url);

  const Fetched fetched = fetchPage(url, timeout, Quorlin::Request::GET);
  if (!fetched.failure.empty()) return {Level::Critical, about + ": " + fetched.failure, fetched.failure};
  if (fetched.answer.status < 200 || fetched.answer.status >= 400)
    return {Level::Critical, about + ": HTTP " + std::to_string(fetched.answer.status),
            "HTTP " + std::to_string(fetched.answer.status)};
  // A document cut at the most that is kept cannot be read as one: say so,
  // not that the value is missing.
  if (fetched.answer.bodyBytes > fetched.answer.body.size())
    return {Level::Critical,
            about + ": the document is " + std::to_string(fetched.answer.bodyBytes) + " bytes, cut at " +
                std::to_string(fetched.answer.body.size()) + ": too large to read",
            "document too large"};
  const JsonRead read = readJson(fetched.answer.body);
  if (!read.failure.empty()) return {Level::Critical, about + ": " + read.failure, read.failure};
  const nlohmann::json* value = jsonAt(read.document, steps);
  if (!value) return {Level::Critical, about + ": no value at " + path, path + " missing"};
  const std::string valueText = jsonText(*value, kValueTextMost);
  const std::string shownValue = remoteText(valueText);
  const std::string line = "JSON " + path + " = " + shownValue;

  if (limits) {
    if (!value->is_number()) return {Level::Critical, line + " (not a number)", path + " not a number"};
    const double number = value->get<double>();
    const Level level = hasCrit && number > crit ? Level::Critical : hasWarn && number > warn ? Level::Problem : Level::Well;
    Outcome outcome{level, line, path + " " + perfNumber(number)};
    outcome.perfdata = perfItem("value", perfNumber(number), "", hasWarn ? warn : -1, hasCrit ? crit : -1);
    return outcome;
  }
  if (equals) {
    const std::string expected = arguments.text("--equals");
    if (equalTo(*value, expected)) return {Level::Well, line, path + " " + shownValue};
    return {Level::Critical, line + " (expected " + expected + ")", path + " " + shownValue};
  }
  Quorlin::RegEx matcher;
  if (matcher.match(pattern, valueText) > 0) return {Level::Well, line, path + " " + shownValue};
  return {Level::Critical, line + " (" + pattern + " not matched)", path + " " + shownValue};
}

}  // namespace VardokCheck
