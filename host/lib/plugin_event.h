// What the plug-in tells a host to show, decoded once from the recorded
// messages (HostEvent) through the records' structs into types, so that no
// host reads a record by its offsets or names a status byte itself.
//
// Plain values; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include <windows.h>

#include "host/lib/host_event.h"

namespace VardokHost {

// A check's state as the hosts show it.
enum class CheckState { Waiting = -1, Well = 0, Problem = 1, Critical = 2 };

// The state a contact's status byte (column 2) stands for; a byte the
// plug-in does not write counts as critical.
CheckState stateOfStatus(int status);
// "waiting", "well", "problem", "critical"; "unknown" for a status byte
// the plug-in does not write.
const char* stateWord(CheckState state, int status);

// HM_CONTACT_REFRESH: the contact's columns hold a new result.
struct ContactRefreshed {
  int row = 0;
};

// A column of a contact written (SetValue): the contact's description
// (its last output), icon or a check column.
struct ColumnWritten {
  int row = 0;
  int column = 0;
};

// HM_NOTIFY_SHOW: a pop-up.
struct PopupShown {
  std::string text;  // Windows-1250
  int iconId = 0;
  bool well = false;        // the status is well
  bool exitedWell = false;  // the run's exit code was 0
};

// HM_NOTIFY_RAISE: a notification of a kind the plug-in defined.
struct NotificationRaised {
  int row = 0;
  std::string name;  // the kind's internal name ("vardokFailed")
};

// HM_LOG: a line for the host's log.
struct LogLine {
  int level = 0;
  std::string text;  // Windows-1250
  // The plug-in's word that checks run late (kLatenessLogPrefix).
  bool saysLate() const;
};

// HM_ICON_REGISTER: an icon id and the resource that draws it.
struct IconRegistered {
  int iconId = 0;
  HMODULE module = nullptr;
  int resourceId = 0;
};

// HM_UI_SET_STATE: the state of an item for a contact (0 shown and usable).
struct ItemStateSet {
  int itemId = 0;
  int contact = 0;
  int state = 0;
};

struct PluginEvent {
  DWORD time = 0;  // GetTickCount when the plug-in sent it
  std::variant<std::monostate, ContactRefreshed, ColumnWritten, PopupShown, NotificationRaised, LogLine,
               IconRegistered, ItemStateSet>
      what;
};

// The event a recorded message stands for; monostate for every other.
PluginEvent decodeEvent(const HostEvent& event);

}  // namespace VardokHost
