// A page fetched as the plug-in's HTTP check fetches it (redirects,
// certificates), for vardok-check's commands that read the web: within a
// time limit that holds whatever the server does (its waits are cancelled;
// a name look-up still hanging a second past it ends the process with the
// verdict).
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

Fetched fetchPage(const std::string& url, int64_t timeoutMs, Quorlin::Request::RequestType method);

}  // namespace VardokCheck
