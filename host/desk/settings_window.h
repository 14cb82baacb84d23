// A contact's settings window, built at run time from the interface items
// the plug-in sent with HM_SETUP_UI, in their order, kinds and sizes:
// groups, the information box (image and rich text), captions, edit fields
// and check boxes bound to the plug-in's columns, separators and buttons
// with their tool-tips. Nothing of the page is known here beforehand.
//
// The host reads the bound columns into the controls and writes them back
// on OK or Apply, as the real host does; the edit fields' live texts are
// what HM_UI_GET_VALUE answers while the window is open. A button sends
// HM_ACTION for its item. Main thread.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

#include "host/desk/ui_handles.h"

namespace VardokHost {

class DeskHost;

class SettingsWindow {
 public:
  SettingsWindow(DeskHost& desk, int row, const std::string& contactName);
  ~SettingsWindow();
  SettingsWindow(const SettingsWindow&) = delete;
  SettingsWindow& operator=(const SettingsWindow&) = delete;

  HWND window() const { return _window; }

 private:
  struct Bound {
    HWND control = nullptr;
    int itemId = 0;
    int kind = 0;
    int column = 0;
    std::string shown;  // the column's value as the control last showed it, UTF-8
  };
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT onMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void build();
  HWND addControl(const wchar_t* windowClass, const std::wstring& text, DWORD style, int x, int y, int width,
                  int height, int id = 0);
  void addTip(HWND control, const std::wstring& text);
  bool apply();
  // A bound control's value, and its column's value now, in one form
  // (UTF-8 text, a number or "0"/"1" for a check box).
  std::string controlValue(const Bound& bound) const;
  std::string columnValue(const Bound& bound) const;
  void liveValueChanged(const Bound& bound);

  DeskHost& _desk;
  int _row;
  HWND _window = nullptr, _tips = nullptr;
  FontHandle _font;
  std::vector<Bound> _bound;
  std::vector<int> _buttonItems;  // control id - kFirstButton -> item id
};

}  // namespace VardokHost
