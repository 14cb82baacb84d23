// ping HOST [--count N] [--warn MS,PCT] [--crit MS,PCT] [--timeout MS]: ICMP
// echo, IPv4 or IPv6, judged by its average round trip and its loss, as
// the classic pack's round-trip/loss pairs are.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <icmpapi.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/threads/unique_handle.h"

#include "tools/check/checks.h"
#include "tools/check/command_line.h"
#include "tools/check/error_words.h"
#include "tools/check/network.h"
#include "tools/check/resolve.h"

namespace VardokCheck {

namespace {

// One echo waits at most this long (within what is left of the timeout).
constexpr DWORD kEchoWaitMs = 1000;

// "MS,PCT": a round trip in milliseconds and a loss in percent. Absent: -1.
void pairOption(const Arguments& arguments, const std::string& option, double* ms, double* percent) {
  *ms = *percent = -1;
  if (!arguments.has(option)) return;
  const std::string text = arguments.text(option);
  const size_t comma = text.find(',');
  char* end = nullptr;
  const std::string msPart = text.substr(0, comma);
  const std::string pctText = comma == std::string::npos ? std::string() : text.substr(comma + 1);
  *ms = std::strtod(msPart.c_str(), &end);
  const bool msGood = !msPart.empty() && *end == '\0' && *ms >= 0;
  *percent = std::strtod(pctText.c_str(), &end);
  const bool pctGood = !pctText.empty() && *end == '\0' && *percent >= 0 && *percent <= 100;
  if (!msGood || !pctGood) throw UsageError(option + " needs MS,PCT such as 200,20, not \"" + text + "\"");
}

// The ICMP handles: INVALID_HANDLE_VALUE is invalid, IcmpCloseHandle closes.
struct IcmpHandleTraits {
  using Type = HANDLE;
  static Type invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void close(Type handle) noexcept { IcmpCloseHandle(handle); }
};
using IcmpHandle = Quorlin::UniqueHandle<IcmpHandleTraits>;

// The IPv6 echo reply as Windows lays it out (ipexport.h); the
// cross-compiler's headers do not declare it.
#pragma pack(push, 1)
struct Ipv6AddressEx {
  USHORT port;
  ULONG flowInfo;
  USHORT address[8];
  ULONG scopeId;
};
#pragma pack(pop)
struct Icmpv6EchoReply {
  Ipv6AddressEx address;
  ULONG status;
  unsigned int roundTripTime;
};
static_assert(sizeof(Ipv6AddressEx) == 26, "IPV6_ADDRESS_EX is 26 bytes");
static_assert(offsetof(Icmpv6EchoReply, status) == 28, "ICMPV6_ECHO_REPLY's Status is at byte 28");

}  // namespace

Outcome checkPing(const Args& args) {
  const Arguments arguments(args, {"--count", "--warn", "--crit", "--timeout"}, {"host"});
  if (arguments.positional().size() != 1) throw UsageError("needs one host");
  std::string host = arguments.positional()[0];
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const int64_t count = arguments.number("--count", 1, 100, false, 5);
  const int64_t timeout = arguments.number("--timeout", 1, 3600000, false, kNetworkTimeoutMs);
  double warnMs, warnPct, critMs, critPct;
  pairOption(arguments, "--warn", &warnMs, &warnPct);
  pairOption(arguments, "--crit", &critMs, &critPct);
  if (warnMs >= 0 && critMs >= 0 && (warnMs > critMs || warnPct > critPct))
    throw UsageError("--warn must not be above --crit");

  const Winsock winsock;
  const double start = nowMs();
  const Resolved resolved = resolveWithin(host, std::string(), AF_UNSPEC, 0, timeout);
  if (resolved.result != Resolved::Result::Found || resolved.addresses.empty()) {
    const bool notFound = resolved.result == Resolved::Result::NotFound;
    return {Level::Critical, "PING " + host + ": " + lookupFailureText(host, resolved, timeout),
            host + (notFound ? " not found" : " not looked up")};
  }
  sockaddr_storage target{};
  const bool six = resolved.addresses.front().family == AF_INET6;
  memcpy(&target, &resolved.addresses.front().address, sizeof target);

  const IcmpHandle icmp(six ? Icmp6CreateFile() : IcmpCreateFile());
  if (!icmp)
    return {Level::Critical, "PING " + host + ": no ICMP here: " + errorWords(GetLastError()), "cannot ping"};
  char payload[32] = "vardok-check ping";
  std::vector<char> reply(sizeof(Icmpv6EchoReply) + sizeof(ICMP_ECHO_REPLY) + sizeof payload + 64);
  std::vector<double> times;
  for (int64_t i = 0; i < count; ++i) {
    const int64_t left = timeout - static_cast<int64_t>(nowMs() - start);
    if (left <= 0) break;
    const DWORD wait = static_cast<DWORD>(std::min<int64_t>(left, kEchoWaitMs));
    const double sent = nowMs();
    DWORD replies;
    if (six) {
      sockaddr_in6 source{};
      source.sin6_family = AF_INET6;
      replies = Icmp6SendEcho2(icmp.get(), nullptr, nullptr, nullptr, &source, reinterpret_cast<sockaddr_in6*>(&target),
                               payload, sizeof payload, nullptr, reply.data(), static_cast<DWORD>(reply.size()), wait);
      if (replies && reinterpret_cast<Icmpv6EchoReply*>(reply.data())->status == IP_SUCCESS)
        times.push_back(nowMs() - sent);
    } else {
      const IPAddr address = reinterpret_cast<sockaddr_in*>(&target)->sin_addr.s_addr;
      replies = IcmpSendEcho2(icmp.get(), nullptr, nullptr, nullptr, address, payload, sizeof payload, nullptr,
                              reply.data(), static_cast<DWORD>(reply.size()), wait);
      if (replies && reinterpret_cast<ICMP_ECHO_REPLY*>(reply.data())->Status == IP_SUCCESS)
        times.push_back(nowMs() - sent);
    }
  }
  const double loss = 100.0 * static_cast<double>(count - static_cast<int64_t>(times.size())) / static_cast<double>(count);
  double average = 0;
  for (double time : times) average += time;
  if (!times.empty()) average /= static_cast<double>(times.size());

  const auto beyond = [&](double ms, double pct) {
    return (pct >= 0 && loss > pct) || (ms >= 0 && !times.empty() && average > ms);
  };
  // No answer at all is critical, whatever the limits.
  const Level level = times.empty() || beyond(critMs, critPct) ? Level::Critical
                      : beyond(warnMs, warnPct)               ? Level::Problem
                                                              : Level::Well;
  const std::string rta = perfNumber(average);
  const std::string pl = perfNumber(loss);
  std::string line = "PING " + host + ": " + std::to_string(times.size()) + " of " + std::to_string(count) +
                     " answered, average " + rta + " ms, loss " + pl + "%";
  Outcome outcome{level, line, times.empty() ? "no answer" : "rta " + rta + " ms, loss " + pl + "%"};
  outcome.perfdata = perfItem("rta", rta, "ms", warnMs, critMs, 0) + " " + perfItem("pl", pl, "%", warnPct, critPct, 0, 100);
  return outcome;
}

}  // namespace VardokCheck
