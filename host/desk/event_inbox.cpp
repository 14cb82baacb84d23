#include "host/desk/event_inbox.h"

#include <algorithm>

namespace VardokHost {

void EventInbox::setTarget(HWND window, UINT message) {
  _message = message;
  _target = window;
}

bool EventInbox::put(const PluginEvent& event) {
  {
    std::lock_guard<std::mutex> guard(_lock);
    if (const auto* refreshed = std::get_if<ContactRefreshed>(&event.what))
      _events.refreshedRows.push_back(refreshed->row);
    else if (const auto* popup = std::get_if<PopupShown>(&event.what))
      _events.popups.push_back(*popup);
    else if (const auto* raised = std::get_if<NotificationRaised>(&event.what))
      _events.raised.push_back({event.time, raised->row, raised->name});
    else if (const auto* icon = std::get_if<IconRegistered>(&event.what))
      _events.icons.push_back(*icon);
    else if (const auto* log = std::get_if<LogLine>(&event.what); log && log->saysLate())
      _events.lateness = log->text;
    else
      return false;
    if (_posted) return true;
    _posted = true;
  }
  // Posted outside the lock: the main thread may be waiting for it to take.
  // With no window (not yet made, or gone), or a post refused, the events
  // wait for take() and the next event posts again.
  const HWND target = _target.load();
  if (!target || !PostMessageW(target, _message.load(), 0, 0)) {
    std::lock_guard<std::mutex> guard(_lock);
    _posted = false;
  }
  return true;
}

DeskEvents EventInbox::take() {
  DeskEvents taken;
  {
    std::lock_guard<std::mutex> guard(_lock);
    std::swap(taken, _events);
    _posted = false;
  }
  // Each row once, however many results came since.
  auto& rows = taken.refreshedRows;
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  return taken;
}

}  // namespace VardokHost
