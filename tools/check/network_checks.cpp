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
#include "support/regex/regex.h"
#include "support/win32_error.h"
#include "tools/check/certificate.h"
#include "tools/check/checks.h"
#include "tools/check/fetch.h"
#include "tools/check/command_line.h"
#include "tools/check/network.h"

namespace VardokCheck {

namespace {

// "\r", "\n", "\t" and "\\" in a text given on the command line.
std::string unescaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char next = text[++i];
    out += next == 'r' ? '\r' : next == 'n' ? '\n' : next == 't' ? '\t' : next;
  }
  return out;
}

// Sends what (if any) on s, then reads until expect has come (true), the
// peer closes, or the time runs out. received holds what came, at most
// 4 KiB.
bool converse(SOCKET s, const std::string& what, const std::string& expect, int64_t timeoutMs, std::string* received) {
  const double start = nowMs();
  const auto left = [&] { return timeoutMs - static_cast<int64_t>(nowMs() - start); };
  for (size_t sent = 0; sent < what.size();) {
    const int n = send(s, what.data() + sent, static_cast<int>(what.size() - sent), 0);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK || !waitForSocket(s, true, left())) return false;
  }
  char buffer[1024];
  while (received->find(expect) == std::string::npos || expect.empty()) {
    if (expect.empty()) return true;
    if (!waitForSocket(s, false, left())) return false;
    const int n = recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) return received->find(expect) != std::string::npos;
    if (received->size() < 4096) received->append(buffer, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

Outcome checkTcp(const Args& args) {
  const Arguments arguments(args, {"--warn", "--crit", "--timeout", "--send", "--expect"}, {"host", "port"});
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
  const int64_t timeout = arguments.number("--timeout", 1, 3600000, false, kNetworkTimeoutMs);
  requireOrder(warn, crit);
  const std::string target = host + ":" + portText;
  // A conversation after the connection: a text to send, one to wait for.
  const std::string toSend = unescaped(arguments.text("--send"));
  const std::string expect = unescaped(arguments.text("--expect"));
  if (arguments.has("--send") && toSend.empty()) throw UsageError("--send needs a text");
  if (arguments.has("--expect") && expect.empty()) throw UsageError("--expect needs a text");
  const bool talk = !toSend.empty() || !expect.empty();

  const Winsock winsock;
  const double start = nowMs();
  SOCKET connected = INVALID_SOCKET;
  const int error = connectTo(host, portText, timeout, talk ? &connected : nullptr);
  if (error == WSAHOST_NOT_FOUND)
    return {Level::Critical, "TCP " + target + ": the name " + host + " is not found", host + " not found"};
  std::string received;
  bool answered = true;
  if (connected != INVALID_SOCKET) {
    answered = converse(connected, toSend, expect, timeout - static_cast<int64_t>(nowMs() - start), &received);
    closesocket(connected);
  }
  const double elapsed = nowMs() - start;
  if (error == WSAETIMEDOUT)
    return {Level::Critical, "TCP " + target + ": no answer within " + std::to_string(timeout) + " ms",
            "port " + portText + " no answer"};
  if (error == WSAECONNREFUSED)
    return {Level::Critical, "TCP " + target + ": connection refused", "port " + portText + " refused"};
  if (error != 0)
    return {Level::Critical, "TCP " + target + ": cannot connect: " + Quorlin::errorText(static_cast<DWORD>(error)),
            "port " + portText + " unreachable"};
  if (!answered) {
    std::string got = received.substr(0, received.find_first_of("\r\n"));
    for (char& c : got)
      if (static_cast<unsigned char>(c) < 0x20) c = '.';
    return {Level::Critical,
            "TCP " + target + ": \"" + arguments.text("--expect") + "\" not received" +
                (got.empty() ? "" : " (got \"" + got.substr(0, 80) + "\")"),
            "port " + portText + ", answer wrong"};
  }
  std::string line = "TCP " + target + (talk ? " answered in " : " connected in ") + msText(elapsed);
  const Level level = judgeTime(elapsed, warn, crit, &line);
  Outcome outcome{level, line, "port " + portText + " open, " + msText(elapsed)};
  outcome.perfdata = timePerfItem(elapsed, warn, crit);
  return outcome;
}

Fetched fetchPage(const std::string& url, int64_t timeout, Quorlin::Request::RequestType method) {
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
        const std::string text =
            formatOutcome({Level::Critical, "HTTP " + Quorlin::hidePasswords(url) + ": " + failure, failure});
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        ExitProcess(static_cast<UINT>(Level::Critical));
      }
    }
  });
  Quorlin::HttpGetOptions options;
  options.method = method;
  options.keep = Vardok::kMaxOutput;
  options.beforeSend = [&](const Quorlin::SharedPtr<Quorlin::Request>&) {
    std::lock_guard<std::mutex> guard(lock);
    return !timedOut;
  };

  Fetched fetched;
  const double start = nowMs();
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

  if (timedOut) fetched.failure = "no answer within " + std::to_string(timeout) + " ms";
  if (fetched.failure.empty() && !fetched.answer.request) fetched.failure = "no answer";
  return fetched;
}

Outcome checkHttp(const Args& args) {
  const Arguments arguments(
      args, {"--status", "--contains", "--regex", "--header", "--method", "--warn", "--crit", "--timeout", "--cert-days"},
      {"URL"});
  if (arguments.positional().size() != 1) throw UsageError("needs one URL");
  const std::string url = arguments.positional()[0];
  const int64_t expected = arguments.number("--status", 100, 599, false);
  const std::string contains = arguments.text("--contains");
  if (arguments.has("--contains") && contains.empty()) throw UsageError("--contains needs a text");
  // A pattern of the plug-in's kind: delimited, with option letters ("/up \d+/i").
  const std::string regex = arguments.text("--regex");
  if (arguments.has("--regex")) {
    Quorlin::RegEx compiled;
    try {
      compiled.match(regex, std::string());
    } catch (const Quorlin::RegEx::CompileException&) {
      throw UsageError("--regex needs a pattern such as /up \\d+/i, not \"" + regex + "\"");
    }
  }
  // NAME:VALUE, a header the answer must carry with that value.
  const std::string header = arguments.text("--header");
  const size_t colon = header.find(':');
  if (arguments.has("--header") && (colon == std::string::npos || colon == 0))
    throw UsageError("--header needs NAME:VALUE");
  const std::string headerName = header.substr(0, colon);
  std::string headerValue = colon == std::string::npos ? std::string() : header.substr(colon + 1);
  headerValue.erase(0, headerValue.find_first_not_of(' '));
  const std::string method = arguments.text("--method", "GET");
  if (method != "GET" && method != "HEAD") throw UsageError("--method needs GET or HEAD");
  if (method == "HEAD" && (arguments.has("--contains") || arguments.has("--regex")))
    throw UsageError("a HEAD answer has no body for --contains or --regex");
  const int64_t warn = arguments.number("--warn", 0, 3600000, false);
  const int64_t crit = arguments.number("--crit", 0, 3600000, false);
  const int64_t timeout = arguments.number("--timeout", 1, 3600000, false, kNetworkTimeoutMs);
  requireOrder(warn, crit);
  // The days the server's certificate has left, judged beside the page.
  int64_t certWarn = -1, certCrit = -1;
  if (arguments.has("--cert-days")) {
    readDayLimits("--cert-days", arguments.text("--cert-days"), &certWarn, &certCrit);
    Quorlin::HttpUrl parts;
    std::string refusal;
    if (!Quorlin::splitHttpUrl(url, &parts, &refusal) || !parts.secure)
      throw UsageError("--cert-days needs an https:// URL");
  }
  const std::string shown = Quorlin::hidePasswords(url);

  const Fetched fetched = fetchPage(url, timeout, method == "HEAD" ? Quorlin::Request::HEAD : Quorlin::Request::GET);
  const Quorlin::HttpAnswer& answer = fetched.answer;
  const double elapsed = fetched.elapsedMs;
  if (!fetched.failure.empty()) return {Level::Critical, "HTTP " + shown + ": " + fetched.failure, fetched.failure};

  const std::string status = std::to_string(answer.status);
  const std::string perfdata =
      timePerfItem(elapsed, warn, crit) +
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
  const auto critical = [&](const std::string& why, const std::string& info) {
    Outcome outcome{Level::Critical, line + " (" + why + ")", "HTTP " + status + ", " + info};
    outcome.perfdata = perfdata;
    return outcome;
  };
  if (!contains.empty() && answer.body.find(contains) == std::string::npos)
    return critical("\"" + contains + "\" not found", "text missing");
  if (!regex.empty()) {
    Quorlin::RegEx matcher;
    if (matcher.match(regex, answer.body) <= 0) return critical(regex + " not matched", "no match");
  }
  if (!headerName.empty()) {
    const std::string value = answer.request->queryInfo(HTTP_QUERY_CUSTOM, 256, headerName);
    if (value != headerValue)
      return critical(headerName + ": " + (value.empty() ? "missing" : value) + ", not " + headerValue,
                      headerName + " " + (value.empty() ? "missing" : "wrong"));
  }
  Level level = judgeTime(elapsed, warn, crit, &line);
  std::string info = "HTTP " + status + ", " + msText(elapsed);
  std::string certificatePerfdata;
  if (arguments.has("--cert-days")) {
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    DWORD size = sizeof chain;
    if (!InternetQueryOptionA(answer.request->getHandle(), INTERNET_OPTION_SERVER_CERT_CHAIN_CONTEXT, &chain, &size) ||
        !chain || chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) {
      if (chain) CertFreeCertificateChain(chain);
      return critical("its certificate cannot be read", "certificate unknown");
    }
    const CertificateFacts facts = certificateFacts(chain->rgpChain[0]->rgpElement[0]->pCertContext);
    CertFreeCertificateChain(chain);
    const Level certLevel = judgeDaysLeft(facts.daysLeft, certWarn, certCrit);
    line += ", certificate expires in " + std::to_string(facts.daysLeft) + " days (" + facts.expires + ")";
    if (certLevel != Level::Well) info = "HTTP " + status + ", cert " + std::to_string(facts.daysLeft) + " days left";
    if (static_cast<int>(certLevel) > static_cast<int>(level)) level = certLevel;
    certificatePerfdata = " " + perfItem("days", std::to_string(facts.daysLeft), "", static_cast<double>(certWarn),
                                         static_cast<double>(certCrit));
  }
  Outcome outcome{level, line, info};
  outcome.perfdata = perfdata + certificatePerfdata;
  return outcome;
}

}  // namespace VardokCheck
