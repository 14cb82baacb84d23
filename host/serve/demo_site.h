// The demo's web site, which the default contact list checks: a status
// page at http://127.0.0.82/status (and /status.json) and the same over
// HTTPS at https://localhost:48282/ with this build's test certificate.
// The console host and the desk host serve it for their default list.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "host/lib/served_site.h"
#include "host/serve/http_server.h"

namespace VardokHost {

// The demo page's HTTPS port on 127.0.0.1 (https://localhost:48282/).
constexpr int kDemoHttpsPort = 48282;

struct DemoSite final : iServedSite {
  // Null when not served, with the reason in words.
  std::unique_ptr<LoopbackHttpServer> plain;
  std::unique_ptr<LoopbackHttpServer> secure;
  std::string plainWhy, secureWhy;
};

// Starts both servers; say hears, in words, where each serves or why it
// does not (a release package carries no certificate).
DemoSite startDemoSite(const std::function<void(const std::string&)>& say);

}  // namespace VardokHost
