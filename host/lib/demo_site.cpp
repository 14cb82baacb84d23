#include "host/lib/demo_site.h"

#include <windows.h>

#include <atomic>

#include "host/lib/certificates.h"

namespace VardokHost {

namespace {

std::string demoPage(unsigned request) {
  // Every fourth answer reports a slow back end, so the demo shows a change.
  const bool slow = request % 4 == 3;
  std::string body = "<html><body><h1>Vardok demo status</h1><p>Requests served: " + std::to_string(request + 1) +
                     "</p><velkaro:info>" + (slow ? "Slow responses" : "Serving") + "</velkaro:info></body></html>\n";
  return LoopbackHttpServer::response(200, body, {std::string("Error: ") + (slow ? "2" : "0")});
}

// The same service's state as JSON, for the demo's JSON check: the users
// climb by 7 a request and wrap, so the check passes its limits now and then.
std::string demoJson(unsigned request) {
  const unsigned users = 40 + request * 7 % 60;
  return LoopbackHttpServer::response(200,
                                      "{\"service\": {\"state\": \"ok\", \"users\": " + std::to_string(users) +
                                          ", \"requests\": " + std::to_string(request + 1) + "}}\n",
                                      {"Content-Type: application/json"});
}

}  // namespace

DemoSite startDemoSite(const std::function<void(const std::string&)>& say) {
  DemoSite site;
  // One page, counted across both servers.
  auto served = std::make_shared<std::atomic<unsigned>>(0);
  const auto page = [served](const std::string& head) {
    const bool json = head.compare(0, 22, "GET /status.json HTTP/") == 0;
    return LoopbackHttpServer::Reply{json ? demoJson((*served)++) : demoPage((*served)++)};
  };
  site.plain.reset(new LoopbackHttpServer("127.0.0.82"));
  if (site.plain->listening()) {
    site.plain->setHandler(page);
    say("Serving the demo status page at " + site.plain->url("/status"));
  } else {
    say("vardok-host: cannot serve the demo page on 127.0.0.82:80 (is the port free, and may this user bind it?)");
  }
  // Over HTTPS with the certificate made for this build, when it is there
  // (a release package carries none).
  LoopbackHttpServer::Options secure;
  secure.address = "127.0.0.1";
  secure.port = kDemoHttpsPort;
  secure.certificateFile = certificateFolder() + "server.pem";
  secure.keyFile = certificateFolder() + "server.key";
  if (GetFileAttributesA(secure.keyFile.c_str()) == INVALID_FILE_ATTRIBUTES) {
    say("Not serving it over HTTPS: no certificate in " + certificateFolder());
    return site;
  }
  site.secure.reset(new LoopbackHttpServer(secure));
  if (!site.secure->listening()) {
    say("vardok-host: cannot serve the demo page over HTTPS: " + site.secure->error());
    site.secure.reset();
    return site;
  }
  site.secure->setHandler(page);
  say("Serving it over HTTPS at " + site.secure->url("/status"));
  return site;
}

}  // namespace VardokHost
