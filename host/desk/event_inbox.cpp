#include "host/desk/event_inbox.h"

#include <algorithm>

#include "hostapi/messages.h"

namespace VardokHost {

void EventInbox::setTarget(HWND window, UINT message) {
  _message = message;
  _target = window;
}

void EventInbox::ready(const std::function<void(DeskEvents&)>& add) {
  {
    std::lock_guard<std::mutex> guard(_lock);
    add(_events);
    if (_posted) return;
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
}

bool EventInbox::put(const PluginEvent& event) {
  if (const auto* written = std::get_if<ColumnWritten>(&event.what)) {
    if (written->column != Vardok::kColumnDescription) return false;
    std::lock_guard<std::mutex> guard(_lock);
    _outputWritten.insert(written->row);
    return true;
  }
  if (const auto* raised = std::get_if<NotificationRaised>(&event.what)) {
    std::lock_guard<std::mutex> guard(_lock);
    _held.push_back({{event.time, raised->row, raised->name, std::string()}, _outputWritten.count(raised->row) != 0});
    return true;
  }
  if (const auto* refreshed = std::get_if<ContactRefreshed>(&event.what)) {
    // The report has ended: its notifications go with what it left.
    const int row = refreshed->row;
    std::vector<Held> ended;
    {
      std::lock_guard<std::mutex> guard(_lock);
      _outputWritten.erase(row);
      const auto ofRow = std::stable_partition(_held.begin(), _held.end(), [row](const Held& h) { return h.raised.row != row; });
      ended.assign(ofRow, _held.end());
      _held.erase(ofRow, _held.end());
    }
    for (Held& held : ended)
      if (_reasonOf) held.raised.reason = _reasonOf(row, held.withOutput);
    ready([&](DeskEvents& events) {
      events.refreshedRows.push_back(row);
      for (Held& held : ended) events.raised.push_back(std::move(held.raised));
    });
    return true;
  }
  if (const auto* popup = std::get_if<PopupShown>(&event.what))
    ready([&](DeskEvents& events) { events.popups.push_back(*popup); });
  else if (const auto* icon = std::get_if<IconRegistered>(&event.what))
    ready([&](DeskEvents& events) { events.icons.push_back(*icon); });
  else if (const auto* log = std::get_if<LogLine>(&event.what); log && log->saysLate())
    ready([&](DeskEvents& events) { events.lateness = log->text; });
  else
    return false;
  return true;
}

void EventInbox::forget(int row) {
  std::vector<Held> gone;
  {
    std::lock_guard<std::mutex> guard(_lock);
    _outputWritten.erase(row);
    const auto ofRow = std::stable_partition(_held.begin(), _held.end(), [row](const Held& h) { return h.raised.row != row; });
    gone.assign(ofRow, _held.end());
    _held.erase(ofRow, _held.end());
  }
  if (gone.empty()) return;
  ready([&](DeskEvents& events) {
    for (Held& held : gone) events.raised.push_back(std::move(held.raised));
  });
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
