// A host name looked up within a time limit. The system's resolver waits
// seconds per server and try and cannot be cut short, so the question is
// asked on a thread of its own: when the time is up the caller goes on
// with its verdict and the question is left behind (the process ends soon
// after). tcp, ping, cert and the commands that read the web all look
// names up here.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <string>
#include <vector>

namespace VardokCheck {

struct Resolved {
  enum class Result { Found, NotFound, NoAnswer };
  Result result = Result::NoAnswer;
  // NotFound: getaddrinfo's error (WSAHOST_NOT_FOUND, WSANO_DATA, ...).
  int error = 0;
  struct Address {
    sockaddr_storage address;
    int length, family, socketType, protocol;
  };
  std::vector<Address> addresses;  // Found: in the resolver's order
};

// Looks host up as getaddrinfo(host, port, hints) would, within timeoutMs.
// A numeric address answers at once. An IPv6 literal may come in the
// brackets a URL gives it. Needs Winsock started; any thread.
Resolved resolveWithin(const std::string& host, const std::string& port, int family, int socketType,
                       int64_t timeoutMs);

// "the name look-up of HOST got no answer within 2000 ms", "the name HOST
// is not found": the words for a look-up that found no address.
std::string lookupFailureText(const std::string& host, const Resolved& resolved, int64_t timeoutMs);

}  // namespace VardokCheck
