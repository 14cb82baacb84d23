#include "tools/check/fetch.h"

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "protocol/result_protocol.h"
#include "support/internet/cancellable_calls.h"
#include "support/internet/url.h"
#include "tools/check/checks.h"
#include "tools/check/network.h"
#include "tools/check/resolve.h"

namespace VardokCheck {

namespace {

// How long the watch waits for cancelled calls to give the thread back
// before it gives the verdict itself.
constexpr int64_t kCancelGraceMs = 500;

// "no answer within 2000 ms", or, when the body was arriving, how much came.
std::string lateText(int64_t timeoutMs, uint64_t bodyBytes) {
  const std::string limit = std::to_string(timeoutMs) + " ms";
  if (bodyBytes == 0) return "no answer within " + limit;
  return "the answer was still arriving after " + limit + " (" + std::to_string(bodyBytes) + " bytes so far)";
}

}  // namespace

Fetched fetchPage(const std::string& url, int64_t timeout, Quorlin::Request::RequestType method,
                  const std::string& about) {
  const double start = nowMs();
  Fetched fetched;
  // The name first, within the limit: WinINet's own look-up cannot be cut
  // short. Only a look-up with no answer decides here; a name not found
  // is left to WinINet, which may reach it through a proxy.
  Quorlin::HttpUrl parts;
  std::string refusal;
  if (Quorlin::splitHttpUrl(url, &parts, &refusal)) {
    const Winsock winsock;
    const Resolved resolved = resolveWithin(parts.host, std::to_string(parts.port), AF_UNSPEC, SOCK_STREAM, timeout);
    if (resolved.result == Resolved::Result::NoAnswer) {
      fetched.failure = lookupFailureText(parts.host, resolved, timeout);
      fetched.elapsedMs = nowMs() - start;
      return fetched;
    }
  }
  const int64_t left = std::max<int64_t>(1, timeout - static_cast<int64_t>(nowMs() - start));

  Quorlin::SharedPtr<Quorlin::Internet> session(
      new Quorlin::Internet(InternetOpenA("vardok-check", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0)), true);
  DWORD limit = static_cast<DWORD>(left);
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
    InternetSetOptionA(session->getHandle(), option, &limit, sizeof limit);

  // WinINet's own time limits do not cover every wait (a slow trickle of
  // bytes, a connection never accepted): when time is up, a watch cancels
  // the waits of this thread, again and again until the request is over.
  // This thread owns every handle of the request and closes them itself.
  const Quorlin::CancellableCalls cancellable;
  HANDLE self = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE, DUPLICATE_SAME_ACCESS);
  const Quorlin::ThreadHandle selfHandle(self);
  std::atomic<uint64_t> bodyBytes{0};
  std::mutex lock;
  std::condition_variable done;
  bool finished = false, timedOut = false;
  std::thread watch([&] {
    std::unique_lock<std::mutex> guard(lock);
    if (done.wait_for(guard, std::chrono::milliseconds(left), [&] { return finished; })) return;
    timedOut = true;
    // Cancelled waits end at once; a name look-up has no wait to cancel.
    // One that still holds the request is not waited for: the verdict is
    // given from here, and the process ends with it.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCancelGraceMs);
    while (!finished) {
      CancelSynchronousIo(selfHandle.get());
      done.wait_for(guard, std::chrono::milliseconds(50), [&] { return finished; });
      if (!finished && std::chrono::steady_clock::now() >= giveUp) {
        const std::string failure = lateText(timeout, bodyBytes.load());
        const std::string text = formatOutcome({Level::Critical, about + ": " + failure, failure});
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        ExitProcess(static_cast<UINT>(Level::Critical));
      }
    }
  });
  Quorlin::HttpGetOptions options;
  options.method = method;
  options.keep = Vardok::kMaxOutput;
  options.progress = &bodyBytes;
  options.beforeSend = [&](const Quorlin::SharedPtr<Quorlin::Request>&) {
    std::lock_guard<std::mutex> guard(lock);
    return !timedOut;
  };

  try {
    fetched.answer = Quorlin::httpGet(session, url, options);
  } catch (const Quorlin::ExceptionInternet& e) {
    fetched.failure = Quorlin::hidePasswords(e.getReason());
  }
  fetched.elapsedMs = nowMs() - start;
  {
    std::lock_guard<std::mutex> guard(lock);
    finished = true;
  }
  done.notify_all();
  watch.join();

  if (timedOut) fetched.failure = lateText(timeout, bodyBytes.load());
  if (fetched.failure.empty() && !fetched.answer.request) fetched.failure = "no answer";
  return fetched;
}

}  // namespace VardokCheck
