// The two readings of an HTTP check's URL. Platform-free; any thread.
#pragma once

#include <string>

namespace Quorlin {

// The server name of an "http://" URL (scheme in any letter case): what
// follows "http://" up to the first '/' at or after offset 8, or to the end.
// A port suffix, user information or a query before that '/' stay part of
// it. For any other URL answers false and sets *refusal to "Protocol: "
// followed by the whole URL in lower case.
bool splitHttpUrl(const std::string& url, std::string* server, std::string* refusal);

// The URL without a leading letters-only scheme, "://" and host; the rest
// (path, query, fragment) as written. Empty when nothing follows the host.
std::string objectPath(const std::string& url);

}  // namespace Quorlin
