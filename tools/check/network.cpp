#include "tools/check/network.h"

#include <ws2tcpip.h>
#include <windows.h>

#include "tools/check/checks.h"
#include "tools/check/error_words.h"
#include "tools/check/resolve.h"

namespace VardokCheck {

namespace {

// Connects to one address within timeoutMs: 0, or the socket error.
int connectWithin(const Resolved::Address& address, int64_t timeoutMs, SOCKET* connected) {
  SOCKET s = socket(address.family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return WSAGetLastError();
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  int error = 0;
  if (connect(s, reinterpret_cast<const sockaddr*>(&address.address), address.length) != 0) {
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

int connectTo(const std::string& host, const std::string& port, int64_t timeoutMs, SOCKET* connected) {
  const double start = nowMs();
  const Resolved resolved = resolveWithin(host, port, AF_UNSPEC, SOCK_STREAM, timeoutMs);
  if (resolved.result == Resolved::Result::NoAnswer) return WSATRY_AGAIN;
  if (resolved.result == Resolved::Result::NotFound) return WSAHOST_NOT_FOUND;
  int error = WSAEHOSTUNREACH;
  for (const Resolved::Address& address : resolved.addresses) {
    const int64_t left = timeoutMs - static_cast<int64_t>(nowMs() - start);
    if (left <= 0) {
      error = WSAETIMEDOUT;
      break;
    }
    error = connectWithin(address, left, connected);
    if (error == 0 || error == WSAETIMEDOUT) break;
  }
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
    case WSATRY_AGAIN:
      return "the name look-up got no answer within " + std::to_string(timeoutMs) + " ms";
    case WSAETIMEDOUT:
      return "no answer within " + std::to_string(timeoutMs) + " ms";
    case WSAECONNREFUSED:
      return "connection refused";
    default:
      return "cannot connect: " + errorWords(static_cast<uint32_t>(error));
  }
}

}  // namespace VardokCheck
