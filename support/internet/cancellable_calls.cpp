#include "support/internet/cancellable_calls.h"

#include <winsock2.h>
#include <windows.h>

namespace Quorlin {

namespace {

// Winsock's per-thread socket-open type (mswsock.h).
constexpr int kOpenType = 0x7008;               // SO_OPENTYPE
constexpr int kSynchronousNonAlert = 0x20;      // SO_SYNCHRONOUS_NONALERT

}  // namespace

CancellableCalls::CancellableCalls() {
  WSADATA data;
  _started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  if (!_started) return;
  int length = sizeof _previous;
  if (getsockopt(INVALID_SOCKET, SOL_SOCKET, kOpenType, reinterpret_cast<char*>(&_previous), &length) != 0)
    _previous = 0;
  const int type = kSynchronousNonAlert;
  _active = setsockopt(INVALID_SOCKET, SOL_SOCKET, kOpenType, reinterpret_cast<const char*>(&type), sizeof type) == 0;
}

CancellableCalls::~CancellableCalls() {
  if (_active)
    setsockopt(INVALID_SOCKET, SOL_SOCKET, kOpenType, reinterpret_cast<const char*>(&_previous), sizeof _previous);
  if (_started) WSACleanup();
}

}  // namespace Quorlin
