#include "tools/check/dns_client.h"

#include <ws2tcpip.h>
#include <windows.h>
#include <ntsecapi.h>

#include <cctype>
#include <memory>

#include "tools/check/checks.h"
#include "tools/check/network.h"

namespace VardokCheck {

namespace {

using Packet = std::vector<uint8_t>;

constexpr uint16_t kClassIn = 1;
constexpr size_t kHeaderSize = 12;
constexpr size_t kMostNameSize = 255;  // as written in a packet, root byte included
// Name compression: each pointer points back to a name written before, so
// a chain of them ends; the bound keeps even a long one short.
constexpr int kMostJumps = 32;
// The largest answer either way: a datagram, or a TCP message after its
// two-byte length.
constexpr size_t kMostAnswerSize = 65535;

uint16_t word(const Packet& p, size_t at) { return static_cast<uint16_t>(p[at] << 8 | p[at + 1]); }

void putWord(Packet* p, uint16_t value) {
  p->push_back(static_cast<uint8_t>(value >> 8));
  p->push_back(static_cast<uint8_t>(value & 0xFF));
}

// The labels of a name as written by the caller; false when it is not a
// DNS name. "." and "" are the root, with no labels.
bool labelsOf(const std::string& name, std::vector<std::string>* labels) {
  labels->clear();
  std::string text = name;
  if (!text.empty() && text.back() == '.') text.pop_back();
  if (text.empty()) return true;
  size_t size = 1;
  size_t start = 0;
  for (;;) {
    const size_t dot = text.find('.', start);
    const std::string label = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    if (label.empty() || label.size() > 63) return false;
    size += label.size() + 1;
    if (size > kMostNameSize) return false;
    labels->push_back(label);
    if (dot == std::string::npos) return true;
    start = dot + 1;
  }
}

bool sameLabels(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].size() != b[i].size()) return false;
    for (size_t j = 0; j < a[i].size(); ++j)
      if (std::tolower(static_cast<unsigned char>(a[i][j])) != std::tolower(static_cast<unsigned char>(b[i][j])))
        return false;
  }
  return true;
}

std::string nameText(const std::vector<std::string>& labels) {
  if (labels.empty()) return ".";
  std::string text;
  for (const std::string& label : labels) text += (text.empty() ? "" : ".") + label;
  return text;
}

// Reads the name at *at; *at moves past it as written there (past its
// first pointer, when it has one). False when it cannot be read: a label
// or pointer past the packet's end, a pointer that does not point back, too
// many pointers, a name longer than a name can be, or a label kind that
// does not exist.
bool readName(const Packet& p, size_t* at, std::vector<std::string>* labels) {
  labels->clear();
  size_t position = *at;
  size_t size = 1;
  int jumps = 0;
  bool jumped = false;
  for (;;) {
    if (position >= p.size()) return false;
    const uint8_t length = p[position];
    if ((length & 0xC0) == 0xC0) {
      if (position + 1 >= p.size()) return false;
      const size_t target = static_cast<size_t>(length & 0x3F) << 8 | p[position + 1];
      if (!jumped) *at = position + 2;
      jumped = true;
      if (++jumps > kMostJumps || target >= position) return false;
      position = target;
      continue;
    }
    if (length & 0xC0) return false;
    if (length == 0) {
      if (!jumped) *at = position + 1;
      return true;
    }
    if (position + 1 + length > p.size()) return false;
    size += length + 1;
    if (size > kMostNameSize) return false;
    labels->emplace_back(reinterpret_cast<const char*>(&p[position + 1]), length);
    position += 1 + length;
  }
}

struct Query {
  uint16_t id = 0;
  std::vector<std::string> labels;
  uint16_t type = 0;
  Packet packet;
};

uint16_t randomId() {
  uint16_t id = 0;
  if (!RtlGenRandom(&id, sizeof id)) id = static_cast<uint16_t>(GetTickCount() ^ GetCurrentProcessId() << 4);
  return id;
}

Query makeQuery(const std::vector<std::string>& labels, uint16_t type) {
  Query query;
  query.id = randomId();
  query.labels = labels;
  query.type = type;
  Packet& p = query.packet;
  putWord(&p, query.id);
  putWord(&p, 0x0100);  // a standard query, recursion desired
  putWord(&p, 1);       // one question
  putWord(&p, 0);
  putWord(&p, 0);
  putWord(&p, 0);
  for (const std::string& label : labels) {
    p.push_back(static_cast<uint8_t>(label.size()));
    p.insert(p.end(), label.begin(), label.end());
  }
  p.push_back(0);
  putWord(&p, type);
  putWord(&p, kClassIn);
  return query;
}

// One record's data as text; false when it cannot be read. Types other
// than those asked for here are left out (*kept false).
bool readRecordData(const Packet& p, uint16_t type, size_t start, size_t end, DnsRecord* record, bool* kept) {
  *kept = true;
  record->type = type;
  const size_t length = end - start;
  std::vector<std::string> labels;
  size_t at = start;
  switch (type) {
    case kDnsTypeA:
    case kDnsTypeAaaa: {
      if (length != (type == kDnsTypeA ? 4u : 16u)) return false;
      char text[INET6_ADDRSTRLEN] = "";
      if (!inet_ntop(type == kDnsTypeA ? AF_INET : AF_INET6, &p[start], text, sizeof text)) return false;
      record->data = text;
      return true;
    }
    case kDnsTypeCname:
      if (!readName(p, &at, &labels) || at != end) return false;
      record->data = nameText(labels);
      return true;
    case kDnsTypeMx:
      if (length < 3) return false;
      record->preference = word(p, start);
      at = start + 2;
      if (!readName(p, &at, &labels) || at != end) return false;
      record->data = nameText(labels);
      return true;
    case kDnsTypeTxt:
      // Strings of a length byte each, filling the data exactly.
      if (length == 0) return false;
      while (at < end) {
        const size_t size = p[at];
        if (at + 1 + size > end) return false;
        record->data.append(reinterpret_cast<const char*>(&p[at + 1]), size);
        at += 1 + size;
      }
      return true;
    default:
      *kept = false;
      return true;
  }
}

enum class Reading { Ignored, Unreadable, Read };

// Reads a packet that came as an answer. Ignored: not an answer to this
// question (another id, a question of its own, not an answer at all).
// Read: *answer holds the answer code and records, *truncated the TC bit.
Reading readAnswer(const Packet& p, const Query& query, DnsAnswer* answer, bool* truncated) {
  if (p.size() < 2 || word(p, 0) != query.id) return Reading::Ignored;
  if (p.size() < kHeaderSize) return Reading::Unreadable;
  const uint16_t flags = word(p, 2);
  if (!(flags & 0x8000) || (flags >> 11 & 0xF) != 0) return Reading::Ignored;
  const int rcode = flags & 0xF;
  const uint16_t questions = word(p, 4), records = word(p, 6);
  size_t at = kHeaderSize;
  if (questions == 1) {
    std::vector<std::string> labels;
    if (!readName(p, &at, &labels) || at + 4 > p.size()) return Reading::Unreadable;
    if (!sameLabels(labels, query.labels) || word(p, at) != query.type || word(p, at + 2) != kClassIn)
      return Reading::Ignored;
    at += 4;
  } else if (questions != 0 || rcode == kDnsNoError) {
    // A server that could not read the question may leave it out of its
    // answer; an answer with records always names it.
    return Reading::Unreadable;
  }
  *truncated = (flags & 0x0200) != 0;
  answer->rcode = rcode;
  answer->records.clear();
  if (rcode != kDnsNoError || *truncated) return Reading::Read;
  for (uint16_t i = 0; i < records; ++i) {
    DnsRecord record;
    std::vector<std::string> owner;
    if (!readName(p, &at, &owner) || at + 10 > p.size()) return Reading::Unreadable;
    const uint16_t type = word(p, at), recordClass = word(p, at + 2), length = word(p, at + 8);
    at += 10;
    if (at + length > p.size()) return Reading::Unreadable;
    bool kept = false;
    if (!readRecordData(p, type, at, at + length, &record, &kept)) return Reading::Unreadable;
    at += length;
    if (!kept || recordClass != kClassIn) continue;
    record.owner = nameText(owner);
    answer->records.push_back(std::move(record));
  }
  return Reading::Read;
}

int64_t msLeft(double deadline) { return static_cast<int64_t>(deadline - nowMs()); }

// Waits until s can be read, until the deadline: 0 when it can, -1 when
// the time ran out, else the socket's error. A datagram refused by a
// closed port (ICMP) shows on Windows as something to read (recv tells the
// error); under Wine select may not tell it at all, though the socket holds
// it, so the error is looked at between short waits.
int waitToRead(SOCKET s, double deadline) {
  constexpr int64_t kLookEveryMs = 200;
  for (;;) {
    const int64_t left = msLeft(deadline);
    if (left <= 0) return -1;
    const int64_t ms = left < kLookEveryMs ? left : kLookEveryMs;
    fd_set readable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&failed);
    FD_SET(s, &readable);
    FD_SET(s, &failed);
    timeval limit{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000 * 1000)};
    const int ready = select(0, &readable, nullptr, &failed, &limit);
    if (ready < 0) return WSAGetLastError();
    if (ready > 0 && FD_ISSET(s, &readable)) return 0;
    int error = 0;
    int size = sizeof error;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
    if (error != 0) return error;
    // Failed without an error to tell: the same for a datagram socket.
    if (ready > 0) return WSAECONNRESET;
  }
}

struct SocketCloser {
  void operator()(SOCKET* s) const {
    closesocket(*s);
    delete s;
  }
};
using OwnedSocket = std::unique_ptr<SOCKET, SocketCloser>;

// The question again over TCP, after a truncated answer: the query after
// its two-byte length, the answer likewise. Result Truncated when the
// server gives none this way, NoAnswer when the time ran out.
DnsAnswer askOverTcp(const Query& query, const in_addr& server, double deadline) {
  DnsAnswer answer;
  answer.result = DnsAnswer::Result::Truncated;
  const auto outOfTime = [&] {
    if (msLeft(deadline) <= 0) answer.result = DnsAnswer::Result::NoAnswer;
    return answer;
  };
  char address[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &server, address, sizeof address);
  SOCKET connected = INVALID_SOCKET;
  const int error = connectTo(address, "53", msLeft(deadline), &connected);
  if (error == WSAETIMEDOUT) return outOfTime();
  if (error != 0) return answer;
  const OwnedSocket s(new SOCKET(connected));
  Packet message;
  putWord(&message, static_cast<uint16_t>(query.packet.size()));
  message.insert(message.end(), query.packet.begin(), query.packet.end());
  for (size_t sent = 0; sent < message.size();) {
    if (!waitForSocket(*s, true, msLeft(deadline))) return outOfTime();
    const int n = send(*s, reinterpret_cast<const char*>(&message[sent]), static_cast<int>(message.size() - sent), 0);
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) continue;
    if (n <= 0) return answer;
    sent += static_cast<size_t>(n);
  }
  // Its length first, then as many bytes.
  Packet received;
  size_t wanted = 2;
  bool haveLength = false;
  while (received.size() < wanted) {
    if (!waitForSocket(*s, false, msLeft(deadline))) return outOfTime();
    char buffer[4096];
    const size_t most = wanted - received.size() < sizeof buffer ? wanted - received.size() : sizeof buffer;
    const int n = recv(*s, buffer, static_cast<int>(most), 0);
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) continue;
    if (n <= 0) return answer;
    received.insert(received.end(), buffer, buffer + n);
    if (!haveLength && received.size() == 2) {
      wanted = word(received, 0);
      if (wanted == 0) return answer;
      received.clear();
      haveLength = true;
    }
  }
  bool truncated = false;
  const Reading reading = readAnswer(received, query, &answer, &truncated);
  // An answer over TCP that is not to this question is none; one still
  // marked truncated is not whole either.
  if (reading == Reading::Ignored) return answer;
  if (reading != Reading::Unreadable && truncated) {
    answer.records.clear();
    return answer;
  }
  answer.result = reading == Reading::Unreadable ? DnsAnswer::Result::Unreadable
                  : answer.rcode == kDnsNoError ? DnsAnswer::Result::Answered
                                                : DnsAnswer::Result::ServerError;
  return answer;
}

}  // namespace

bool isDnsName(const std::string& name) {
  std::vector<std::string> labels;
  return labelsOf(name, &labels);
}

DnsAnswer askNameServer(const std::string& name, uint16_t type, const in_addr& server, int64_t timeoutMs) {
  const double deadline = nowMs() + static_cast<double>(timeoutMs);
  DnsAnswer answer;
  std::vector<std::string> labels;
  if (!labelsOf(name, &labels)) {
    answer.result = DnsAnswer::Result::Unreadable;
    return answer;
  }
  const Query query = makeQuery(labels, type);

  // Connected, so that only the server's datagrams come in, and a closed
  // port is told at once rather than waited out.
  const OwnedSocket s(new SOCKET(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)));
  if (*s == INVALID_SOCKET) {
    answer.socketError = WSAGetLastError();
    return answer;
  }
  u_long nonBlocking = 1;
  ioctlsocket(*s, FIONBIO, &nonBlocking);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(53);
  to.sin_addr = server;
  if (connect(*s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 ||
      send(*s, reinterpret_cast<const char*>(query.packet.data()), static_cast<int>(query.packet.size()), 0) ==
          SOCKET_ERROR) {
    answer.socketError = WSAGetLastError();
    return answer;
  }
  Packet packet(kMostAnswerSize);
  for (;;) {
    const int waited = waitToRead(*s, deadline);
    if (waited == -1) return answer;
    if (waited != 0) {
      answer.socketError = waited;
      return answer;
    }
    const int n = recv(*s, reinterpret_cast<char*>(packet.data()), static_cast<int>(packet.size()), 0);
    if (n == SOCKET_ERROR) {
      const int error = WSAGetLastError();
      // A datagram larger than any answer is not one.
      if (error == WSAEWOULDBLOCK || error == WSAEMSGSIZE) continue;
      answer.socketError = error;
      return answer;
    }
    const Packet received(packet.begin(), packet.begin() + n);
    bool truncated = false;
    const Reading reading = readAnswer(received, query, &answer, &truncated);
    if (reading == Reading::Ignored) continue;
    if (reading == Reading::Unreadable) {
      answer.result = DnsAnswer::Result::Unreadable;
      return answer;
    }
    if (truncated) {
      // The whole answer does not fit a datagram: asked again over TCP.
      return askOverTcp(query, server, deadline);
    }
    answer.result = answer.rcode == kDnsNoError ? DnsAnswer::Result::Answered : DnsAnswer::Result::ServerError;
    return answer;
  }
}

}  // namespace VardokCheck
