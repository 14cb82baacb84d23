#include "support/internet/url.h"

#include <algorithm>
#include <cctype>

#include "support/regex/regex.h"

namespace Quorlin {

bool splitHttpUrl(const std::string& url, std::string* server, std::string* refusal) {
  std::string lower = url;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower.compare(0, 7, "http://") != 0) {
    *refusal = "Protocol: " + lower;
    return false;
  }
  // The search starts one past the host's first character, so a
  // one-character host keeps its name.
  const size_t slash = url.find('/', 8);
  *server = url.substr(7, slash == std::string::npos ? std::string::npos : slash - 7);
  return true;
}

std::string objectPath(const std::string& url) { return RegEx::doReplace("#^[a-z]+://[^/]+#i", "", url, 0); }

}  // namespace Quorlin
