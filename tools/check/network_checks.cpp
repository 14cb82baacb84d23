// The checks of other machines: a TCP port and a web page.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wininet.h>

#include <cstdio>

#include "support/internet/http_get.h"
#include "protocol/result_protocol.h"
#include "support/internet/url.h"
#include "support/regex/regex.h"
#include "tools/check/certificate.h"
#include "tools/check/checks.h"
#include "tools/check/fetch.h"
#include "tools/check/command_line.h"
#include "tools/check/network.h"
#include "tools/check/remote_text.h"
#include "tools/check/resolve.h"
#include "tools/check/error_words.h"

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

// How a conversation on a connection ended.
enum class Conversation { Answered, Closed, TimedOut };

// Of what a server says, this much is kept to be shown.
constexpr size_t kShownAnswer = 4096;

// Sends what (if any) on s, then reads until expect has come, the peer
// closes, or the time runs out. However long the server talks, expect is
// looked for in all it says (a long greeting before the word is common);
// received keeps the first 4 KiB, to show.
Conversation converse(SOCKET s, const std::string& what, const std::string& expect, int64_t timeoutMs,
                      std::string* received) {
  const double start = nowMs();
  const auto left = [&] { return timeoutMs - static_cast<int64_t>(nowMs() - start); };
  const auto failed = [&] { return left() <= 0 ? Conversation::TimedOut : Conversation::Closed; };
  for (size_t sent = 0; sent < what.size();) {
    const int n = send(s, what.data() + sent, static_cast<int>(what.size() - sent), 0);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK || !waitForSocket(s, true, left())) return failed();
  }
  if (expect.empty()) return Conversation::Answered;
  // The bytes searched: the new ones, after the last expect.size() - 1 of
  // those before (the word may come in two pieces).
  std::string window;
  char buffer[4096];
  for (;;) {
    if (!waitForSocket(s, false, left())) return failed();
    const int n = recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) return Conversation::Closed;
    const size_t got = static_cast<size_t>(n);
    if (received->size() < kShownAnswer) received->append(buffer, std::min(got, kShownAnswer - received->size()));
    window.append(buffer, got);
    if (window.find(expect) != std::string::npos) return Conversation::Answered;
    if (window.size() >= expect.size()) window.erase(0, window.size() - (expect.size() - 1));
  }
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
  if (error == WSATRY_AGAIN)
    return {Level::Critical, "TCP " + target + ": " + connectFailureText(error, timeout), host + " not looked up"};
  std::string received;
  Conversation conversation = Conversation::Answered;
  if (connected != INVALID_SOCKET) {
    conversation = converse(connected, toSend, expect, timeout - static_cast<int64_t>(nowMs() - start), &received);
    closesocket(connected);
  }
  const double elapsed = nowMs() - start;
  if (error == WSAETIMEDOUT)
    return {Level::Critical, "TCP " + target + ": no answer within " + std::to_string(timeout) + " ms",
            "port " + portText + " no answer"};
  if (error == WSAECONNREFUSED)
    return {Level::Critical, "TCP " + target + ": connection refused", "port " + portText + " refused"};
  if (error != 0)
    return {Level::Critical, "TCP " + target + ": " + connectFailureText(error, timeout),
            "port " + portText + " unreachable"};
  if (conversation != Conversation::Answered) {
    const std::string got = received.substr(0, received.find_first_of("\r\n"));
    const std::string shownGot = got.empty() ? "" : " (got \"" + remoteText(got, 80) + "\")";
    const std::string wanted = "\"" + arguments.text("--expect") + "\"";
    if (conversation == Conversation::TimedOut && received.empty())
      return {Level::Critical,
              "TCP " + target + ": no answer within " + std::to_string(timeout) + " ms" +
                  (expect.empty() ? "" : " (waiting for " + wanted + ")"),
              "port " + portText + " no answer"};
    if (conversation == Conversation::TimedOut)
      return {Level::Critical,
              "TCP " + target + ": " + wanted + " not received within " + std::to_string(timeout) + " ms" + shownGot,
              "port " + portText + ", answer wrong"};
    return {Level::Critical, "TCP " + target + ": " + wanted + " not received" + shownGot,
            "port " + portText + ", answer wrong"};
  }
  std::string line = "TCP " + target + (talk ? " answered in " : " connected in ") + msText(elapsed);
  const Level level = judgeTime(elapsed, warn, crit, &line);
  Outcome outcome{level, line, "port " + portText + " open, " + msText(elapsed)};
  outcome.perfdata = timePerfItem(elapsed, warn, crit);
  return outcome;
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

  const Fetched fetched =
      fetchPage(url, timeout, method == "HEAD" ? Quorlin::Request::HEAD : Quorlin::Request::GET);
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
      return critical(headerName + ": " + (value.empty() ? "missing" : remoteText(value, 120)) + ", not " + headerValue,
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
    line += ", certificate expires in " + countText(facts.daysLeft, "day") + " (" + facts.expires + ")";
    if (certLevel != Level::Well) info = "HTTP " + status + ", cert " + countText(facts.daysLeft, "day") + " left";
    if (static_cast<int>(certLevel) > static_cast<int>(level)) level = certLevel;
    certificatePerfdata = " " + perfItem("days", std::to_string(facts.daysLeft), "", static_cast<double>(certWarn),
                                         static_cast<double>(certCrit));
  }
  Outcome outcome{level, line, info};
  outcome.perfdata = perfdata + certificatePerfdata;
  return outcome;
}

}  // namespace VardokCheck
