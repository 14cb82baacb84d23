// The checks of other machines: a TCP port and a web page.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "support/internet/cancellable_calls.h"
#include "support/internet/http_get.h"
#include "protocol/result_protocol.h"
#include "support/internet/url.h"
#include "support/win32_error.h"
#include "tools/check/checks.h"
#include "tools/check/command_line.h"

namespace VardokCheck {

namespace {

constexpr int64_t kDefaultTimeoutMs = 10000;

std::string msText(double ms) { return std::to_string(static_cast<int64_t>(ms + 0.5)) + " ms"; }

// The level of a time with its limits, and the words for the line.
Level judgeTime(double ms, int64_t warn, int64_t crit, std::string* line) {
  const Level level = judge(static_cast<int64_t>(ms + 0.5), warn, crit);
  if (level == Level::Critical) *line += " (critical above " + std::to_string(crit) + " ms)";
  if (level == Level::Problem) *line += " (warning above " + std::to_string(warn) + " ms)";
  return level;
}

struct Winsock {
  Winsock() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~Winsock() { WSACleanup(); }
};

// Connects to one address within timeoutMs. 0, or the socket error
// (WSAETIMEDOUT when the time ran out).
int connectWithin(const addrinfo& address, int64_t timeoutMs) {
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
  closesocket(s);
  return error;
}

}  // namespace

Outcome checkTcp(const Args& args) {
  const Arguments arguments(args, {"--warn", "--crit", "--timeout"}, {"host", "port"});
  if (arguments.positional().size() != 2) throw UsageError("needs HOST and PORT");
  std::string host = arguments.positional()[0];
  const std::string portText = arguments.positional()[1];
  // An IPv6 literal may come in the brackets a URL gives it.
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (portText.empty() || portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(portText) < 1 || std::stoi(portText) > 65535)
    throw UsageError("PORT must be a number from 1 to 65535, not \"" + portText + "\"");
  const int64_t warn = arguments.number("--warn", 0, 3600000, false);
  const int64_t crit = arguments.number("--crit", 0, 3600000, false);
  const int64_t timeout = arguments.number("--timeout", 1, 3600000, false, kDefaultTimeoutMs);
  requireOrder(warn, crit);
  const std::string target = host + ":" + portText;

  const Winsock winsock;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), portText.c_str(), &hints, &found) != 0 || !found)
    return {Level::Critical, "TCP " + target + ": the name " + host + " is not found", host + " not found"};
  // Each address in turn, within what is left of the time.
  const double start = nowMs();
  int error = WSAEHOSTUNREACH;
  for (const addrinfo* address = found; address; address = address->ai_next) {
    const int64_t left = timeout - static_cast<int64_t>(nowMs() - start);
    if (left <= 0) {
      error = WSAETIMEDOUT;
      break;
    }
    error = connectWithin(*address, left);
    if (error == 0 || error == WSAETIMEDOUT) break;
  }
  const double elapsed = nowMs() - start;
  freeaddrinfo(found);
  if (error == WSAETIMEDOUT)
    return {Level::Critical, "TCP " + target + ": no answer within " + std::to_string(timeout) + " ms",
            "port " + portText + " no answer"};
  if (error == WSAECONNREFUSED)
    return {Level::Critical, "TCP " + target + ": connection refused", "port " + portText + " refused"};
  if (error != 0)
    return {Level::Critical, "TCP " + target + ": cannot connect: " + Quorlin::errorText(static_cast<DWORD>(error)),
            "port " + portText + " unreachable"};
  std::string line = "TCP " + target + " connected in " + msText(elapsed);
  const Level level = judgeTime(elapsed, warn, crit, &line);
  Outcome outcome{level, line, "port " + portText + " open, " + msText(elapsed)};
  outcome.perfdata = perfItem("time", perfNumber(elapsed / 1000), "s", warn >= 0 ? warn / 1000.0 : -1,
                              crit >= 0 ? crit / 1000.0 : -1, 0);
  return outcome;
}

Outcome checkHttp(const Args& args) {
  const Arguments arguments(args, {"--status", "--contains", "--warn", "--crit", "--timeout"}, {"URL"});
  if (arguments.positional().size() != 1) throw UsageError("needs one URL");
  const std::string url = arguments.positional()[0];
  const int64_t expected = arguments.number("--status", 100, 599, false);
  const std::string contains = arguments.text("--contains");
  if (arguments.has("--contains") && contains.empty()) throw UsageError("--contains needs a text");
  const int64_t warn = arguments.number("--warn", 0, 3600000, false);
  const int64_t crit = arguments.number("--crit", 0, 3600000, false);
  const int64_t timeout = arguments.number("--timeout", 1, 3600000, false, kDefaultTimeoutMs);
  requireOrder(warn, crit);
  const std::string shown = Quorlin::hidePasswords(url);

  Quorlin::SharedPtr<Quorlin::Internet> session(
      new Quorlin::Internet(InternetOpenA("vardok-check", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0)), true);
  DWORD limit = static_cast<DWORD>(timeout);
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
  std::mutex lock;
  std::condition_variable done;
  bool finished = false, timedOut = false;
  std::thread watch([&] {
    std::unique_lock<std::mutex> guard(lock);
    if (done.wait_for(guard, std::chrono::milliseconds(timeout), [&] { return finished; })) return;
    timedOut = true;
    // Cancelled waits end at once; a name look-up has no wait to cancel.
    // One that still holds the request a second on is not waited for: the
    // verdict is given from here, and the process ends with it.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
    while (!finished) {
      CancelSynchronousIo(selfHandle.get());
      done.wait_for(guard, std::chrono::milliseconds(100), [&] { return finished; });
      if (!finished && std::chrono::steady_clock::now() >= giveUp) {
        const std::string failure = "no answer within " + std::to_string(timeout) + " ms";
        const std::string text = formatOutcome({Level::Critical, "HTTP " + shown + ": " + failure, failure});
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        ExitProcess(static_cast<UINT>(Level::Critical));
      }
    }
  });
  Quorlin::HttpGetOptions options;
  options.keep = Vardok::kMaxOutput;
  options.beforeSend = [&](const Quorlin::SharedPtr<Quorlin::Request>&) {
    std::lock_guard<std::mutex> guard(lock);
    return !timedOut;
  };

  const double start = nowMs();
  Quorlin::HttpAnswer answer;
  std::string failure;
  try {
    answer = Quorlin::httpGet(session, url, options);
  } catch (const Quorlin::ExceptionInternet& e) {
    failure = Quorlin::hidePasswords(e.getReason());
  }
  const double elapsed = nowMs() - start;
  {
    std::lock_guard<std::mutex> guard(lock);
    finished = true;
  }
  done.notify_all();
  watch.join();

  if (timedOut) failure = "no answer within " + std::to_string(timeout) + " ms";
  if (!failure.empty() || !answer.request) {
    if (failure.empty()) failure = "no answer";
    return {Level::Critical, "HTTP " + shown + ": " + failure, failure};
  }
  const std::string status = std::to_string(answer.status);
  const std::string perfdata =
      perfItem("time", perfNumber(elapsed / 1000), "s", warn >= 0 ? warn / 1000.0 : -1, crit >= 0 ? crit / 1000.0 : -1, 0) +
      " " + perfItem("size", std::to_string(answer.bodyBytes), "B", -1, -1, 0);
  const bool statusWell = expected >= 0 ? answer.status == expected : answer.status >= 200 && answer.status < 400;
  std::string line = "HTTP " + status + " from " + shown + " in " + msText(elapsed) + ", " +
                     std::to_string(answer.bodyBytes) + " bytes";
  if (!statusWell) {
    line += expected >= 0 ? " (expected " + std::to_string(expected) + ")" : " (not a success)";
    Outcome outcome{Level::Critical, line, "HTTP " + status};
    outcome.perfdata = perfdata;
    return outcome;
  }
  if (!contains.empty() && answer.body.find(contains) == std::string::npos) {
    Outcome outcome{Level::Critical, line + " (\"" + contains + "\" not found)", "HTTP " + status + ", text missing"};
    outcome.perfdata = perfdata;
    return outcome;
  }
  const Level level = judgeTime(elapsed, warn, crit, &line);
  Outcome outcome{level, line, "HTTP " + status + ", " + msText(elapsed)};
  outcome.perfdata = perfdata;
  return outcome;
}

}  // namespace VardokCheck
