// A page fetched as the plug-in's HTTP check fetches it (redirects,
// certificates), for vardok-check's commands that read the web, within a
// time limit that holds whatever the server or the name servers do.
#pragma once

#include <cstdint>
#include <string>

#include "support/internet/http_get.h"

namespace VardokCheck {

struct Fetched {
  Quorlin::HttpAnswer answer;
  std::string failure;  // empty: an answer came; else why none did, password hidden
  double elapsedMs = 0;
};

// about: what the command's line begins with ("JSON http://..."). The URL's
// host is looked up first within the limit (resolveWithin); the server's
// waits are cancelled at the limit; a look-up of WinINet's own still
// holding the request half a second on is not waited for: the verdict
// "ABOUT: no answer within N ms" is printed from the watch and the process
// ends with it.
Fetched fetchPage(const std::string& url, int64_t timeoutMs, Quorlin::Request::RequestType method,
                  const std::string& about);

}  // namespace VardokCheck
