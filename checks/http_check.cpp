// The HTTP check: a GET request whose body is the output and whose
// response header "Error" carries the exit code. Any failure to get an
// answer is a failed check with a message box naming it.
#include <windows.h>

#include "checks/item.h"
#include "checks/message_box.h"
#include "checks/result_tags.h"
#include "checks/run_control.h"
#include "hostapi/host.h"
#include "support/internet/http_get.h"
#include "support/internet/url.h"

namespace Vardok {

using Quorlin::Connection;
using Quorlin::Internet;
using Quorlin::Request;
using Quorlin::SharedPtr;

namespace {

constexpr uint32_t kFirstHeaderBuffer = 100;

// What a failure is called in its message box. A refused URL is named in
// the reason: its password stays out of it.
std::string failureText(const Quorlin::ExceptionInternet& failure, const char* name) {
  const std::string reason = Quorlin::hidePasswords(failure.getReason());
  return reason.empty() ? name : reason;
}

}  // namespace

int Item::runHttp(const std::string& url, std::string& output) {
  RunControl* run = RunControl::current();
  // A password in the URL stays out of every box.
  const std::string caption = Quorlin::hidePasswords(url);
  struct ClearCancel {
    RunControl* run;
    ~ClearCancel() {
      if (run) run->clearCancel();
    }
  } clearCancel{run};
  try {
    // The host hands out a new session that we own and close.
    const auto session = reinterpret_cast<HINTERNET>(SendSimple(HM_GET_INTERNET, 0, 0));
    SharedPtr<Internet> internet(new Internet(session), true);
    Quorlin::HttpGetOptions options;
    options.keep = kMaxOutput;
    // An ended run closes its request from the main thread.
    if (run) options.beforeSend = [run](const SharedPtr<Request>& request) {
      return run->setCancel([request] { request->abort(); });
    };
    const Quorlin::HttpAnswer answer = Quorlin::httpGet(internet, url, options);
    if (!answer.request) return -1;
    output = answer.body;
    return parseNumber(answer.request->queryInfo(HTTP_QUERY_CUSTOM, kFirstHeaderBuffer, "Error"), 255);
  } catch (Quorlin::ExceptionNoAnswer failure) {
    output.clear();
    if (!(run && run->abandoned())) ShowMessageBox(failureText(failure, "Failed send"), caption, MB_ICONINFORMATION);
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
