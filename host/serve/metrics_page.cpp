#include "host/serve/metrics_page.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "host/history/perf_data.h"
#include "host/lib/host_text.h"
#include "hostapi/messages.h"
#include "hostapi/protocol.h"

namespace VardokHost {

namespace {

std::string labelValue(const std::string& utf8) {
  std::string escaped;
  for (const char c : utf8) {
    if (c == '\\') escaped += "\\\\";
    else if (c == '"') escaped += "\\\"";
    else if (c == '\n') escaped += "\\n";
    else if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') escaped += c;
  }
  return escaped;
}

// A number as the format reads it, exact enough to round-trip.
std::string number(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

struct Family {
  const char* name;
  const char* help;
  std::string samples;
};

}  // namespace

std::string metricsPage(const HostSession& session) {
  Family status{"vardok_check_status", "The check's state: 0 well, 1 problem, 2 critical.", {}};
  Family up{"vardok_check_up", "1 when the check is well, else 0.", {}};
  Family last{"vardok_check_last_run_timestamp_seconds", "When the check last reported, in Unix time.", {}};
  Family duration{"vardok_check_duration_seconds", "How long the check's last run took.", {}};
  Family uptime{"vardok_check_uptime_ratio", "The share of the window's known time the check was well.", {}};
  Family perf{"vardok_check_perf", "The check's performance values, in base units.", {}};

  const ContactHost& host = session.host();
  const HistoryStore* history = session.history();
  std::map<std::string, int> seen;
  for (const HostSession::Check& check : session.checksCopy()) {
    if (check.entry.network != Vardok::kNetwork || check.results == 0) continue;
    // A second contact of one name is "Name (2)", and so on past any
    // contact already called so.
    std::string name = check.entry.name;
    for (int times = 2; seen.count(name); ++times) name = check.entry.name + " (" + std::to_string(times) + ")";
    seen[name] = 1;
    const std::string contact = "contact=\"" + labelValue(name) + "\"";
    const CheckState state = stateOfStatus(host.getInt(check.row, Vardok::kColumnStatus));
    status.samples += std::string(status.name) + "{" + contact + "} " + std::to_string(static_cast<int>(state)) + "\n";
    up.samples += std::string(up.name) + "{" + contact + "} " + (state == CheckState::Well ? "1" : "0") + "\n";
    if (check.lastUnixMs > 0)
      last.samples += std::string(last.name) + "{" + contact + "} " + number(check.lastUnixMs / 1000.0) + "\n";
    if (check.lastDurationMs >= 0)
      duration.samples += std::string(duration.name) + "{" + contact + "} " + number(check.lastDurationMs / 1000.0) + "\n";
    if (history) {
      const Uptime ratios = history->glance(historyKey(check.entry)).uptime;
      const std::pair<const char*, double> windows[] = {{"24h", ratios.day}, {"7d", ratios.week}, {"30d", ratios.month}};
      for (const auto& [window, ratio] : windows)
        if (!std::isnan(ratio))
          uptime.samples += std::string(uptime.name) + "{" + contact + ",window=\"" + window + "\"} " + number(ratio) + "\n";
    }
    std::set<std::string> labels;
    for (const PerfValue& value : perfValues(fromHostText(host.firstLine(check.row, Vardok::kColumnDescription, 4096)))) {
      if (!labels.insert(value.label).second) continue;
      perf.samples += std::string(perf.name) + "{" + contact + ",label=\"" + labelValue(value.label) + "\",unit=\"" +
                      value.unit + "\"} " + number(value.value) + "\n";
    }
  }
  std::string page;
  for (const Family* family : {&status, &up, &last, &duration, &uptime, &perf})
    page += std::string("# HELP ") + family->name + " " + family->help + "\n# TYPE " + family->name + " gauge\n" +
            family->samples;
  return page;
}

std::unique_ptr<MetricsServer> MetricsServer::start(const HostSession& session, const std::string& listenAt,
                                                    std::string* error) {
  LoopbackHttpServer::Options options;
  options.address = "127.0.0.1";
  std::string port = listenAt;
  const size_t colon = listenAt.rfind(':');
  if (colon != std::string::npos) {
    options.address = listenAt.substr(0, colon);
    port = listenAt.substr(colon + 1);
    // [::1]:9182
    if (options.address.size() >= 2 && options.address.front() == '[' && options.address.back() == ']')
      options.address = options.address.substr(1, options.address.size() - 2);
  }
  char* end = nullptr;
  const long number = port.empty() ? -1 : std::strtol(port.c_str(), &end, 10);
  if (port.empty() || *end != '\0' || number < 1 || number > 65535 || options.address.empty()) {
    *error = "--metrics wants [ADDRESS:]PORT, a port from 1 to 65535, not '" + listenAt + "'";
    return nullptr;
  }
  options.port = static_cast<int>(number);
  options.keepRequests = false;
  // A client that stops reading holds the one thread that serves the page
  // 3 s at most, and never the host's end.
  options.sendTimeoutMs = 3000;
  std::unique_ptr<MetricsServer> server(new MetricsServer(options));
  if (!server->_server.listening()) {
    *error = "metrics: " + server->_server.error();
    return nullptr;
  }
  const HostSession* reading = &session;
  server->_server.setHandler([reading](const std::string& head) {
    const bool metrics = head.compare(0, 13, "GET /metrics ") == 0 || head.compare(0, 13, "GET /metrics?") == 0;
    if (!metrics)
      return LoopbackHttpServer::Reply{LoopbackHttpServer::response(404, "Vardok serves /metrics only.\n")};
    return LoopbackHttpServer::Reply{LoopbackHttpServer::response(
        200, metricsPage(*reading), {"Content-Type: text/plain; version=0.0.4; charset=utf-8"})};
  });
  return server;
}

std::string MetricsServer::url() const { return _server.url("/metrics"); }

}  // namespace VardokHost
