#include "host/serve/demo_site.h"

#include <windows.h>

#include <atomic>

#include "host/serve/certificates.h"

namespace VardokHost {

namespace {

// For its first two minutes the demo is well everywhere, so that a new
// user's first look at the list shows working checks; only then does it
// start to change now and then.
constexpr ULONGLONG kCalmMs = 120000;

// The status page. Past the calm start, every fourth answer of the plain
// page reports a slow back end, so the demo shows a problem come and go;
// the HTTPS page, which shows that HTTPS checks work, stays well.
std::string demoPage(unsigned request, bool varies) {
  const bool slow = varies && request % 4 == 3;
  std::string body = "<html><body><h1>Vardok demo status</h1><p>Requests served: " + std::to_string(request + 1) +
                     "</p><velkaro:info>" + (slow ? "Slow responses" : "Serving") + "</velkaro:info></body></html>\n";
  return LoopbackHttpServer::response(200, body, {std::string("Error: ") + (slow ? "2" : "0")});
}

// The same service's state as JSON, for the demo's JSON check. Past the
// calm start the users climb by 7 a request and wrap, so the check passes
// its limits (80 and 95) now and then; before it they stay below 50.
std::string demoJson(unsigned request, bool varies) {
  const unsigned users = varies ? 40 + request * 7 % 60 : 40 + request % 10;
  return LoopbackHttpServer::response(200,
                                      "{\"service\": {\"state\": \"ok\", \"users\": " + std::to_string(users) +
                                          ", \"requests\": " + std::to_string(request + 1) + "}}\n",
                                      {"Content-Type: application/json"});
}

// Each page counts its own requests, so one page's checks do not move
// another's turn.
struct DemoCounters {
  ULONGLONG startedAt = GetTickCount64();
  std::atomic<unsigned> plainPage{0};
  std::atomic<unsigned> securePage{0};
  std::atomic<unsigned> json{0};

  bool varies() const { return GetTickCount64() - startedAt >= kCalmMs; }
};

LoopbackHttpServer::Handler demoHandler(const std::shared_ptr<DemoCounters>& counters, bool secure) {
  return [counters, secure](const std::string& head) {
    const bool varies = counters->varies();
    if (head.compare(0, 22, "GET /status.json HTTP/") == 0)
      return LoopbackHttpServer::Reply{demoJson(counters->json++, varies)};
    if (secure) return LoopbackHttpServer::Reply{demoPage(counters->securePage++, false)};
    return LoopbackHttpServer::Reply{demoPage(counters->plainPage++, varies)};
  };
}

}  // namespace

DemoSite startDemoSite(const std::function<void(const std::string&)>& say) {
  DemoSite site;
  const auto counters = std::make_shared<DemoCounters>();
  site.plain.reset(new LoopbackHttpServer("127.0.0.82"));
  if (site.plain->listening()) {
    site.plain->setHandler(demoHandler(counters, false));
    say("Serving the demo status page at " + site.plain->url("/status"));
  } else {
    // Another program may serve there: the demo's checks would judge it.
    site.plainWhy = site.plain->error();
    site.plain.reset();
    say("vardok-host: cannot serve the demo page on 127.0.0.82:80: " + site.plainWhy +
        " (is the port free, and may this user bind it?)");
  }
  // Over HTTPS with the certificate made for this build, when it is there
  // (a release package carries none).
  LoopbackHttpServer::Options secure;
  secure.address = "127.0.0.1";
  secure.port = kDemoHttpsPort;
  secure.certificateFile = certificateFolder() + "server.pem";
  secure.keyFile = certificateFolder() + "server.key";
  if (GetFileAttributesA(secure.keyFile.c_str()) == INVALID_FILE_ATTRIBUTES) {
    site.secureWhy = "no test certificate here";
    say("Not serving it over HTTPS: no certificate in " + certificateFolder());
    return site;
  }
  site.secure.reset(new LoopbackHttpServer(secure));
  if (!site.secure->listening()) {
    site.secureWhy = site.secure->error();
    say("vardok-host: cannot serve the demo page over HTTPS: " + site.secureWhy);
    site.secure.reset();
    return site;
  }
  site.secure->setHandler(demoHandler(counters, true));
  say("Serving it over HTTPS at " + site.secure->url("/status"));
  return site;
}

}  // namespace VardokHost
