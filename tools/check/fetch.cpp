#include "tools/check/fetch.h"

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "protocol/result_protocol.h"
#include "support/internet/cancellable_calls.h"
#include "support/internet/url.h"
#include "tools/check/checks.h"
#include "tools/check/network.h"
#include "tools/check/remote_text.h"
#include "tools/check/resolve.h"

namespace VardokCheck {

namespace {

// How long cancelled calls are given to hand the attempt back after the
// limit before it is left behind.
constexpr int64_t kCancelGraceMs = 500;

// "no answer within 2000 ms", or, when the body was arriving, how much came.
std::string lateText(int64_t timeoutMs, uint64_t bodyBytes) {
  const std::string limit = std::to_string(timeoutMs) + " ms";
  if (bodyBytes == 0) return "no answer within " + limit;
  return "the answer was still arriving after " + limit + " (" + std::to_string(bodyBytes) + " bytes so far)";
}

// One fetch on a thread of its own, shared with the caller, so that a
// thread still held by the platform past the limit can be left behind.
struct Attempt {
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  bool timedOut = false;           // set by the caller: no further request is sent
  Quorlin::ThreadHandle thread;    // the fetching thread, for CancelSynchronousIo
  std::atomic<uint64_t> bodyBytes{0};
  Fetched fetched;
};

void fetchOnThisThread(const std::shared_ptr<Attempt>& attempt, const std::string& url,
                       Quorlin::Request::RequestType method, int64_t limitMs) {
  Fetched fetched;
  try {
    // WinINet's own time limits do not cover every wait (a slow trickle of
    // bytes, a connection never accepted): the caller cancels this thread's
    // waits when time is up. This thread owns every handle of the request
    // while it runs.
    const Quorlin::CancellableCalls cancellable;
    HANDLE self = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    {
      std::lock_guard<std::mutex> guard(attempt->lock);
      attempt->thread = Quorlin::ThreadHandle(self);
    }
    Quorlin::SharedPtr<Quorlin::Internet> session(
        new Quorlin::Internet(InternetOpenA("vardok-check", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0)), true);
    DWORD limit = static_cast<DWORD>(limitMs);
    for (DWORD option :
         {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
      InternetSetOptionA(session->getHandle(), option, &limit, sizeof limit);
    Quorlin::HttpGetOptions options;
    options.method = method;
    options.keep = Vardok::kMaxOutput;
    options.progress = &attempt->bodyBytes;
    options.beforeSend = [&attempt](const Quorlin::SharedPtr<Quorlin::Request>&) {
      std::lock_guard<std::mutex> guard(attempt->lock);
      return !attempt->timedOut;
    };
    try {
      fetched.answer = Quorlin::httpGet(session, url, options);
    } catch (const Quorlin::ExceptionInternet& e) {
      // The platform's words may quote a URL of the server's (a redirect).
      fetched.failure = remoteText(Quorlin::hidePasswords(e.getReason()));
    }
  } catch (const std::bad_alloc&) {
    fetched.failure = "out of memory";
  } catch (const std::exception& e) {
    fetched.failure = "could not finish: " + remoteText(e.what(), 120);
  } catch (...) {
    fetched.failure = "could not finish";
  }
  std::lock_guard<std::mutex> guard(attempt->lock);
  attempt->fetched = std::move(fetched);
  attempt->finished = true;
  attempt->done.notify_all();
}

}  // namespace

Fetched fetchPage(const std::string& url, int64_t timeout, Quorlin::Request::RequestType method) {
  const double start = nowMs();
  // The name first, within the limit: WinINet's own look-up cannot be cut
  // short. Only a look-up with no answer decides here; a name not found
  // is left to WinINet, which may reach it through a proxy.
  Quorlin::HttpUrl parts;
  std::string refusal;
  if (Quorlin::splitHttpUrl(url, &parts, &refusal)) {
    const Winsock winsock;
    const Resolved resolved = resolveWithin(parts.host, std::to_string(parts.port), AF_UNSPEC, SOCK_STREAM, timeout);
    if (resolved.result == Resolved::Result::NoAnswer) {
      Fetched fetched;
      fetched.failure = lookupFailureText(parts.host, resolved, timeout);
      fetched.elapsedMs = nowMs() - start;
      return fetched;
    }
  }
  const int64_t left = std::max<int64_t>(1, timeout - static_cast<int64_t>(nowMs() - start));

  auto attempt = std::make_shared<Attempt>();
  std::thread worker([attempt, url, method, left] { fetchOnThisThread(attempt, url, method, left); });
  std::unique_lock<std::mutex> guard(attempt->lock);
  const auto finished = [&] { return attempt->finished; };
  if (!attempt->done.wait_for(guard, std::chrono::milliseconds(left), finished)) {
    // Time is up: cancelled waits end at once, again and again until the
    // request is over. A name look-up of WinINet's own (a redirect's host)
    // has no wait to cancel: a thread still held half a second on is left
    // behind, and the verdict is given without it.
    attempt->timedOut = true;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCancelGraceMs);
    while (!attempt->finished && std::chrono::steady_clock::now() < giveUp) {
      if (attempt->thread) CancelSynchronousIo(attempt->thread.get());
      attempt->done.wait_for(guard, std::chrono::milliseconds(50), finished);
    }
  }
  const bool late = attempt->timedOut;
  if (!attempt->finished) {
    guard.unlock();
    worker.detach();
    Fetched fetched;
    fetched.failure = lateText(timeout, attempt->bodyBytes.load());
    fetched.elapsedMs = nowMs() - start;
    return fetched;
  }
  Fetched fetched = std::move(attempt->fetched);
  guard.unlock();
  worker.join();
  fetched.elapsedMs = nowMs() - start;
  if (late) fetched.failure = lateText(timeout, attempt->bodyBytes.load());
  if (fetched.failure.empty() && !fetched.answer.request) fetched.failure = "no answer";
  return fetched;
}

}  // namespace VardokCheck
