#include "host/desk/history_notices.h"

namespace VardokHost {

void HistoryNotices::setTarget(HWND window, UINT message) {
  std::lock_guard<std::mutex> guard(_queue->lock);
  _queue->window = window;
  _queue->message = message;
  _queue->posted = false;
  // What waited for a window goes to the new one.
  if (window && !_queue->waiting.empty()) _queue->posted = PostMessageW(window, message, 0, 0) != FALSE;
}

std::function<void(const std::string&)> HistoryNotices::sink() const {
  return [queue = _queue](const std::string& text) {
    std::lock_guard<std::mutex> guard(queue->lock);
    if (queue->waiting.size() >= kKept) queue->waiting.erase(queue->waiting.begin());
    queue->waiting.push_back(text);
    // Posted under the lock: once setTarget(null) has returned, nothing
    // reaches the window it named.
    if (!queue->posted && queue->window)
      queue->posted = PostMessageW(queue->window, queue->message, 0, 0) != FALSE;
  };
}

std::vector<std::string> HistoryNotices::take() {
  std::vector<std::string> taken;
  std::lock_guard<std::mutex> guard(_queue->lock);
  taken.swap(_queue->waiting);
  _queue->posted = false;
  return taken;
}

}  // namespace VardokHost
