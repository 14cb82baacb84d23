// The verdicts of a monitoring engine as contacts:
//   prom URL QUERY [--warn X] [--crit X] [--empty ok|problem|critical]
//     an instant query of a Prometheus server's HTTP API, every value of
//     the answer judged, the worst counting;
//   alerts URL [--match LABEL=VALUE]...
//     the firing alerts of a Prometheus (or Alertmanager) API: critical
//     when any that matches fires, their names in the status text.
// Both fetch as the HTTP check fetches (redirects, certificates, the time
// limit).
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "support/internet/url.h"
#include "tools/check/checks.h"
#include "tools/check/command_line.h"
#include "tools/check/fetch.h"
#include "tools/check/json_document.h"
#include "tools/check/network.h"
#include "tools/check/remote_text.h"

namespace VardokCheck {

namespace {

// A limit on a value: "X" is passed above X, "X:" below X (for a value
// that should stay high, such as up).
struct Limit {
  bool given = false;
  bool below = false;
  double value = 0;

  bool passed(double x) const { return given && (below ? x < value : x > value); }
  std::string words() const { return (below ? "below " : "above ") + perfNumber(value); }
};

Limit readLimit(const Arguments& arguments, const std::string& option) {
  Limit limit;
  if (!arguments.has(option)) return limit;
  std::string text = arguments.text(option);
  limit.given = true;
  limit.below = !text.empty() && text.back() == ':';
  if (limit.below) text.pop_back();
  char* end = nullptr;
  limit.value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(limit.value))
    throw UsageError(option + " needs a number X (passed above X) or X: (passed below X), not \"" +
                     arguments.text(option) + "\"");
  return limit;
}

// The server's address without a trailing '/', with path appended.
std::string apiUrl(const std::string& base, const std::string& path) {
  std::string url = base;
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url + path;
}

// Every byte but the unreserved ones as %XX, for a query in a URL.
std::string percentEncoded(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// A series as Prometheus writes it: up{instance="a:9090",job="self"}.
std::string seriesName(const nlohmann::json& metric) {
  std::string name, labels;
  if (metric.is_object()) {
    for (auto it = metric.begin(); it != metric.end(); ++it) {
      const std::string value = jsonText(it.value(), 1024);
      if (it.key() == "__name__")
        name = value;
      else
        labels += (labels.empty() ? "" : ",") + it.key() + "=\"" + value + "\"";
    }
  }
  return name + (labels.empty() ? (name.empty() ? "{}" : "") : "{" + labels + "}");
}

// An answer of the API fetched and read: the document, or why there is none.
struct ApiAnswer {
  nlohmann::json document;
  std::string failure;
};

ApiAnswer fetchJson(const std::string& url, int64_t timeout) {
  ApiAnswer api;
  const Fetched fetched = fetchPage(url, timeout, Quorlin::Request::GET);
  if (!fetched.failure.empty()) {
    api.failure = fetched.failure;
    return api;
  }
  if (fetched.answer.bodyBytes > fetched.answer.body.size()) {
    api.failure = "the answer is " + std::to_string(fetched.answer.bodyBytes) + " bytes: too large to read";
    return api;
  }
  const JsonRead read = readJson(fetched.answer.body);
  api.document = read.document;
  // Prometheus answers a bad query with 400 and an error in JSON: the error says more.
  if (read.failure.empty() && jsonString(api.document, "status") == "error") {
    api.failure = "error: " + remoteText(jsonString(api.document, "error", "unknown"), 120);
    return api;
  }
  if (fetched.answer.status < 200 || fetched.answer.status >= 300)
    api.failure = "HTTP " + std::to_string(fetched.answer.status);
  else if (!read.failure.empty())
    api.failure = read.failure;
  return api;
}

// The words of an answer that is JSON but not of the shape the API gives.
std::string unexpected(const std::string& what) { return "unexpected answer: " + what; }

Level levelOption(const Arguments& arguments, const std::string& option, Level fallback) {
  if (!arguments.has(option)) return fallback;
  const std::string text = arguments.text(option);
  if (text == "ok") return Level::Well;
  if (text == "problem") return Level::Problem;
  if (text == "critical") return Level::Critical;
  throw UsageError(option + " needs ok, problem or critical, not \"" + text + "\"");
}


}  // namespace

Outcome checkProm(const Args& args) {
  const Arguments arguments(args, {"--warn", "--crit", "--empty", "--timeout"}, {"URL", "query"});
  if (arguments.positional().size() != 2) throw UsageError("needs a URL and a QUERY");
  const std::string base = arguments.positional()[0];
  const std::string query = arguments.positional()[1];
  const Limit warn = readLimit(arguments, "--warn"), crit = readLimit(arguments, "--crit");
  const Level emptyLevel = levelOption(arguments, "--empty", Level::Problem);
  const int64_t timeout = arguments.number("--timeout", 1, 3600000, false, kNetworkTimeoutMs);
  const std::string url = apiUrl(base, "/api/v1/query?query=" + percentEncoded(query));

  const std::string about = "Prometheus " + Quorlin::hidePasswords(base) + ": " + remoteText(query, 80);
  const ApiAnswer api = fetchJson(url, timeout);
  if (!api.failure.empty()) return {Level::Critical, about + ": " + api.failure, remoteText(api.failure, 80)};
  const auto wrongShape = [&](const std::string& what) {
    return Outcome{Level::Critical, about + ": " + unexpected(what), unexpected(what)};
  };
  const nlohmann::json& document = api.document;
  if (!document.is_object()) return wrongShape(std::string(jsonKind(document)) + ", not an object");
  if (document.contains("status") && !document["status"].is_string())
    return wrongShape(std::string("status is ") + jsonKind(document["status"]));
  const auto dataAt = document.find("data");
  if (dataAt == document.end() || !dataAt->is_object())
    return wrongShape(dataAt == document.end() ? "no data" : std::string("data is ") + jsonKind(*dataAt));
  const nlohmann::json& data = *dataAt;
  const std::string type = jsonString(data, "resultType");
  // Every sample of the answer as a series name and its value's text.
  std::vector<std::pair<std::string, std::string>> samples;
  const auto resultAt = data.find("result");
  const nlohmann::json noResult;
  const nlohmann::json& result = resultAt == data.end() ? noResult : *resultAt;
  // A sample's value as the API writes it: [time, "text"].
  const auto isSample = [](const nlohmann::json& pair) {
    return pair.is_array() && pair.size() == 2 && pair[1].is_string();
  };
  if (type == "vector" && result.is_array()) {
    for (const nlohmann::json& series : result) {
      if (!series.is_object()) return wrongShape(std::string("a series is ") + jsonKind(series));
      const auto metric = series.find("metric");
      const auto value = series.find("value");
      if (value == series.end() || !isSample(*value))
        return wrongShape("a series' value is " + (value == series.end() ? std::string("missing")
                                                                          : remoteText(jsonText(*value, 40))));
      samples.emplace_back(seriesName(metric == series.end() ? nlohmann::json() : *metric),
                           (*value)[1].get<std::string>());
    }
  } else if (type == "scalar") {
    if (!isSample(result)) return wrongShape("the scalar is " + remoteText(jsonText(result, 40)));
    samples.emplace_back(std::string(), result[1].get<std::string>());
  } else {
    return {Level::Critical,
            about + ": the answer is " + (type.empty() ? "a puzzle" : "a " + remoteText(type, 40)) + ", not values",
            "not values"};
  }
  if (samples.empty()) {
    Outcome outcome{emptyLevel, about + ": no data", "no data"};
    outcome.perfdata = perfItem("series", "0", "");
    return outcome;
  }
  // The worst sample: critical before a problem before well; among equals
  // the first. A value that is not a number is a problem of its own.
  Level worst = Level::Well;
  size_t worstAt = 0;
  std::string why;
  for (size_t i = 0; i < samples.size(); ++i) {
    char* end = nullptr;
    const double value = std::strtod(samples[i].second.c_str(), &end);
    Level level = Level::Well;
    std::string reason;
    if (samples[i].second.empty() || *end != '\0' || std::isnan(value)) {
      level = Level::Problem;
      reason = "not a number";
    } else if (crit.passed(value)) {
      level = Level::Critical;
      reason = "critical " + crit.words();
    } else if (warn.passed(value)) {
      level = Level::Problem;
      reason = "warning " + warn.words();
    }
    if (static_cast<int>(level) > static_cast<int>(worst)) {
      worst = level;
      worstAt = i;
      why = reason;
    }
  }
  const std::string shownSeries = remoteText(samples[worstAt].first, 120);
  const std::string valueWritten = samples[worstAt].second;
  const std::string value = remoteText(valueWritten, 40);
  // One series by its name; of several, the worst (the first when all are well).
  std::string line = about + (shownSeries.empty() ? "" : ": " + shownSeries) + " = " + value;
  if (samples.size() > 1)
    line = about + ": " + std::to_string(samples.size()) + " series, " + (worst == Level::Well ? "" : "worst ") +
           shownSeries + " = " + value;
  if (!why.empty()) line += " (" + why + ")";
  Outcome outcome{worst, line,
                  samples.size() > 1 ? remoteText(samples[worstAt].first, 50) + " " + value
                                     : remoteText(query, 40) + " " + value};
  char* end = nullptr;
  const double number = std::strtod(valueWritten.c_str(), &end);
  if (!valueWritten.empty() && *end == '\0' && std::isfinite(number))
    outcome.perfdata = perfItem("value", perfNumber(number), "", warn.given && !warn.below ? warn.value : -1,
                                crit.given && !crit.below ? crit.value : -1) +
                       " " + perfItem("series", std::to_string(samples.size()), "");
  return outcome;
}

Outcome checkAlerts(const Args& args) {
  const Arguments arguments(args, {"--match", "--timeout"}, {"URL"}, {"--match"});
  if (arguments.positional().size() != 1) throw UsageError("needs one URL");
  const std::string base = arguments.positional()[0];
  std::vector<std::pair<std::string, std::string>> matches;
  for (const std::string& match : arguments.texts("--match")) {
    const size_t equals = match.find('=');
    if (equals == std::string::npos || equals == 0) throw UsageError("--match needs LABEL=VALUE, not \"" + match + "\"");
    matches.emplace_back(match.substr(0, equals), match.substr(equals + 1));
  }
  const int64_t timeout = arguments.number("--timeout", 1, 3600000, false, kNetworkTimeoutMs);
  // A URL that names an API path is asked as it stands (Alertmanager's
  // /api/v2/alerts); a server's address gets Prometheus's /api/v1/alerts.
  const bool apiGiven = base.find("/api/") != std::string::npos;
  const std::string url = apiGiven ? base : apiUrl(base, "/api/v1/alerts");
  const std::string about = "Alerts of " + Quorlin::hidePasswords(base);

  const ApiAnswer api = fetchJson(url, timeout);
  if (!api.failure.empty()) return {Level::Critical, about + ": " + api.failure, remoteText(api.failure, 80)};
  const auto wrongShape = [&](const std::string& what) {
    return Outcome{Level::Critical, about + ": " + unexpected(what), unexpected(what)};
  };
  // Prometheus: {"data": {"alerts": [{"labels", "state": "firing"}]}};
  // Alertmanager: [{"labels", "status": {"state": "active"}}].
  const nlohmann::json& document = api.document;
  const nlohmann::json none;
  const nlohmann::json* alerts = &none;
  if (document.is_array()) {
    alerts = &document;
  } else if (document.is_object() && document.contains("data") && document["data"].is_object()) {
    const auto list = document["data"].find("alerts");
    if (list != document["data"].end()) alerts = &*list;
  }
  if (!alerts->is_array()) return {Level::Critical, about + ": the answer holds no list of alerts", "no alert list"};

  std::vector<std::string> names;
  std::set<std::string> seen;
  size_t firing = 0, pending = 0;
  for (const nlohmann::json& alert : *alerts) {
    if (!alert.is_object()) return wrongShape(std::string("an alert is ") + jsonKind(alert));
    const auto labelsAt = alert.find("labels");
    const nlohmann::json& labels = labelsAt == alert.end() ? none : *labelsAt;
    bool matched = labels.is_object();
    for (const auto& match : matches)
      matched = matched && labels.contains(match.first) && labels[match.first].is_string() &&
                labels[match.first].get_ref<const std::string&>() == match.second;
    if (!matched) continue;
    // The state: Prometheus's "state", or Alertmanager's "status"."state".
    const nlohmann::json* state = nullptr;
    if (alert.contains("status") && alert["status"].is_object() && alert["status"].contains("state"))
      state = &alert["status"]["state"];
    else if (alert.contains("state"))
      state = &alert["state"];
    if (state && !state->is_string()) return wrongShape(std::string("an alert's state is ") + jsonKind(*state));
    const std::string stateText = state ? state->get<std::string>() : std::string();
    if (stateText == "pending") ++pending;
    if (stateText != "firing" && stateText != "active") continue;
    ++firing;
    std::string name = "unnamed";
    if (labels.is_object() && labels.contains("alertname")) {
      if (!labels["alertname"].is_string())
        return wrongShape(std::string("an alert's name is ") + jsonKind(labels["alertname"]));
      name = remoteText(labels["alertname"].get<std::string>(), 80);
    }
    if (seen.insert(name).second) names.push_back(name);
  }
  Outcome outcome;
  outcome.perfdata = perfItem("firing", std::to_string(firing), "", -1, 0, 0) + " " +
                     perfItem("pending", std::to_string(pending), "", -1, -1, 0);
  if (firing == 0) {
    outcome.level = Level::Well;
    outcome.line = about + ": none firing" + (pending ? " (" + std::to_string(pending) + " pending)" : "");
    outcome.info = "no alerts firing";
    return outcome;
  }
  std::string list;
  for (size_t i = 0; i < names.size() && i < 3; ++i) list += (i ? ", " : "") + names[i];
  if (names.size() > 3) list += " and " + std::to_string(names.size() - 3) + " more";
  outcome.level = Level::Critical;
  outcome.line = about + ": " + std::to_string(firing) + " firing: " + list;
  outcome.info = "firing: " + remoteText(list, 80);
  return outcome;
}

}  // namespace VardokCheck
