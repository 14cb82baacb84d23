#include "host/desk/history_reader.h"

#include <algorithm>

namespace VardokHost {

void HistoryReplies::close() {
  std::lock_guard<std::mutex> guard(_lock);
  _window = nullptr;
  _answer.reset();
}

std::optional<HistoryAnswer> HistoryReplies::take() {
  std::lock_guard<std::mutex> guard(_lock);
  std::optional<HistoryAnswer> taken;
  taken.swap(_answer);
  _posted = false;
  return taken;
}

void HistoryReplies::deliver(HistoryAnswer answer) {
  std::lock_guard<std::mutex> guard(_lock);
  if (!_window) return;
  // A newer answer takes the place of one not yet taken, whose message is
  // on its way. Posted under the lock: once close() has returned, nothing
  // reaches the window it named.
  _answer = std::move(answer);
  if (!_posted) _posted = PostMessageW(_window, _message, 0, 0) != FALSE;
}

HistoryReader::HistoryReader(HistoryStore& store) : _store(store), _thread([this] { readerMain(); }) {}

HistoryReader::~HistoryReader() {
  {
    std::lock_guard<std::mutex> guard(_lock);
    _stop = true;
    _queue.clear();
  }
  _wake.notify_all();
  _thread.join();
}

void HistoryReader::ask(const std::shared_ptr<HistoryReplies>& replies, const HistoryQuery& query) {
  {
    std::lock_guard<std::mutex> guard(_lock);
    const auto same = std::find_if(_queue.begin(), _queue.end(), [&](const auto& asked) { return asked.first == replies; });
    if (same != _queue.end())
      same->second = query;
    else
      _queue.emplace_back(replies, query);
  }
  _wake.notify_all();
}

HistoryAnswer HistoryReader::read(const HistoryQuery& query) {
  HistoryAnswer answer;
  answer.query = query;
  answer.nowMs = _store.now();
  const int64_t from = answer.nowMs - query.spanMs;
  answer.rollups = _store.rollups(query.key, from, answer.nowMs, query.bucketMs);
  answer.incidents = _store.incidents(query.key, from, query.incidents);
  answer.uptime = _store.uptime(query.key);
  return answer;
}

void HistoryReader::readerMain() {
  for (;;) {
    std::pair<std::shared_ptr<HistoryReplies>, HistoryQuery> next;
    {
      std::unique_lock<std::mutex> guard(_lock);
      _wake.wait(guard, [&] { return _stop || !_queue.empty(); });
      if (_stop) return;
      next = std::move(_queue.front());
      _queue.pop_front();
    }
    next.first->deliver(read(next.second));
  }
}

}  // namespace VardokHost
