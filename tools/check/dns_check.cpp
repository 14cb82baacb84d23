// dns NAME [--type A|AAAA|CNAME|MX|TXT] [--server ADDR] [--expect VALUE]...
//     [--warn MS] [--crit MS] [--timeout MS]:
// a name asked of the system's name servers (or of one given), with
// DnsQuery_A. No answer, a name that does not exist, no record of the type,
// a wrong answer and a slow answer are each judged.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <windns.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/check/error_words.h"
#include "tools/check/checks.h"
#include "tools/check/command_line.h"
#include "tools/check/network.h"
#include "tools/check/remote_text.h"

namespace VardokCheck {

namespace {

struct RecordType {
  const char* name;
  WORD type;
};
const RecordType kTypes[] = {
    {"A", DNS_TYPE_A}, {"AAAA", DNS_TYPE_AAAA}, {"CNAME", DNS_TYPE_CNAME}, {"MX", DNS_TYPE_MX}, {"TXT", DNS_TYPE_TEXT},
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

// A name as the server wrote it, without the root's trailing dot.
std::string hostName(const char* name) {
  std::string text = name ? name : "";
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

// The records of type in the answer section; a name's aliases (CNAME
// records before an A) are left out unless asked for.
std::vector<Value> valuesOf(const DNS_RECORDA* records, WORD type) {
  std::vector<Value> values;
  for (const DNS_RECORDA* r = records; r; r = r->pNext) {
    if (r->wType != type || r->Flags.S.Section != DnsSectionAnswer) continue;
    char address[INET6_ADDRSTRLEN] = "";
    switch (type) {
      case DNS_TYPE_A: {
        in_addr a{};
        a.s_addr = r->Data.A.IpAddress;
        inet_ntop(AF_INET, &a, address, sizeof address);
        values.push_back({address, address});
        break;
      }
      case DNS_TYPE_AAAA: {
        in6_addr a{};
        memcpy(&a, &r->Data.AAAA.Ip6Address, sizeof a);
        inet_ntop(AF_INET6, &a, address, sizeof address);
        values.push_back({address, address});
        break;
      }
      case DNS_TYPE_CNAME:
        values.push_back({lowered(hostName(r->Data.CNAME.pNameHost)), hostName(r->Data.CNAME.pNameHost)});
        break;
      case DNS_TYPE_MX: {
        const std::string name = hostName(r->Data.MX.pNameExchange);
        values.push_back({lowered(name), name + " (" + std::to_string(r->Data.MX.wPreference) + ")"});
        break;
      }
      case DNS_TYPE_TEXT: {
        std::string text;
        for (DWORD i = 0; i < r->Data.TXT.dwStringCount; ++i) text += r->Data.TXT.pStringArray[i];
        values.push_back({text, "\"" + remoteText(text, 120) + "\""});
        break;
      }
      default:
        break;
    }
  }
  return values;
}

// The question asked on a thread of its own, so that a server that never
// answers cannot hold the command past its time: the resolver's own waits
// (seconds per server and try) cannot be cut short. A question still open
// when the time is up is left behind; the process ends soon after with the
// verdict.
struct Question {
  std::mutex lock;
  std::condition_variable done;
  bool answered = false;
  DNS_STATUS status = 0;
  std::vector<Value> values;
};

std::shared_ptr<Question> ask(const std::string& name, WORD type, const IP4_ARRAY* servers) {
  auto question = std::make_shared<Question>();
  std::unique_ptr<IP4_ARRAY> serverCopy(servers ? new IP4_ARRAY(*servers) : nullptr);
  std::thread([question, name, type, serverList = std::move(serverCopy)] {
    PDNS_RECORD records = nullptr;
    const DNS_STATUS status =
        DnsQuery_A(name.c_str(), type, DNS_QUERY_BYPASS_CACHE, serverList.get(), &records, nullptr);
    std::vector<Value> values = status == 0 ? valuesOf(reinterpret_cast<DNS_RECORDA*>(records), type)
                                            : std::vector<Value>();
    if (records) DnsRecordListFree(records, DnsFreeRecordList);
    std::lock_guard<std::mutex> guard(question->lock);
    question->status = status;
    question->values = std::move(values);
    question->answered = true;
    question->done.notify_all();
  }).detach();
  return question;
}

// The words for a failed question.
std::string failureText(DNS_STATUS status) {
  switch (status) {
    case DNS_ERROR_RCODE_NAME_ERROR:
      return "does not exist (NXDOMAIN)";
    case DNS_INFO_NO_RECORDS:
      return "has no record of the type";
    case DNS_ERROR_RCODE_REFUSED:
      return "refused by the server";
    case DNS_ERROR_RCODE_SERVER_FAILURE:
      return "no server answered (server failure)";
    default:
      return errorWords(static_cast<uint32_t>(status));
  }
}

}  // namespace

Outcome checkDns(const Args& args) {
  const Arguments arguments(args, {"--type", "--server", "--expect", "--warn", "--crit", "--timeout"}, {"name"},
                            {"--expect"});
  if (arguments.positional().size() != 1) throw UsageError("needs one NAME");
  const std::string name = arguments.positional()[0];
  if (name.size() > DNS_MAX_NAME_LENGTH) throw UsageError("the NAME is longer than a DNS name can be");
  const std::string typeName = arguments.text("--type", "A");
  const auto type = std::find_if(std::begin(kTypes), std::end(kTypes),
                                 [&](const RecordType& t) { return lowered(typeName) == lowered(t.name); });
  if (type == std::end(kTypes)) throw UsageError("--type needs A, AAAA, CNAME, MX or TXT, not \"" + typeName + "\"");
  // One server of the caller's; the system's own when none is given.
  IP4_ARRAY servers{};
  const std::string server = arguments.text("--server");
  if (arguments.has("--server")) {
    in_addr address{};
    if (inet_pton(AF_INET, server.c_str(), &address) != 1)
      throw UsageError("--server needs an IPv4 address such as 192.168.1.1, not \"" + server + "\"");
    servers.AddrCount = 1;
    servers.AddrArray[0] = address.s_addr;
  }
  const std::vector<std::string> expected = arguments.texts("--expect");
  for (const std::string& value : expected)
    if (value.empty()) throw UsageError("--expect needs a value");
  const int64_t warn = arguments.number("--warn", 0, 3600000, false);
  const int64_t crit = arguments.number("--crit", 0, 3600000, false);
  const int64_t timeout = arguments.number("--timeout", 1, 3600000, false, kNetworkTimeoutMs);
  requireOrder(warn, crit);
  const std::string asked = name + " " + type->name + (server.empty() ? "" : " at " + server);

  const Winsock winsock;
  const double start = nowMs();
  const std::shared_ptr<Question> question = ask(name, type->type, server.empty() ? nullptr : &servers);
  std::unique_lock<std::mutex> guard(question->lock);
  if (!question->done.wait_for(guard, std::chrono::milliseconds(timeout), [&] { return question->answered; })) {
    const std::string failure = "no answer within " + std::to_string(timeout) + " ms";
    return {Level::Critical, "DNS " + asked + ": " + failure, failure};
  }
  const double elapsed = nowMs() - start;
  if (question->status == 0 && question->values.empty()) question->status = DNS_INFO_NO_RECORDS;
  if (question->status != 0) {
    const std::string failure = failureText(question->status);
    return {Level::Critical, "DNS " + asked + ": " + failure, name + " " + failure};
  }
  std::string shown;
  for (const Value& value : question->values) shown += (shown.empty() ? "" : ", ") + value.shown;
  if (shown.size() > 300) shown = shown.substr(0, 300) + "...";
  std::string line = "DNS " + asked + ": " + shown + " in " + msText(elapsed);
  Outcome outcome;
  outcome.perfdata = timePerfItem(elapsed, warn, crit);
  // Every expected value must be among the answer's (names compared
  // without regard to case).
  for (const std::string& value : expected) {
    const std::string wanted = type->type == DNS_TYPE_TEXT ? value : lowered(hostName(value.c_str()));
    const bool found = std::any_of(question->values.begin(), question->values.end(),
                                   [&](const Value& v) { return v.compared == wanted; });
    if (!found) {
      outcome.level = Level::Critical;
      outcome.line = line + " (expected " + value + ")";
      outcome.info = name + " wrong answer";
      return outcome;
    }
  }
  outcome.level = judgeTime(elapsed, warn, crit, &line);
  outcome.line = line;
  std::string first = question->values.front().shown;
  if (first.size() > 60) first = first.substr(0, 60) + "...";
  outcome.info = name + " " + first + ", " + msText(elapsed);
  return outcome;
}

}  // namespace VardokCheck
