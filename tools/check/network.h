// What vardok-check's network commands (tcp, http, ping, json, dns, cert,
// prom, alerts) share: the time limit they take by default, Winsock started
// for a scope, and connecting to a host within a time limit.
#pragma once

#include <cstdint>
#include <string>

#include <winsock2.h>

namespace VardokCheck {

// --timeout when it is not given: the whole command, name look-up included.
constexpr int64_t kNetworkTimeoutMs = 10000;

// Winsock started for the scope of the object.
struct Winsock {
  Winsock() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~Winsock() { WSACleanup(); }
  Winsock(const Winsock&) = delete;
  Winsock& operator=(const Winsock&) = delete;
};

// Looks host up (resolveWithin) and connects to its addresses in turn,
// within timeoutMs in all. 0 when connected, else a socket error:
// WSAHOST_NOT_FOUND when the name is not found, WSATRY_AGAIN when the look-up
// got no answer in time, WSAETIMEDOUT when the connection got none. With connected, a
// socket that connected is handed over (non-blocking) instead of closed.
// An IPv6 literal may come in the brackets a URL gives it.
int connectTo(const std::string& host, const std::string& port, int64_t timeoutMs, SOCKET* connected = nullptr);

// Waits until s can be read (or, with forWriting, written), at most ms.
// False when the time ran out or the socket failed.
bool waitForSocket(SOCKET s, bool forWriting, int64_t ms);

// The words for a connection that failed with error ("connection refused",
// "no answer within 500 ms", "the name is not found").
std::string connectFailureText(int error, int64_t timeoutMs);

}  // namespace VardokCheck
