// The HTTP check: a GET request whose body is the output and whose
// response header "Error" carries the exit code. Any failure to get an
// answer is a failed check with a message box naming it.
#include <algorithm>
#include <cstdint>

#include <windows.h>

#include "checks/item.h"
#include "checks/result_tags.h"
#include "checks/run_control.h"
#include "hostapi/host.h"
#include "hostapi/texts.h"
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

int Item::runHttp(const std::string& url, std::string& output, RunControl& run) {
  // A password in the URL stays out of every box.
  const std::string caption = Quorlin::hidePasswords(url);
  std::string failure;
  try {
    // The host hands out a new session that we own and close. This thread
    // owns every handle of the request and closes them: stopping the run
    // only cancels the wait it is in.
    const auto session = reinterpret_cast<HINTERNET>(SendSimple(HM_GET_INTERNET, 0, 0));
    SharedPtr<Internet> internet(new Internet(session), true);
    Quorlin::HttpGetOptions options;
    options.keep = kMaxOutput;
    // WinINet's connect, send and receive limits are the run's: a run that
    // was ended, or hangs where cancelling cannot reach it, still gives its
    // worker back within about its limit.
    if (run.limitMs()) options.timeoutMs = static_cast<uint32_t>(std::min<uint64_t>(run.limitMs(), 0xFFFFFFFEu));
    // A run stopped between two requests of a redirect sends no more.
    options.beforeSend = [&run](const SharedPtr<Request>&) { return !run.stopped(); };
    if (!run.enterBlockingCalls()) return -1;
    struct Leave {
      RunControl& run;
      ~Leave() { run.leaveBlockingCalls(); }
    } leave{run};
    run.waiting();
    const Quorlin::HttpAnswer answer = Quorlin::httpGet(internet, url, options);
    if (!answer.request) return -1;
    output = answer.body;
    return parseNumber(answer.request->queryInfo(HTTP_QUERY_CUSTOM, kFirstHeaderBuffer, "Error"), 255);
  } catch (const Quorlin::ExceptionNoAnswer& noAnswer) {
    output.clear();
    failure = failureText(noAnswer, Texts::kFailedSend);
  } catch (const Connection::ExceptionBadUrl& badUrl) {
    failure = failureText(badUrl, Texts::kBadUrl);
  } catch (const Connection::ExceptionCantConnect& cantConnect) {
    failure = failureText(cantConnect, Texts::kCantConnect);
  } catch (const Request::ExceptionBadRequest& badRequest) {
    failure = failureText(badRequest, Texts::kBadRequest);
  }
  // A stopped run failed because it was stopped: nobody is told.
  if (!run.stopped()) run.showBox(failure, caption, MB_ICONINFORMATION);
  return -1;
}

}  // namespace Vardok
