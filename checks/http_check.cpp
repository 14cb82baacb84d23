// The HTTP check: a GET request whose body is the output and whose
// response header "Error" carries the exit code. Redirects are followed
// (at most kMaxRedirects in a row); an answer that is not a whole HTTP
// response is a failure, never "all is well".
#include <windows.h>

#include <cstdint>
#include <stdexcept>

#include "checks/item.h"
#include "checks/message_box.h"
#include "checks/result_tags.h"
#include "checks/run_control.h"
#include "hostapi/host.h"
#include "support/internet/internet.h"
#include "support/internet/url.h"

namespace Vardok {

using Quorlin::Connection;
using Quorlin::Internet;
using Quorlin::Request;
using Quorlin::SharedPtr;

namespace {

constexpr uint32_t kFirstHeaderBuffer = 100;
constexpr int kMaxRedirects = 10;
// A check always asks the server: no answer from WinINet's cache, none
// written to it.
constexpr uint32_t kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTO_REDIRECT;

// A failure that the box names in a few words.
class CheckFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a set-up failure is called in its message box.
std::string failureText(const Quorlin::ExceptionInternet& failure, const char* name) {
  const std::string reason = failure.getReason();
  return reason.empty() ? name : reason;
}

// A failed send names the certificate's fault when there is one.
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
    default: return "Failed send";
  }
}

uint32_t statusCode(Request& request) {
  const std::string text = request.queryInfo(HTTP_QUERY_STATUS_CODE, 16, std::string());
  return text.empty() ? 0 : static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 10));
}

bool isRedirect(uint32_t status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// WinINet takes a reply without a status line for HTTP/0.9 and makes up
// the status line "HTTP/1.0 200 OK" with no header after it; a real server
// always sends at least one header with such a line.
bool madeUpStatusLine(Request& request) {
  const std::string head = request.queryInfo(HTTP_QUERY_RAW_HEADERS_CRLF, 512, std::string());
  return head == "HTTP/1.0 200 OK\r\n\r\n" || head == "HTTP/1.0 200 OK\r\n";
}

// One connection per server: a redirect to the same server, port, scheme
// and credentials keeps the one it came from.
SharedPtr<Connection> connectionFor(const std::string& url, const SharedPtr<Internet>& internet,
                                    const SharedPtr<Connection>& previous) {
  SharedPtr<Connection> next(new Connection(internet, url), true);
  if (previous && previous->server() == next->server() && previous->port() == next->port() &&
      previous->secure() == next->secure() && previous->sameCredentials(*next))
    return previous;
  return next;
}

}  // namespace

int Item::runHttp(const std::string& url, std::string& output) {
  RunControl* run = RunControl::current();
  const std::string caption = Quorlin::hidePasswords(url);
  try {
    // The host hands out a new session that we own and close.
    const auto session = reinterpret_cast<HINTERNET>(SendSimple(HM_GET_INTERNET, 0, 0));
    SharedPtr<Internet> internet(new Internet(session), true);
    SharedPtr<Connection> connection;
    std::string current = url;
    for (int redirects = 0;; ++redirects) {
      connection = connectionFor(current, internet, connection);
      SharedPtr<Request> request(new Request(connection, current, Request::GET, nullptr, nullptr, nullptr, kRequestFlags),
                                 true);
      // An ended run closes its request from the main thread.
      if (run && !run->setCancel([request] { request->abort(); })) return -1;
      struct ClearCancel {
        RunControl* run;
        ~ClearCancel() {
          if (run) run->clearCancel();
        }
      } clearCancel{run};
      try {
        try {
          request->send(std::string(), std::string());
        } catch (Request::ExceptionFailedSend failure) {
          throw CheckFailure(sendFailureText(failure._errorCode));
        }
        const uint32_t status = statusCode(*request);
        if (status == 0) throw CheckFailure("No response");
        if (isRedirect(status)) {
          const std::string location = request->queryInfo(HTTP_QUERY_LOCATION, 256, std::string());
          if (!location.empty()) {
            if (redirects == kMaxRedirects) throw CheckFailure("Too many redirects");
            current = Quorlin::resolveLocation(current, location);
            continue;
          }
        }
        if (madeUpStatusLine(*request)) throw CheckFailure("No status line");
        uint64_t received = 0;
        output = request->readAll(kMaxOutput, &received);
        const std::string length = request->queryInfo(HTTP_QUERY_CONTENT_LENGTH, 32, std::string());
        if (!length.empty() && status != 204 && status != 304 && received < _strtoui64(length.c_str(), nullptr, 10))
          throw CheckFailure("Failed read: body ends early");
        return parseNumber(request->queryInfo(HTTP_QUERY_CUSTOM, kFirstHeaderBuffer, "Error"), 255);
      } catch (Request::ExceptionRequest failure) {
        throw CheckFailure(failure.getReason());
      }
    }
  } catch (const CheckFailure& failure) {
    output.clear();
    if (!(run && run->abandoned())) ShowMessageBox(failure.what(), caption, MB_ICONINFORMATION);
  } catch (Connection::ExceptionBadUrl failure) {
    ShowMessageBox(failureText(failure, "Bad URL"), caption, MB_ICONINFORMATION);
  } catch (Connection::ExceptionCantConnect failure) {
    ShowMessageBox(failureText(failure, "Can't connect"), caption, MB_ICONINFORMATION);
  } catch (Request::ExceptionBadRequest failure) {
    ShowMessageBox(failureText(failure, "Bad request"), caption, MB_ICONINFORMATION);
  }
  return -1;
}

}  // namespace Vardok
