#include "support/internet/http_get.h"

#include <cstdlib>

#include "support/internet/url.h"
#include "support/win32_error.h"

namespace Quorlin {

namespace {

uint32_t statusCode(Request& request) {
  const std::string text = request.queryInfo(HTTP_QUERY_STATUS_CODE, 16, std::string());
  return text.empty() ? 0 : static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 10));
}

bool isRedirect(uint32_t status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// WinINet takes a reply without a status line for HTTP/0.9 and makes up
// the status line "HTTP/1.0 200 OK" with no header after it. A real server
// may send just that too ("HTTP/1.0 200 OK", an empty line, the body), so
// the head alone does not tell; what does is that WinINet records a status
// line it read as the pseudo-header "Status", and none for one it made up.
bool madeUpStatusLine(Request& request) {
  const std::string head = request.queryInfo(HTTP_QUERY_RAW_HEADERS_CRLF, 512, std::string());
  if (head != "HTTP/1.0 200 OK\r\n\r\n" && head != "HTTP/1.0 200 OK\r\n") return false;
  return request.queryInfo(HTTP_QUERY_CUSTOM, 16, "Status").empty();
}

// One connection per server: a redirect to the same server, port, scheme
// and credentials keeps the one it came from. Credentials never go along
// to another server.
SharedPtr<Connection> connectionFor(const std::string& url, const SharedPtr<Internet>& session,
                                    const SharedPtr<Connection>& previous) {
  SharedPtr<Connection> next(new Connection(session, url), true);
  if (previous && previous->server() == next->server() && previous->port() == next->port() &&
      previous->secure() == next->secure() && previous->sameCredentials(*next))
    return previous;
  return next;
}

// Sets the request's connect, send and receive time limits. A limit the
// platform refuses is reported and the request goes on with WinINet's own.
void setTimeouts(Request& request, uint32_t timeoutMs) {
  static const struct {
    DWORD option;
    const char* call;
  } kLimits[] = {{INTERNET_OPTION_CONNECT_TIMEOUT, "InternetSetOptionA(INTERNET_OPTION_CONNECT_TIMEOUT)"},
                 {INTERNET_OPTION_SEND_TIMEOUT, "InternetSetOptionA(INTERNET_OPTION_SEND_TIMEOUT)"},
                 {INTERNET_OPTION_RECEIVE_TIMEOUT, "InternetSetOptionA(INTERNET_OPTION_RECEIVE_TIMEOUT)"}};
  for (const auto& limit : kLimits) {
    DWORD value = timeoutMs;
    checkCall(InternetSetOptionA(request.getHandle(), limit.option, &value, sizeof value) != FALSE, limit.call);
  }
}

}  // namespace

std::string sendFailureText(uint32_t error) {
  switch (error) {
    case ERROR_INTERNET_INVALID_CA: return "Certificate: unknown issuer";
    case ERROR_INTERNET_SEC_CERT_CN_INVALID: return "Certificate: wrong name";
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID: return "Certificate: expired";
    case ERROR_INTERNET_SEC_CERT_REVOKED: return "Certificate: revoked";
    case ERROR_INTERNET_SEC_CERT_REV_FAILED: return "Certificate: revocation unknown";
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_INVALID_CERT: return "Certificate: not valid";
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR: return "Secure channel failed";
    // The server took the request and dropped the connection unanswered.
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_INTERNET_CONNECTION_RESET: return "No response";
    case ERROR_HTTP_INVALID_SERVER_RESPONSE: return "No status line";
    // No connection: "Failed send" leads, the cause follows, so that a name
    // problem is told from a server that is down.
    case ERROR_INTERNET_NAME_NOT_RESOLVED: return "Failed send: name not resolved";
    case ERROR_INTERNET_CANNOT_CONNECT: return "Failed send: refused or unreachable";
    case ERROR_INTERNET_TIMEOUT: return "Failed send: timed out";
    case ERROR_INTERNET_OPERATION_CANCELLED: return "Failed send: cancelled";
    default: return "Failed send";
  }
}

HttpAnswer httpGet(const SharedPtr<Internet>& session, const std::string& url, const HttpGetOptions& options) {
  const uint32_t flags = options.flags | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_AUTO_REDIRECT;
  SharedPtr<Connection> connection;
  std::string current = url;
  for (int redirects = 0;; ++redirects) {
    connection = connectionFor(current, session, connection);
    HttpAnswer answer;
    answer.request =
        SharedPtr<Request>(new Request(connection, current, options.method, nullptr, nullptr, nullptr, flags), true);
    Request& request = *answer.request;
    if (options.timeoutMs) setTimeouts(request, options.timeoutMs);
    if (options.beforeSend && !options.beforeSend(answer.request)) return HttpAnswer();
    try {
      request.send(std::string(), std::string());
    } catch (const Request::ExceptionFailedSend& failure) {
      throw ExceptionNoAnswer(sendFailureText(failure._errorCode), failure._errorCode);
    }
    answer.status = statusCode(request);
    if (answer.status == 0) throw ExceptionNoAnswer("No response");
    if (isRedirect(answer.status)) {
      const std::string location = request.queryInfo(HTTP_QUERY_LOCATION, 256, std::string());
      if (!location.empty()) {
        if (redirects == options.maxRedirects) throw ExceptionNoAnswer("Too many redirects");
        current = resolveLocation(current, location);
        continue;
      }
    }
    if (madeUpStatusLine(request)) throw ExceptionNoAnswer("No status line");
    try {
      answer.body = request.readAll(options.keep, &answer.bodyBytes, options.progress);
    } catch (const Request::ExceptionFailedRead& failure) {
      throw ExceptionNoAnswer(failure.getReason());
    }
    const std::string length = request.queryInfo(HTTP_QUERY_CONTENT_LENGTH, 32, std::string());
    if (!length.empty() && options.method != Request::HEAD && answer.status != 204 && answer.status != 304 &&
        answer.bodyBytes < _strtoui64(length.c_str(), nullptr, 10))
      throw ExceptionNoAnswer("Failed read: body ends early");
    return answer;
  }
}

}  // namespace Quorlin
