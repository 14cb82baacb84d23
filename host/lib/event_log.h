// The host's record of everything the plug-in did, in order.
//
// Any thread: the plug-in's workers record into it while the host's main
// thread reads it. The observer is called after each event is recorded,
// outside the log's lock, on the thread that made the event.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "host/lib/host_event.h"

namespace VardokHost {

class EventLog {
 public:
  // Stamps the event with its sequence number and time, keeps it and tells
  // the observer.
  void record(HostEvent event);

  std::vector<HostEvent> events() const;
  std::vector<HostEvent> messages(uint32_t id) const;
  std::vector<HostEvent> columnWrites(int rowId, int column) const;
  size_t notHandledCount() const;
  // The texts of the HM_LOG messages.
  std::vector<std::string> logLines() const;
  void clear();
  void setObserver(std::function<void(const HostEvent&)> observer);
  // Keeps at most maxEvents events (the oldest go first) and at most
  // maxTextBytes of each text an event copied; 0 means no bound. Unbounded
  // by default, so tests see everything; a long-running host bounds it.
  void setLimits(size_t maxEvents, size_t maxTextBytes);

 private:
  mutable std::mutex _lock;
  std::deque<HostEvent> _events;
  size_t _maxEvents = 0;
  size_t _maxTextBytes = 0;
  uint64_t _sequence = 0;
  std::function<void(const HostEvent&)> _observer;
};

}  // namespace VardokHost
