// The hosts' checks as Prometheus metrics: the text exposition format at
// /metrics, so that a fleet's Prometheus can watch a desktop's checks.
//
//   vardok_check_status{contact="Web"} 0          0 well, 1 problem, 2 critical
//   vardok_check_up{contact="Web"} 1               1 when well
//   vardok_check_last_run_timestamp_seconds{contact="Web"} 1796947205.123
//   vardok_check_duration_seconds{contact="Web"} 0.021
//   vardok_check_uptime_ratio{contact="Web",window="24h"} 0.9993   (also 7d, 30d)
//   vardok_check_perf{contact="Web",label="time",unit="seconds"} 0.012
//
// A contact is a check of network 82 with a result; a second contact of
// one name is "Name (2)". The uptime comes from the history's memory (no
// disk is read to answer), the rest from the contact table. Label values
// are UTF-8 with \\, \" and \n escaped.
//
// MetricsServer serves the page on its own thread; it must go before the
// session it reads. metricsPage: any thread.
#pragma once

#include <memory>
#include <string>

#include "host/lib/host_session.h"
#include "host/serve/http_server.h"

namespace VardokHost {

std::string metricsPage(const HostSession& session);

class MetricsServer {
 public:
  // Listens at listenAt, "[ADDR:]PORT" (loopback, 127.0.0.1, unless an address
  // is given: "0.0.0.0:9182" for every interface). Null with the reason in
  // *error.
  static std::unique_ptr<MetricsServer> start(const HostSession& session, const std::string& listenAt,
                                              std::string* error);
  // "http://ADDR:PORT/metrics"
  std::string url() const;

 private:
  explicit MetricsServer(const LoopbackHttpServer::Options& options) : _server(options) {}
  LoopbackHttpServer _server;
};

}  // namespace VardokHost
