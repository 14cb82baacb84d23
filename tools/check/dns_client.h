// One question asked of one name server over UDP (and again over TCP when
// the answer comes truncated), read here rather than by DnsQuery: under
// Wine, DnsQuery gives the server's answer codes the wrong meaning
// (REFUSED reads as a server failure, NXDOMAIN and an empty answer both as
// an invalid name). What the server said is handed back as it was; the
// caller decides the words.
#pragma once

#include <winsock2.h>

#include <cstdint>
#include <string>
#include <vector>

namespace VardokCheck {

// Record types and answer codes as the packets write them.
constexpr uint16_t kDnsTypeA = 1, kDnsTypeCname = 5, kDnsTypeMx = 15, kDnsTypeTxt = 16, kDnsTypeAaaa = 28;
constexpr int kDnsNoError = 0, kDnsFormatError = 1, kDnsServerFailure = 2, kDnsNameError = 3, kDnsNotImplemented = 4,
              kDnsRefused = 5;

struct DnsRecord {
  uint16_t type = 0;
  std::string owner;  // the name the record is of, without the root's dot
  // "10.1.2.3", "fd00::53", a CNAME's or MX's target without the root's
  // dot, a TXT record's strings joined as they came.
  std::string data;
  uint16_t preference = 0;  // MX
};

struct DnsAnswer {
  enum class Result {
    Answered,     // NOERROR; records may be empty
    ServerError,  // another answer code, in rcode
    NoAnswer,     // none within the time (socketError 0), or the socket failed
    Unreadable,   // an answer to the question that cannot be read
    Truncated,    // truncated over UDP, and TCP gave no answer
  };
  Result result = Result::NoAnswer;
  int rcode = kDnsNoError;
  int socketError = 0;
  std::vector<DnsRecord> records;  // the answer section's records of the types above
};

// Whether name can be asked: labels of 1 to 63 bytes apart by dots, 255
// bytes in all when written in a packet; one trailing dot allowed.
bool isDnsName(const std::string& name);

// Asks server (port 53) for name's records of type, within timeoutMs in
// all. Needs Winsock started; any thread.
DnsAnswer askNameServer(const std::string& name, uint16_t type, const in_addr& server, int64_t timeoutMs);

}  // namespace VardokCheck
