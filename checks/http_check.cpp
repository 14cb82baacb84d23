// The HTTP check: a GET request whose body is the output and whose
// response header "Error" carries the exit code.
#include <windows.h>

#include "checks/item.h"
#include "checks/message_box.h"
#include "checks/result_tags.h"
#include "checks/run_control.h"
#include "hostapi/host.h"
#include "support/internet/internet.h"

namespace Vardok {

using Quorlin::Connection;
using Quorlin::Internet;
using Quorlin::Request;
using Quorlin::SharedPtr;

namespace {

constexpr uint32_t kFirstHeaderBuffer = 100;

// What a set-up failure is called in its message box.
std::string failureText(const Quorlin::ExceptionInternet& failure, const char* name) {
  const std::string reason = failure.getReason();
  return reason.empty() ? name : reason;
}

}  // namespace

int Item::runHttp(const std::string& url, std::string& output) {
  try {
    // The host hands out a new session that we own and close.
    const auto session = reinterpret_cast<HINTERNET>(SendSimple(HM_GET_INTERNET, 0, 0));
    SharedPtr<Internet> internet(new Internet(session), true);
    SharedPtr<Connection> connection(new Connection(internet, url), true);
    SharedPtr<Request> request(new Request(connection, url, Request::GET, nullptr, nullptr, nullptr, 0), true);
    // An ended run closes its request from the main thread.
    RunControl* run = RunControl::current();
    if (run && !run->setCancel([request] { request->abort(); })) return -1;
    struct ClearCancel {
      RunControl* run;
      ~ClearCancel() {
        if (run) run->clearCancel();
      }
    } clearCancel{run};
    try {
      request->send(std::string(), std::string());
      output = request->readAll(kMaxOutput);
      return parseNumber(request->queryInfo(HTTP_QUERY_CUSTOM, kFirstHeaderBuffer, "Error"), 255);
    } catch (Request::ExceptionRequest failure) {
      output.clear();
      if (!(run && run->abandoned())) ShowMessageBox(failure.getReason(), url, MB_ICONINFORMATION);
      return -1;
    }
  } catch (Connection::ExceptionBadUrl failure) {
    ShowMessageBox(failureText(failure, "Bad URL"), url, MB_ICONINFORMATION);
  } catch (Connection::ExceptionCantConnect failure) {
    ShowMessageBox(failureText(failure, "Can't connect"), url, MB_ICONINFORMATION);
  } catch (Request::ExceptionBadRequest failure) {
    ShowMessageBox(failureText(failure, "Bad request"), url, MB_ICONINFORMATION);
  }
  return -1;
}

}  // namespace Vardok
