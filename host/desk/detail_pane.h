// The main window's detail pane, between the contact list and the
// notifications: the whole last output of the selected contact (its
// description), cleaned as a person reads it and bounded
// (host/lib/display_text.h), in a read-only edit control that can be
// scrolled, selected and copied. It follows the selection and the
// contact's reports. Main thread.
#pragma once

#include <string>

#include <windows.h>

namespace VardokHost {

class DetailPane {
 public:
  void create(HWND parent, int id, HFONT font);
  HWND window() const { return _edit; }
  // Shows a contact's output (its host text, Windows-1250); row 0 for
  // none. The same contact again keeps where it was scrolled to.
  void show(int row, const std::string& hostText);
  int row() const { return _row; }
  void place(int x, int y, int width, int height);

 private:
  HWND _edit = nullptr;  // a child of the main window
  int _row = 0;
  std::wstring _shown;
};

}  // namespace VardokHost
