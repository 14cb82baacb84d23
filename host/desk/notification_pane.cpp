#include "host/desk/notification_pane.h"

#include <commctrl.h>

#include "host/desk/desk_ui.h"
#include "host/lib/host_text.h"

namespace VardokHost {

namespace {

constexpr int kKeptRows = 500;
constexpr int kLabelHeight = 22;

}  // namespace

void NotificationPane::create(HWND parent, int id, HFONT font) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  _label = CreateWindowExW(0, L"STATIC", L"Notifications", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, parent, nullptr,
                           instance, nullptr);
  _list = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_NOSORTHEADER, 0,
                          0, 0, 0, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
  SendMessageW(_list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);
  addListColumns(_list, {{L"Time", 80}, {L"Contact", 170}, {L"Notification", 300}});
  for (HWND child : {_label, _list}) SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

void NotificationPane::add(const std::wstring& contact, const std::string& kind) {
  SYSTEMTIME time;
  GetLocalTime(&time);
  wchar_t clock[16];
  wsprintfW(clock, L"%02u:%02u:%02u", time.wHour, time.wMinute, time.wSecond);
  LVITEMW item{};
  item.mask = LVIF_TEXT;
  item.iItem = 0;
  item.pszText = clock;
  SendMessageW(_list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
  setListItemText(_list, 0, 1, contact);
  setListItemText(_list, 0, 2, wideFromUtf8(fromHostText(kind)));
  while (SendMessageW(_list, LVM_GETITEMCOUNT, 0, 0) > kKeptRows) SendMessageW(_list, LVM_DELETEITEM, kKeptRows, 0);
}

void NotificationPane::setLateness(const std::wstring& text) {
  SetWindowTextW(_label, (L"Notifications - " + text).c_str());
}

void NotificationPane::place(int x, int y, int width, int height) {
  MoveWindow(_label, x + 6, y + 4, width - 12, 16, TRUE);
  MoveWindow(_list, x, y + kLabelHeight, width, height - kLabelHeight, TRUE);
}

}  // namespace VardokHost
