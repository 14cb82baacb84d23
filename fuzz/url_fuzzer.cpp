// The HTTP check's URL readings: the split, the object path, redirects
// and the hiding of passwords.
#include <cstddef>
#include <cstdint>
#include <string>

#include "support/internet/url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string url(reinterpret_cast<const char*>(bytes), size);
  Quorlin::HttpUrl parts;
  std::string refusal;
  if (Quorlin::splitHttpUrl(url, &parts, &refusal)) {
    if (parts.object.empty() || parts.object[0] != '/' || parts.object.find('#') != std::string::npos) __builtin_trap();
    if (parts.host.find_first_of("/?#@") != std::string::npos) __builtin_trap();
    if (parts.port < 1 || parts.port > 65535) __builtin_trap();
    if (Quorlin::objectPath(url) != parts.object) __builtin_trap();
  } else if (refusal.compare(0, 10, "Protocol: ") == 0) {
    if (refusal.size() != url.size() + 10) __builtin_trap();
  } else if (refusal != "Bad port" && refusal != "Bad host") {
    __builtin_trap();
  }
  // A redirect's target: the first half as base, the second as Location.
  const std::string target = Quorlin::resolveLocation(url.substr(0, size / 2), url.substr(size / 2));
  if (target.size() > 2 * size + 16) __builtin_trap();
  // Hiding passwords never makes a text longer than three bytes per scheme.
  const std::string hidden = Quorlin::hidePasswords(url);
  if (hidden.size() > url.size() + 3 * (size / 3 + 1)) __builtin_trap();
  return 0;
}
