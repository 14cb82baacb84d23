#include "tools/check/network.h"

#include <ws2tcpip.h>
#include <windows.h>

#include "support/win32_error.h"
#include "tools/check/checks.h"

namespace VardokCheck {

namespace {

// Connects to one address within timeoutMs: 0, or the socket error.
int connectWithin(const addrinfo& address, int64_t timeoutMs, SOCKET* connected) {
  SOCKET s = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
  if (s == INVALID_SOCKET) return WSAGetLastError();
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  int error = 0;
  if (connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
    error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      timeval limit{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000 * 1000)};
      const int ready = select(0, nullptr, &writable, &failed, &limit);
      if (ready == 0) {
        error = WSAETIMEDOUT;
      } else if (FD_ISSET(s, &failed) || ready < 0) {
        int size = sizeof error;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
        if (error == 0) error = WSAECONNREFUSED;
      } else {
        error = 0;
      }
    }
  }
  if (error == 0 && connected) {
    *connected = s;
    return 0;
  }
  closesocket(s);
  return error;
}

}  // namespace

int connectTo(const std::string& hostName, const std::string& port, int64_t timeoutMs, SOCKET* connected) {
  std::string host = hostName;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  const double start = nowMs();
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found) return WSAHOST_NOT_FOUND;
  int error = WSAEHOSTUNREACH;
  for (const addrinfo* address = found; address; address = address->ai_next) {
    const int64_t left = timeoutMs - static_cast<int64_t>(nowMs() - start);
    if (left <= 0) {
      error = WSAETIMEDOUT;
      break;
    }
    error = connectWithin(*address, left, connected);
    if (error == 0 || error == WSAETIMEDOUT) break;
  }
  freeaddrinfo(found);
  return error;
}

bool waitForSocket(SOCKET s, bool forWriting, int64_t ms) {
  if (ms <= 0) return false;
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval limit{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000 * 1000)};
  return select(0, forWriting ? nullptr : &set, forWriting ? &set : nullptr, nullptr, &limit) > 0;
}

std::string connectFailureText(int error, int64_t timeoutMs) {
  switch (error) {
    case WSAHOST_NOT_FOUND:
      return "the name is not found";
    case WSAETIMEDOUT:
      return "no answer within " + std::to_string(timeoutMs) + " ms";
    case WSAECONNREFUSED:
      return "connection refused";
    default:
      return "cannot connect: " + Quorlin::errorText(static_cast<DWORD>(error));
  }
}

}  // namespace VardokCheck
