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

// The URL's host is looked up first within the limit (resolveWithin); the
// fetch runs on a thread of its own whose waits are cancelled at the
// limit; one still held by the platform half a second on (a name look-up
// of WinINet's own) is left behind, and the answer is a failure: "no answer
// within N ms", or how much of a body had come. So the caller gives its
// verdict, and a further attempt under --retries runs, whatever the
// platform does.
Fetched fetchPage(const std::string& url, int64_t timeoutMs, Quorlin::Request::RequestType method);

}  // namespace VardokCheck
