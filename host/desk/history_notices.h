// What the history store says of itself ("history is not kept: disk
// full", that it is kept again, that a damaged file was moved aside), on
// its writer thread, carried to the desk host's main window: the sink
// queues each notice and posts one message for however many come before
// they are taken; take() hands the main thread each notice once, in the
// order said.
//
// The queue is shared with every sink handed out: the store may speak
// while the host ends (it writes what is queued as it stops, after the
// windows have gone), and its notice then waits in the queue, reaching
// no part of the host already gone. At most kKept notices wait.
//
// Threads: the sink, any thread; the rest, the main thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>

namespace VardokHost {

class HistoryNotices {
 public:
  static constexpr size_t kKept = 100;

  HistoryNotices() = default;
  // Posts nothing more: a sink that outlives this only queues.
  ~HistoryNotices() { setTarget(nullptr, 0); }
  HistoryNotices(const HistoryNotices&) = delete;
  HistoryNotices& operator=(const HistoryNotices&) = delete;

  // Where the sink posts message once there is something to take; with
  // null, nothing is posted (the notices wait).
  void setTarget(HWND window, UINT message);
  // For HostSession::openHistory.
  std::function<void(const std::string&)> sink() const;
  // The notices said since the last take, oldest first (UTF-8).
  std::vector<std::string> take();

 private:
  struct Queue {
    std::mutex lock;
    HWND window = nullptr;
    UINT message = 0;
    bool posted = false;  // a message is on its way
    std::vector<std::string> waiting;
  };
  std::shared_ptr<Queue> _queue = std::make_shared<Queue>();
};

}  // namespace VardokHost
