// What the plug-in reports, carried from the thread it called the host on
// to the desk host's main thread: put() queues an event and posts one
// message to the main window for however many come before it is taken;
// take() hands the main thread everything since, each refreshed row once.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>

#include "host/lib/plugin_event.h"

namespace VardokHost {

struct DeskEvents {
  std::vector<int> refreshedRows;  // sorted, each once
  std::vector<PopupShown> popups;
  struct Raised {
    DWORD time = 0;
    int row = 0;
    std::string kind;  // the notification's internal name
  };
  std::vector<Raised> raised;
  std::vector<IconRegistered> icons;
  std::string lateness;  // the last "running late" log line, if any
};

class EventInbox {
 public:
  // Where put() posts message once there is something to take; until this
  // is called, and after it is called with null, nothing is posted.
  void setTarget(HWND window, UINT message);
  // Any thread. False when the event is none the desk host shows.
  bool put(const PluginEvent& event);
  // Main thread.
  DeskEvents take();

 private:
  std::atomic<HWND> _target{nullptr};
  std::atomic<UINT> _message{0};
  std::mutex _lock;
  DeskEvents _events;
  bool _posted = false;  // a message is on its way
};

}  // namespace VardokHost
