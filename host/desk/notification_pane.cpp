#include "host/desk/notification_pane.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>

#include "host/desk/desk_ui.h"
#include "host/lib/host_text.h"

namespace VardokHost {

namespace {

constexpr int kKeptRows = 500;
constexpr int kLabelHeight = 22;
constexpr UINT_PTR kSubclassId = 1;
constexpr UINT_PTR kTipTool = 1;
enum Column : int { kTime, kContact, kWords, kReason };

TOOLINFOW tipTool(HWND list, const wchar_t* text) {
  TOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_TRACK | TTF_ABSOLUTE;
  tool.hwnd = list;
  tool.uId = kTipTool;
  tool.lpszText = const_cast<wchar_t*>(text);
  return tool;
}

}  // namespace

NotificationPane::~NotificationPane() {
  if (_list && IsWindow(_list)) RemoveWindowSubclass(_list, listProc, kSubclassId);
}

void NotificationPane::create(HWND parent, int id, HFONT font) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  _label = CreateWindowExW(0, L"STATIC", L"Notifications", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, parent, nullptr,
                           instance, nullptr);
  _list = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_NOSORTHEADER, 0,
                          0, 0, 0, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
  SendMessageW(_list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);
  addListColumns(_list, {{L"Time", 70}, {L"Contact", 150}, {L"Notification", 200}, {L"Reason", 420}});
  for (HWND child : {_label, _list}) SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  // The tool-tip follows the mouse over the rows: the list tells this pane
  // where the mouse is.
  _tip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, 0, 0, 0, 0,
                         parent, nullptr, instance, nullptr);
  TOOLINFOW tool = tipTool(_list, L"");
  SendMessageW(_tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  SendMessageW(_tip, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  SetWindowSubclass(_list, listProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this));
}

LRESULT CALLBACK NotificationPane::listProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                            DWORD_PTR self) {
  auto* pane = reinterpret_cast<NotificationPane*>(self);
  if (message == WM_MOUSEMOVE || message == WM_MOUSELEAVE) pane->onMouse(message, lParam);
  if (message == WM_NCDESTROY) RemoveWindowSubclass(window, listProc, id);
  return DefSubclassProc(window, message, wParam, lParam);
}

void NotificationPane::onMouse(UINT message, LPARAM lParam) {
  if (message == WM_MOUSELEAVE) return hideTip();
  LVHITTESTINFO hit{};
  hit.pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  SendMessageW(_list, LVM_SUBITEMHITTEST, 0, reinterpret_cast<LPARAM>(&hit));
  if (hit.iItem < 0) return hideTip();
  if (hit.iItem == _tipRow) return;
  _tipRow = hit.iItem;
  const std::wstring name = nameOf(hit.iItem);
  const std::wstring text = name.empty() ? L"A notice of the desk host" : L"Internal name: " + name;
  TOOLINFOW tool = tipTool(_list, text.c_str());
  SendMessageW(_tip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
  POINT at{hit.pt.x + 12, hit.pt.y + 20};
  ClientToScreen(_list, &at);
  SendMessageW(_tip, TTM_TRACKPOSITION, 0, MAKELPARAM(at.x, at.y));
  SendMessageW(_tip, TTM_TRACKACTIVATE, TRUE, reinterpret_cast<LPARAM>(&tool));
  // Told when the mouse leaves the list, to hide the tip.
  TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, _list, 0};
  TrackMouseEvent(&track);
}

void NotificationPane::hideTip() {
  if (_tipRow < 0) return;
  _tipRow = -1;
  TOOLINFOW tool = tipTool(_list, L"");
  SendMessageW(_tip, TTM_TRACKACTIVATE, FALSE, reinterpret_cast<LPARAM>(&tool));
}

void NotificationPane::add(const std::wstring& contact, const std::wstring& words, const std::string& name,
                           const std::wstring& reason) {
  // The rows move down: the tip no longer names the row under the mouse.
  hideTip();
  SYSTEMTIME time;
  GetLocalTime(&time);
  wchar_t clock[16];
  wsprintfW(clock, L"%02u:%02u:%02u", time.wHour, time.wMinute, time.wSecond);
  const std::wstring wideName = wideFromUtf8(fromHostText(name));
  auto known = std::find(_names.begin(), _names.end(), wideName);
  if (known == _names.end()) known = _names.insert(_names.end(), wideName);
  LVITEMW item{};
  item.mask = LVIF_TEXT | LVIF_PARAM;
  item.iItem = 0;
  item.pszText = clock;
  item.lParam = known - _names.begin();
  SendMessageW(_list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
  setListItemText(_list, 0, kContact, contact);
  // A kind the plug-in gave no words is shown by its name.
  setListItemText(_list, 0, kWords, words.empty() ? wideName : words);
  setListItemText(_list, 0, kReason, reason);
  while (SendMessageW(_list, LVM_GETITEMCOUNT, 0, 0) > kKeptRows) SendMessageW(_list, LVM_DELETEITEM, kKeptRows, 0);
}

void NotificationPane::addNotice(const std::wstring& about, const std::wstring& text) {
  // A kind with no name: the tip says whose notice it is.
  add(L"(desk host)", about, std::string(), text);
}

std::wstring NotificationPane::nameOf(int row) const {
  LVITEMW item{};
  item.mask = LVIF_PARAM;
  item.iItem = row;
  if (!SendMessageW(_list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) return std::wstring();
  const size_t index = static_cast<size_t>(item.lParam);
  return index < _names.size() ? _names[index] : std::wstring();
}

void NotificationPane::setLateness(const std::wstring& text) {
  SetWindowTextW(_label, (L"Notifications - " + text).c_str());
}

void NotificationPane::place(int x, int y, int width, int height) {
  MoveWindow(_label, x + 6, y + 4, width - 12, 16, TRUE);
  MoveWindow(_list, x, y + kLabelHeight, width, height - kLabelHeight, TRUE);
}

}  // namespace VardokHost
