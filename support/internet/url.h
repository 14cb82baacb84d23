// Reading an HTTP check's URL. Platform-free; any thread.
#pragma once

#include <string>

namespace Quorlin {

// The parts of an "http://" or "https://" URL that a request needs.
struct HttpUrl {
  bool secure = false;       // https
  std::string host;          // name or address; an IPv6 literal keeps its brackets
  int port = 80;             // 443 for https when the URL names none
  std::string user;          // user information, percent-decoded
  std::string password;
  std::string object = "/";  // path and query; never empty, no fragment
};

// Splits url as a browser would: the scheme (any letter case) and "//",
// then the authority up to the first '/', '?' or '#', in it user
// information up to the last '@' (user and password split at the first
// ':'), then path and query; a fragment is dropped and an empty path is
// "/". Answers false with *refusal set when it cannot be read:
//  - "Protocol: " and the whole URL in lower case for any other scheme;
//  - "Bad port" for a port that is not a number from 1 to 65535;
//  - "Bad host" for an IPv6 literal without its closing bracket.
bool splitHttpUrl(const std::string& url, HttpUrl* parts, std::string* refusal);

// The object path a request for url asks for: the split path and query, or,
// for a URL that cannot be split, the URL without a leading letters-only
// scheme, "://" and host ("" when nothing follows).
std::string objectPath(const std::string& url);

// Where a redirect's Location leads from base: an absolute URL as it
// stands, "//host/..." with base's scheme, "/path" on base's server, and
// anything else relative to base's path up to its last '/'.
std::string resolveLocation(const std::string& base, const std::string& location);

// text with the password of every "scheme://user:password@" in it
// replaced by "***", for everything a person reads (boxes, logs, the
// console, vardok-check's output): the password runs to the last '@'
// before the next URL, whatever it holds, also in a URL that is refused.
std::string hidePasswords(const std::string& text);

}  // namespace Quorlin
