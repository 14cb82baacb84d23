// Work done on a thread of its own and waited for at most a time limit,
// for the calls no one can cut short (the system's name look-up, a name
// server's question): when the time is up the caller goes on with its
// verdict, and the thread is left behind with what it shares kept alive
// (the process ends soon after). The thread starts and ends its own use
// of Winsock: the caller may have ended its own by the time a slow answer
// comes.
#pragma once

#include <winsock2.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace VardokCheck {

// work's answer, or nothing when timeoutMs passed first. Any thread.
template <typename Answer>
std::optional<Answer> answerWithin(int64_t timeoutMs, std::function<Answer()> work) {
  struct Shared {
    std::mutex lock;
    std::condition_variable done;
    std::optional<Answer> answer;
  };
  auto shared = std::make_shared<Shared>();
  std::thread([shared, work = std::move(work)] {
    WSADATA data;
    const bool started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    Answer answer = work();
    if (started) WSACleanup();
    std::lock_guard<std::mutex> guard(shared->lock);
    shared->answer = std::move(answer);
    shared->done.notify_all();
  }).detach();
  std::unique_lock<std::mutex> guard(shared->lock);
  if (!shared->done.wait_for(guard, std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0),
                             [&] { return shared->answer.has_value(); }))
    return std::nullopt;
  return std::move(shared->answer);
}

}  // namespace VardokCheck
