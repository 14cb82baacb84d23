#include "host/desk/detail_pane.h"

#include "host/desk/desk_ui.h"

namespace VardokHost {

void DetailPane::create(HWND parent, int id, HFONT font) {
  _edit = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                          WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
                          0, 0, 0, 0, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                          GetModuleHandleW(nullptr), nullptr);
  // The bound is the cleaned text's, not the control's default.
  SendMessageW(_edit, EM_SETLIMITTEXT, 0, 0);
  SendMessageW(_edit, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

void DetailPane::show(int row, const std::string& hostText) {
  const std::wstring text = row ? detailTextOf(hostText) : std::wstring();
  if (row == _row && text == _shown) return;
  // A new report of the same contact stays where the reader was.
  const LRESULT firstLine = row == _row ? SendMessageW(_edit, EM_GETFIRSTVISIBLELINE, 0, 0) : 0;
  SetWindowTextW(_edit, text.c_str());
  if (firstLine > 0) SendMessageW(_edit, EM_LINESCROLL, 0, firstLine);
  _row = row;
  _shown = text;
}

void DetailPane::place(int x, int y, int width, int height) { MoveWindow(_edit, x, y, width, height, TRUE); }

}  // namespace VardokHost
