#include "host/lib/event_log.h"

#include <algorithm>

#include <windows.h>

#include "hostapi/messages.h"

namespace VardokHost {

void EventLog::record(HostEvent event) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  event.ticks = now.QuadPart;
  std::function<void(const HostEvent&)> observer;
  {
    std::lock_guard<std::mutex> guard(_lock);
    event.sequence = ++_sequence;
    observer = _observer;
    HostEvent kept = observer ? event : std::move(event);
    if (_maxTextBytes) {
      // The log keeps a bounded copy; the observer sees the whole event.
      for (std::string* text : {&kept.text, &kept.text2}) {
        if (text->size() <= _maxTextBytes) continue;
        text->resize(_maxTextBytes);
        text->shrink_to_fit();
      }
    }
    _events.push_back(std::move(kept));
    if (_maxEvents)
      while (_events.size() > _maxEvents) _events.pop_front();
  }
  if (observer) observer(event);
}

void EventLog::setLimits(size_t maxEvents, size_t maxTextBytes) {
  std::lock_guard<std::mutex> guard(_lock);
  _maxEvents = maxEvents;
  _maxTextBytes = maxTextBytes;
}

std::vector<HostEvent> EventLog::events() const {
  std::lock_guard<std::mutex> guard(_lock);
  return std::vector<HostEvent>(_events.begin(), _events.end());
}

std::vector<HostEvent> EventLog::messages(uint32_t id) const {
  std::lock_guard<std::mutex> guard(_lock);
  std::vector<HostEvent> found;
  for (const HostEvent& e : _events)
    if (e.kind == HostEvent::Kind::Message && e.id == id) found.push_back(e);
  return found;
}

std::vector<HostEvent> EventLog::columnWrites(int rowId, int column) const {
  std::lock_guard<std::mutex> guard(_lock);
  std::vector<HostEvent> found;
  for (const HostEvent& e : _events)
    if (e.kind == HostEvent::Kind::ColumnWrite && e.row == rowId && e.column == column) found.push_back(e);
  return found;
}

size_t EventLog::notHandledCount() const {
  std::lock_guard<std::mutex> guard(_lock);
  return std::count_if(_events.begin(), _events.end(),
                       [](const HostEvent& e) { return e.kind == HostEvent::Kind::NotHandled; });
}

std::vector<std::string> EventLog::logLines() const {
  std::vector<std::string> lines;
  for (const HostEvent& e : messages(Vardok::HM_LOG)) lines.push_back(e.text);
  return lines;
}

void EventLog::clear() {
  std::lock_guard<std::mutex> guard(_lock);
  _events.clear();
}

void EventLog::setObserver(std::function<void(const HostEvent&)> observer) {
  std::lock_guard<std::mutex> guard(_lock);
  _observer = std::move(observer);
}

}  // namespace VardokHost
