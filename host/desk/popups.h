// The plug-in's pop-ups (HM_NOTIFY_SHOW): small always-on-top windows near
// the notification area, each with the record's icon, its text and a
// stripe for its flags (green: the status is well), shown for a few
// seconds without taking the focus, stacked upwards when several come.
// Main thread.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

#include "host/desk/ui_handles.h"

namespace VardokHost {

class DeskHost;

class Popups {
 public:
  // Not copied: its font and windows have one owner.
  explicit Popups(DeskHost& desk);
  ~Popups();

  void show(const std::wstring& text, int iconId, bool well, bool exitedWell);
  // The pop-ups now on the screen, newest last.
  const std::vector<HWND>& windows() const { return _windows; }

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void closed(HWND window);
  void restack();

  DeskHost& _desk;
  FontHandle _font;
  std::vector<HWND> _windows;
};

// The class of a pop-up window; its window text is the pop-up's text.
extern const wchar_t kPopupClass[];

}  // namespace VardokHost
