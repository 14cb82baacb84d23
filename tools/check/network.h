// What vardok-check's network commands (tcp, http, ping, json) share: the
// time limit they take by default, and Winsock started for a scope.
#pragma once

#include <cstdint>

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

}  // namespace VardokCheck
