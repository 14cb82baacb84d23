// The lower pane of the main window: the notifications the plug-in raised,
// newest first (at most 500 kept), under a label that also says when the
// checks run late. Each row names its kind in the words the plug-in
// defined for it and gives the reason the contact's status gave; the
// kind's internal name shows in a tool-tip over the row (a tracking
// tool-tip of its own: a list view's info tips do not appear under Wine).
// The desk host's own notices (of its history, of its metrics page) are
// rows of the same list, named as the host's. Main thread.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

namespace VardokHost {

class NotificationPane {
 public:
  NotificationPane() = default;
  ~NotificationPane();
  NotificationPane(const NotificationPane&) = delete;
  NotificationPane& operator=(const NotificationPane&) = delete;

  void create(HWND parent, int id, HFONT font);
  HWND list() const { return _list; }
  // The tool-tip window that names a row's kind while the mouse is over it.
  HWND tip() const { return _tip; }
  // A notification the plug-in raised for a contact: the words of its kind
  // and its internal name, and the reason (UTF-8 all but the name).
  void add(const std::wstring& contact, const std::wstring& words, const std::string& name, const std::wstring& reason);
  // A notice of the desk host itself: what it is about ("History") and
  // what it says.
  void addNotice(const std::wstring& about, const std::wstring& text);
  // The internal name of the kind a row shows.
  std::wstring nameOf(int row) const;
  // What the plug-in last logged about checks running late.
  void setLateness(const std::wstring& text);
  // Places the label and the list in the given part of the parent.
  void place(int x, int y, int width, int height);

 private:
  static LRESULT CALLBACK listProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                   DWORD_PTR self);
  void onMouse(UINT message, LPARAM lParam);
  void hideTip();

  HWND _label = nullptr, _list = nullptr;  // children of the main window
  HWND _tip = nullptr;                     // owned by the main window
  std::vector<std::wstring> _names;        // the kinds' internal names, by a row's lParam
  int _tipRow = -1;                        // the row the tip shows, or -1
};

}  // namespace VardokHost
