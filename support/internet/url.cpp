#include "support/internet/url.h"

#include <algorithm>
#include <cctype>

#include "support/regex/regex.h"

namespace Quorlin {

namespace {

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %XX becomes its byte; a '%' not followed by two hex digits stays.
std::string percentDecoded(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Length of "http://" or "https://" at the start of lower, 0 for neither.
size_t schemeLength(const std::string& lower) {
  if (lower.compare(0, 7, "http://") == 0) return 7;
  if (lower.compare(0, 8, "https://") == 0) return 8;
  return 0;
}

// The port after a host: digits only, 1..65535.
bool readPort(const std::string& text, int* port) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return false;
  *port = value;
  return true;
}

}  // namespace

bool splitHttpUrl(const std::string& url, HttpUrl* parts, std::string* refusal) {
  const std::string lower = lowerCase(url);
  const size_t start = schemeLength(lower);
  if (start == 0) {
    *refusal = "Protocol: " + lower;
    return false;
  }
  HttpUrl out;
  out.secure = start == 8;
  out.port = out.secure ? 443 : 80;

  const size_t authorityEnd = std::min(url.find_first_of("/?#", start), url.size());
  std::string authority = url.substr(start, authorityEnd - start);
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    const std::string userInfo = authority.substr(0, at);
    const size_t colon = userInfo.find(':');
    out.user = percentDecoded(userInfo.substr(0, colon));
    if (colon != std::string::npos) out.password = percentDecoded(userInfo.substr(colon + 1));
    authority.erase(0, at + 1);
  }

  // The host ends at its port's ':', which for an IPv6 literal comes after
  // the closing bracket.
  size_t hostEnd = authority.size();
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) {
      *refusal = "Bad host";
      return false;
    }
    hostEnd = close + 1;
    if (hostEnd < authority.size() && authority[hostEnd] != ':') {
      *refusal = "Bad host";
      return false;
    }
  } else {
    hostEnd = std::min(authority.find(':'), authority.size());
  }
  out.host = authority.substr(0, hostEnd);
  // "host:" with nothing after the colon keeps the scheme's port.
  if (hostEnd + 1 < authority.size() && !readPort(authority.substr(hostEnd + 1), &out.port)) {
    *refusal = "Bad port";
    return false;
  }

  const size_t fragment = std::min(url.find('#', authorityEnd), url.size());
  out.object = url.substr(authorityEnd, fragment - authorityEnd);
  if (out.object.empty() || out.object[0] != '/') out.object.insert(0, "/");
  *parts = std::move(out);
  return true;
}

std::string objectPath(const std::string& url) {
  HttpUrl parts;
  std::string refusal;
  if (splitHttpUrl(url, &parts, &refusal)) return parts.object;
  return RegEx::doReplace("#^[a-z]+://[^/]+#i", "", url, 0);
}

std::string resolveLocation(const std::string& base, const std::string& location) {
  // An absolute URL: letters, digits, '+', '-' or '.' up to a ':'.
  const size_t colon = location.find(':');
  if (colon != std::string::npos && colon > 0 && std::isalpha(static_cast<unsigned char>(location[0])) &&
      location.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.") == colon)
    return location;
  const size_t schemeEnd = base.find("://");
  if (schemeEnd == std::string::npos) return location;
  if (location.compare(0, 2, "//") == 0) return base.substr(0, schemeEnd + 1) + location;
  const size_t authorityEnd = std::min(base.find_first_of("/?#", schemeEnd + 3), base.size());
  const std::string origin = base.substr(0, authorityEnd);
  if (!location.empty() && location[0] == '/') return origin + location;
  // Relative to the base's directory; a query or fragment alone replaces
  // only the base's own.
  const size_t pathEnd = std::min(base.find_first_of("?#", authorityEnd), base.size());
  if (location.empty()) return base.substr(0, std::min(base.find('#', authorityEnd), base.size()));
  if (location[0] == '?') return base.substr(0, pathEnd) + location;
  if (location[0] == '#') return base.substr(0, std::min(base.find('#', authorityEnd), base.size())) + location;
  const std::string path = base.substr(authorityEnd, pathEnd - authorityEnd);
  const size_t lastSlash = path.rfind('/');
  return origin + (lastSlash == std::string::npos ? "/" : path.substr(0, lastSlash + 1)) + location;
}

std::string hidePasswords(const std::string& text) {
  // The user name runs from "://" to the first ':' and holds no '/', '?',
  // '#' or white space; the password then runs to the last '@' before the
  // next "://". It may hold anything, '/', '#', '?' and spaces included,
  // so that no password shows, even one that makes the URL unreadable. A
  // '@' later in the text (a query, an address) only hides more.
  std::string out;
  size_t done = 0;
  for (size_t scheme = text.find("://"); scheme != std::string::npos; scheme = text.find("://", done)) {
    const size_t start = scheme + 3;
    const size_t next = std::min(text.find("://", start), text.size());
    const size_t colon = text.find_first_of(":/?# \t\r\n\"", start);
    const size_t at = text.rfind('@', next - 1);
    if (colon < next && text[colon] == ':' && at != std::string::npos && at > colon) {
      out.append(text, done, colon + 1 - done).append("***");
      done = at;
    } else {
      out.append(text, done, start - done);
      done = start;
    }
  }
  return out.append(text, done, std::string::npos);
}

}  // namespace Quorlin
