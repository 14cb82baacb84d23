#include "tools/check/resolve.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "tools/check/error_words.h"

namespace VardokCheck {

namespace {

// What the look-up thread hands over; shared, so that a thread left behind
// still has it to write to.
struct Question {
  std::mutex lock;
  std::condition_variable done;
  bool answered = false;
  Resolved resolved;
};

Resolved lookUp(const std::string& host, const std::string& port, const addrinfo& hints) {
  Resolved resolved;
  addrinfo* found = nullptr;
  const int error = getaddrinfo(host.c_str(), port.empty() ? nullptr : port.c_str(), &hints, &found);
  if (error == WSATRY_AGAIN) {
    resolved.result = Resolved::Result::NoAnswer;
    resolved.error = error;
  } else if (error != 0 || !found) {
    resolved.result = Resolved::Result::NotFound;
    resolved.error = error != 0 ? error : WSAHOST_NOT_FOUND;
  } else {
    resolved.result = Resolved::Result::Found;
    for (const addrinfo* a = found; a; a = a->ai_next) {
      Resolved::Address address{};
      if (a->ai_addrlen > sizeof address.address) continue;
      memcpy(&address.address, a->ai_addr, a->ai_addrlen);
      address.length = static_cast<int>(a->ai_addrlen);
      address.family = a->ai_family;
      address.socketType = a->ai_socktype;
      address.protocol = a->ai_protocol;
      resolved.addresses.push_back(address);
    }
  }
  if (found) freeaddrinfo(found);
  return resolved;
}

}  // namespace

Resolved resolveWithin(const std::string& hostName, const std::string& port, int family, int socketType,
                       int64_t timeoutMs) {
  std::string host = hostName;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = socketType;
  hints.ai_flags = AI_NUMERICHOST;
  // An address as written needs no name server.
  Resolved numeric = lookUp(host, port, hints);
  if (numeric.result == Resolved::Result::Found) return numeric;
  hints.ai_flags = 0;

  auto question = std::make_shared<Question>();
  std::thread([question, host, port, hints] {
    // Its own use of Winsock: the caller may have ended its own by the
    // time a slow answer comes.
    WSADATA data;
    const bool started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    Resolved resolved = lookUp(host, port, hints);
    if (started) WSACleanup();
    std::lock_guard<std::mutex> guard(question->lock);
    question->resolved = std::move(resolved);
    question->answered = true;
    question->done.notify_all();
  }).detach();
  std::unique_lock<std::mutex> guard(question->lock);
  if (!question->done.wait_for(guard, std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0),
                               [&] { return question->answered; }))
    return Resolved();
  return question->resolved;
}

std::string lookupFailureText(const std::string& host, const Resolved& resolved, int64_t timeoutMs) {
  if (resolved.result == Resolved::Result::NoAnswer)
    return resolved.error ? "no name server answered for " + host
                          : "the name look-up of " + host + " got no answer within " + std::to_string(timeoutMs) +
                                " ms";
  if (resolved.error == WSAHOST_NOT_FOUND || resolved.error == WSANO_DATA) return "the name " + host + " is not found";
  return "the name " + host + " cannot be looked up: " + errorWords(static_cast<uint32_t>(resolved.error));
}

}  // namespace VardokCheck
