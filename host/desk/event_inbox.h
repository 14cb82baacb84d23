// What the plug-in reports, carried from the thread it called the host on
// to the desk host's main thread: put() queues an event and posts one
// message to the main window for however many come before it is taken;
// take() hands the main thread everything since, each refreshed row once.
//
// A notification is raised while its report is still being written (the
// status text comes after it): it is held until its contact's refresh,
// which ends the report, and then goes with the reason the contact's
// status gives at that moment.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
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
    std::string kind;    // the notification's internal name
    std::string reason;  // what the contact's status said, UTF-8
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
  // Reads the reason of a notification for a contact once its report is
  // written; withOutput when that report wrote the contact's description.
  // Called on the thread of the report. Set before any event comes.
  using ReasonReader = std::function<std::string(int row, bool withOutput)>;
  void setReasonReader(ReasonReader reader) { _reasonOf = std::move(reader); }
  // A contact removed: its held notifications go as they are. Main thread.
  void forget(int row);
  // Any thread. False when the event is none the desk host shows.
  bool put(const PluginEvent& event);
  // Main thread.
  DeskEvents take();

 private:
  std::atomic<HWND> _target{nullptr};
  std::atomic<UINT> _message{0};
  std::mutex _lock;
  // Queues what is ready and posts the message when none is on its way.
  void ready(const std::function<void(DeskEvents&)>& add);

  ReasonReader _reasonOf;
  DeskEvents _events;
  bool _posted = false;  // a message is on its way
  struct Held {
    DeskEvents::Raised raised;
    bool withOutput = false;  // its report wrote the description first
  };
  std::vector<Held> _held;                // raised, their report not yet ended
  std::set<int> _outputWritten;           // rows whose description the report in progress wrote
};

}  // namespace VardokHost
