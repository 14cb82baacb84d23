// A GET through WinINet as a monitoring check needs it: redirects followed
// up to a limit, and an answer that is not a whole HTTP response taken for
// a failure rather than for an empty success. Shared by the plug-in's HTTP
// check and vardok-check's http command.
//
// Threads: a call is one thread's, which owns and closes every handle it
// opens. Another thread ends a call by cancelling the calling thread's
// waits (CancellableCalls), never by closing a handle the caller may still
// be using.
#pragma once

#include <cstdint>
#include <atomic>
#include <functional>
#include <string>

#include "support/internet/internet.h"

namespace Quorlin {

// A fetch that got no usable answer; the reason names it in a few words:
// "Failed send" (no connection; with its cause after a colon where WinINet
// names one: "Failed send: name not resolved", "...: refused or
// unreachable", "...: timed out"), "Certificate: unknown issuer" (and the
// other certificate faults), "Secure channel failed", "No response" (the
// server closed or reset the connection unanswered), "No status line",
// "Too many redirects", "Failed read", "Failed read: body ends early".
class ExceptionNoAnswer : public ExceptionInternet {
 public:
  ExceptionNoAnswer(const std::string& reason, uint32_t errorCode = 0)
      : ExceptionInternet(reason), _errorCode(errorCode) {}
  uint32_t _errorCode;  // WinINet's error for a failed send, else 0
};

struct HttpAnswer {
  SharedPtr<Request> request;  // the final request, for its headers; null when the hook stopped
  uint32_t status = 0;
  std::string body;            // at most keep bytes of it
  uint64_t bodyBytes = 0;      // all that was read
};

struct HttpGetOptions {
  // GET, or HEAD (an answer with no body, whatever its Content-Length).
  Request::RequestType method = Request::GET;
  size_t keep = static_cast<size_t>(-1);
  int maxRedirects = 10;
  // Added to each request's flags; INTERNET_FLAG_NO_AUTO_REDIRECT and
  // INTERNET_FLAG_RELOAD are always there.
  // A status check neither sends nor stores cookies: each asks afresh.
  uint32_t flags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES;
  // Each request's connect, send and receive time limit, in milliseconds
  // (INTERNET_OPTION_CONNECT_TIMEOUT, _SEND_TIMEOUT, _RECEIVE_TIMEOUT), so
  // that a server that takes the connection and never answers holds the
  // calling thread for a bounded time whatever else happens to the call.
  // 0: WinINet's own limits.
  uint32_t timeoutMs = 0;
  // Called with each request before it is sent; false stops the fetch,
  // which then answers with a null request.
  std::function<bool(const SharedPtr<Request>&)> beforeSend;
  // When set, counts the final answer's body bytes as they arrive, for a
  // watch on another thread.
  std::atomic<uint64_t>* progress = nullptr;
};

// GETs url (http:// or https://) on session. Throws ExceptionNoAnswer, and
// from the connection and the request their own exceptions
// (Connection::ExceptionBadUrl for a URL, or a redirect's, that cannot be
// read; ExceptionCantConnect; Request::ExceptionBadRequest). A response
// with a status line answers whatever its status.
HttpAnswer httpGet(const SharedPtr<Internet>& session, const std::string& url, const HttpGetOptions& options);

// The few words for WinINet's error from a failed send.
std::string sendFailureText(uint32_t error);

}  // namespace Quorlin
