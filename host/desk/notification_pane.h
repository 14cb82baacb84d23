// The lower pane of the main window: the notifications the plug-in raised,
// newest first (at most 500 kept), under a label that also says when the
// checks run late. Main thread.
#pragma once

#include <string>

#include <windows.h>

namespace VardokHost {

class NotificationPane {
 public:
  void create(HWND parent, int id, HFONT font);
  HWND list() const { return _list; }
  // A notification the plug-in raised for a contact (its internal name).
  void add(const std::wstring& contact, const std::string& kind);
  // What the plug-in last logged about checks running late.
  void setLateness(const std::wstring& text);
  // Places the label and the list in the given part of the parent.
  void place(int x, int y, int width, int height);

 private:
  HWND _label = nullptr, _list = nullptr;  // children of the main window
};

}  // namespace VardokHost
