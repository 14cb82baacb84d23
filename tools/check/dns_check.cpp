// dns NAME [--type A|AAAA|CNAME|MX|TXT] [--server ADDR] [--expect VALUE]...
//     [--warn MS] [--crit MS] [--timeout MS]:
// a name asked of the system's name servers (or of one given), by the
// name server client of dns_client.h. No answer, a name that does not
// exist, no record of the type, a refusal, a server failure, an answer that
// cannot be read, a wrong answer and a slow answer are each judged.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "tools/check/checks.h"
#include "tools/check/command_line.h"
#include "tools/check/dns_client.h"
#include "tools/check/error_words.h"
#include "tools/check/network.h"
#include "tools/check/remote_text.h"
#include "tools/check/within.h"

namespace VardokCheck {

namespace {

struct RecordType {
  const char* name;
  uint16_t type;
};
const RecordType kTypes[] = {
    {"A", kDnsTypeA}, {"AAAA", kDnsTypeAaaa}, {"CNAME", kDnsTypeCname}, {"MX", kDnsTypeMx}, {"TXT", kDnsTypeTxt},
};

// One record of the answer: what --expect compares ("10.1.2.3",
// "mail.example.org", the text of a TXT record) and what the line shows.
struct Value {
  std::string compared;
  std::string shown;
};

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// A name as written, without the root's trailing dot.
std::string hostName(const std::string& name) {
  std::string text = name;
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

// The records of type in the answer; a name's aliases (CNAME records
// before an A) are left out unless asked for. Names and text come from the
// server: shown through remoteText.
std::vector<Value> valuesOf(const std::vector<DnsRecord>& records, uint16_t type) {
  std::vector<Value> values;
  for (const DnsRecord& r : records) {
    if (r.type != type) continue;
    switch (type) {
      case kDnsTypeA:
      case kDnsTypeAaaa:
        values.push_back({r.data, r.data});
        break;
      case kDnsTypeCname:
        values.push_back({lowered(r.data), remoteText(r.data, 120)});
        break;
      case kDnsTypeMx:
        values.push_back({lowered(r.data), remoteText(r.data, 120) + " (" + std::to_string(r.preference) + ")"});
        break;
      case kDnsTypeTxt:
        values.push_back({r.data, "\"" + remoteText(r.data, 120) + "\""});
        break;
      default:
        break;
    }
  }
  return values;
}

// The system's name servers, in its order; those of IPv4 only, as the
// client asks over IPv4. Wine takes them from /etc/resolv.conf.
std::vector<in_addr> systemNameServers() {
  std::vector<in_addr> servers;
  ULONG size = 0;
  if (GetNetworkParams(nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0) return servers;
  std::vector<char> buffer(size);
  auto* params = reinterpret_cast<FIXED_INFO*>(buffer.data());
  if (GetNetworkParams(params, &size) != ERROR_SUCCESS) return servers;
  for (const IP_ADDR_STRING* s = &params->DnsServerList; s; s = s->Next) {
    in_addr address{};
    if (inet_pton(AF_INET, s->IpAddress.String, &address) == 1 && address.s_addr != 0) servers.push_back(address);
  }
  return servers;
}

// Whether the next server is worth asking after this answer: one that gave
// none, or failed in itself, says nothing of the name.
bool askNext(const DnsAnswer& answer) {
  return answer.result == DnsAnswer::Result::NoAnswer ||
         (answer.result == DnsAnswer::Result::ServerError &&
          (answer.rcode == kDnsServerFailure || answer.rcode == kDnsRefused));
}

// The question asked of each server in turn, within timeoutMs in all.
// Each but the last gets its share of the time left, so that a server that
// never answers leaves time for the next. When none answers as hoped, a
// failure a server told is kept before a silence.
DnsAnswer askInTurn(const std::string& name, uint16_t type, const std::vector<in_addr>& servers, int64_t timeoutMs) {
  const double start = nowMs();
  DnsAnswer kept;
  for (size_t i = 0; i < servers.size(); ++i) {
    const int64_t left = timeoutMs - static_cast<int64_t>(nowMs() - start);
    if (left <= 0) break;
    const int64_t share = left / static_cast<int64_t>(servers.size() - i);
    const DnsAnswer answer = askNameServer(name, type, servers[i], share > 0 ? share : left);
    if (!askNext(answer)) return answer;
    if (answer.result == DnsAnswer::Result::ServerError || kept.result == DnsAnswer::Result::NoAnswer) kept = answer;
  }
  return kept;
}

// What the system's servers said, or that it has none.
struct Asked {
  bool noServers = false;
  DnsAnswer answer;
};

// The words for an answer without a value of the type.
std::string failureText(const DnsAnswer& answer, int64_t timeoutMs) {
  switch (answer.result) {
    case DnsAnswer::Result::Answered:
      return "has no record of the type";
    case DnsAnswer::Result::ServerError:
      switch (answer.rcode) {
        case kDnsRefused:
          return "refused by the server";
        case kDnsServerFailure:
          return "server failure";
        case kDnsNameError:
          return "does not exist (NXDOMAIN)";
        case kDnsFormatError:
          return "the server could not read the question (format error)";
        case kDnsNotImplemented:
          return "the server does not answer this kind of question";
        default:
          return "the server answered with error code " + std::to_string(answer.rcode);
      }
    case DnsAnswer::Result::Unreadable:
      return "the server's answer cannot be read";
    case DnsAnswer::Result::Truncated:
      return "the answer was truncated and the server gave none over TCP";
    case DnsAnswer::Result::NoAnswer:
      break;
  }
  // A closed port is told by the system at once (ICMP), as a reset or a
  // refusal of the datagram.
  if (answer.socketError == WSAECONNRESET || answer.socketError == WSAECONNREFUSED)
    return "no name server listens at port 53";
  if (answer.socketError != 0)
    return "the name server cannot be asked: " + errorWords(static_cast<uint32_t>(answer.socketError));
  return "no answer within " + std::to_string(timeoutMs) + " ms";
}

}  // namespace

Outcome checkDns(const Args& args) {
  const Arguments arguments(args, {"--type", "--server", "--expect", "--warn", "--crit", "--timeout"}, {"name"},
                            {"--expect"});
  if (arguments.positional().size() != 1) throw UsageError("needs one NAME");
  const std::string name = arguments.positional()[0];
  if (!isDnsName(name))
    throw UsageError("the NAME is not a DNS name: labels of 1 to 63 characters apart by dots, 253 in all");
  const std::string typeName = arguments.text("--type", "A");
  const auto type = std::find_if(std::begin(kTypes), std::end(kTypes),
                                 [&](const RecordType& t) { return lowered(typeName) == lowered(t.name); });
  if (type == std::end(kTypes)) throw UsageError("--type needs A, AAAA, CNAME, MX or TXT, not \"" + typeName + "\"");
  // One server of the caller's; the system's own when none is given.
  std::vector<in_addr> servers;
  const std::string server = arguments.text("--server");
  if (arguments.has("--server")) {
    in_addr address{};
    if (inet_pton(AF_INET, server.c_str(), &address) != 1)
      throw UsageError("--server needs an IPv4 address such as 192.168.1.1, not \"" + server + "\"");
    servers.push_back(address);
  }
  const std::vector<std::string> expected = arguments.texts("--expect");
  for (const std::string& value : expected)
    if (value.empty()) throw UsageError("--expect needs a value");
  const int64_t warn = arguments.number("--warn", 0, 3600000, false);
  const int64_t crit = arguments.number("--crit", 0, 3600000, false);
  const int64_t timeout = arguments.number("--timeout", 1, 3600000, false, kNetworkTimeoutMs);
  requireOrder(warn, crit);
  const std::string asked = name + " " + type->name + (server.empty() ? "" : " at " + server);

  const double start = nowMs();
  // On a thread of its own, as a last guard of the time limit: the client
  // keeps to it, and a question still open when the time is up is left
  // behind. servers: the caller's; empty for the system's own.
  const uint16_t asking = type->type;
  const std::optional<Asked> question = answerWithin<Asked>(timeout, [name, asking, servers, timeout] {
    const double begun = nowMs();
    Asked asked;
    const std::vector<in_addr> toAsk = servers.empty() ? systemNameServers() : servers;
    asked.noServers = toAsk.empty();
    asked.answer = askInTurn(name, asking, toAsk, timeout - static_cast<int64_t>(nowMs() - begun));
    return asked;
  });
  if (!question) {
    const std::string failure = "no answer within " + std::to_string(timeout) + " ms";
    return {Level::Critical, "DNS " + asked + ": " + failure, failure};
  }
  const double elapsed = nowMs() - start;
  if (question->noServers) {
    const std::string failure = "no name server is set up on this system";
    return {Level::Critical, "DNS " + asked + ": " + failure, failure};
  }
  const DnsAnswer& answer = question->answer;
  const std::vector<Value> values =
      answer.result == DnsAnswer::Result::Answered ? valuesOf(answer.records, type->type) : std::vector<Value>();
  if (values.empty()) {
    const std::string failure = failureText(answer, timeout);
    // No answer is told without the name, as when the time runs out here.
    const bool silent = answer.result == DnsAnswer::Result::NoAnswer;
    return {Level::Critical, "DNS " + asked + ": " + failure, silent ? failure : name + " " + failure};
  }
  std::string shown;
  for (const Value& value : values) shown += (shown.empty() ? "" : ", ") + value.shown;
  shown = remoteText(shown, 300);
  std::string line = "DNS " + asked + ": " + shown + " in " + msText(elapsed);
  Outcome outcome;
  outcome.perfdata = timePerfItem(elapsed, warn, crit);
  // Every expected value must be among the answer's (names compared
  // without regard to case).
  for (const std::string& value : expected) {
    const std::string wanted = type->type == kDnsTypeTxt ? value : lowered(hostName(value));
    const bool found = std::any_of(values.begin(), values.end(), [&](const Value& v) { return v.compared == wanted; });
    if (!found) {
      outcome.level = Level::Critical;
      outcome.line = line + " (expected " + value + ")";
      outcome.info = name + " wrong answer";
      return outcome;
    }
  }
  outcome.level = judgeTime(elapsed, warn, crit, &line);
  outcome.line = line;
  std::string first = values.front().shown;
  first = remoteText(first, 60);
  outcome.info = name + " " + first + ", " + msText(elapsed);
  return outcome;
}

}  // namespace VardokCheck
