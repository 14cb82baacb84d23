// The HTTP check's URL readings: the server name and the object path.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

#include "support/internet/url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string url(reinterpret_cast<const char*>(bytes), size);
  std::string server, refusal;
  if (Quorlin::splitHttpUrl(url, &server, &refusal)) {
    if (url.size() < 7 || url.compare(7, server.size(), server) != 0) __builtin_trap();
    if (server.find('/', 1) != std::string::npos) __builtin_trap();
  } else if (refusal.compare(0, 10, "Protocol: ") != 0 || refusal.size() != url.size() + 10) {
    __builtin_trap();
  }
  // The path is what is left of the URL's end.
  const std::string path = Quorlin::objectPath(url.c_str());
  const std::string whole(url.c_str());
  if (path.size() > whole.size() || whole.compare(whole.size() - path.size(), path.size(), path) != 0) __builtin_trap();
  return 0;
}
