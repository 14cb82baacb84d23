#include "tools/check/resolve.h"

#include <cstring>
#include <optional>

#include "tools/check/error_words.h"
#include "tools/check/within.h"

namespace VardokCheck {

namespace {

Resolved lookUp(const std::string& host, const std::string& port, const addrinfo& hints) {
  Resolved resolved;
  addrinfo* found = nullptr;
  const int error = getaddrinfo(host.c_str(), port.empty() ? nullptr : port.c_str(), &hints, &found);
  if (error == WSATRY_AGAIN) {
    resolved.result = Resolved::Result::NoAnswer;
    resolved.error = error;
  } else if (error != 0 || !found) {
    resolved.result = Resolved::Result::NotFound;
    resolved.error = error != 0 ? error : WSAHOST_NOT_FOUND;
  } else {
    resolved.result = Resolved::Result::Found;
    for (const addrinfo* a = found; a; a = a->ai_next) {
      Resolved::Address address{};
      if (a->ai_addrlen > sizeof address.address) continue;
      memcpy(&address.address, a->ai_addr, a->ai_addrlen);
      address.length = static_cast<int>(a->ai_addrlen);
      address.family = a->ai_family;
      address.socketType = a->ai_socktype;
      address.protocol = a->ai_protocol;
      resolved.addresses.push_back(address);
    }
  }
  if (found) freeaddrinfo(found);
  return resolved;
}

}  // namespace

Resolved resolveWithin(const std::string& hostName, const std::string& port, int family, int socketType,
                       int64_t timeoutMs) {
  std::string host = hostName;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = socketType;
  hints.ai_flags = AI_NUMERICHOST;
  // An address as written needs no name server.
  Resolved numeric = lookUp(host, port, hints);
  if (numeric.result == Resolved::Result::Found) return numeric;
  hints.ai_flags = 0;

  const std::optional<Resolved> answer =
      answerWithin<Resolved>(timeoutMs, [host, port, hints] { return lookUp(host, port, hints); });
  return answer ? *answer : Resolved();
}

std::string lookupFailureText(const std::string& host, const Resolved& resolved, int64_t timeoutMs) {
  if (resolved.result == Resolved::Result::NoAnswer)
    return resolved.error ? "no name server answered for " + host
                          : "the name look-up of " + host + " got no answer within " + std::to_string(timeoutMs) +
                                " ms";
  if (resolved.error == WSAHOST_NOT_FOUND || resolved.error == WSANO_DATA) return "the name " + host + " is not found";
  return "the name " + host + " cannot be looked up: " + errorWords(static_cast<uint32_t>(resolved.error));
}

}  // namespace VardokCheck
