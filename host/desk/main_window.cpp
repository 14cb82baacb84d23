// The desk host's main window: its menu bar and keys, the contact list
// above the detail pane and the notifications pane, and the messages that
// reach it.
#include <windows.h>
#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>

#include "host/desk/contact_dialog.h"
#include "host/desk/desk_host.h"
#include "host/desk/desk_ui.h"
#include "host/desk/history_window.h"
#include "host/desk/popups.h"
#include "host/desk/settings_window.h"

namespace VardokHost {

namespace {

constexpr wchar_t kWindowClass[] = L"VardokDesk";
constexpr UINT kTakeEvents = WM_APP + 1;
constexpr UINT kTrayMessage = WM_APP + 2;
constexpr UINT kCloseSettings = WM_APP + 3;
constexpr UINT kTakeNotices = WM_APP + 4;
constexpr UINT kCloseHistory = WM_APP + 5;
constexpr UINT_PTR kAgeTimer = 1;
constexpr int kListId = 1, kNotificationsId = 2, kDetailId = 3;
// The least each part of the window gets, in client pixels: the list its
// header and four rows, the detail pane three lines, the notifications
// pane its label, header and two rows.
constexpr int kListLeast = 110, kDetailLeast = 48, kPaneLeast = 92, kLeastWidth = 420;

HMENU createMenuBar() {
  HMENU contacts = CreatePopupMenu();
  AppendMenuW(contacts, MF_STRING, kAdd, L"&Add...\tCtrl+N");
  AppendMenuW(contacts, MF_STRING, kEdit, L"&Edit...\tF2");
  AppendMenuW(contacts, MF_STRING, kProperties, L"&Properties\tAlt+Enter");
  AppendMenuW(contacts, MF_STRING, kHistory, L"&History...\tCtrl+H");
  AppendMenuW(contacts, MF_STRING, kToggle, L"Enable/&Disable\tCtrl+E");
  AppendMenuW(contacts, MF_STRING, kRemove, L"&Remove\tDel");
  AppendMenuW(contacts, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(contacts, MF_STRING, kExit, L"E&xit");
  HMENU bar = CreateMenu();
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(contacts), L"&Contacts");
  return bar;
}

}  // namespace

bool DeskHost::createMainWindow() {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  registerWindowClass(kWindowClass, windowProc, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  registerDeskWindowClasses();
  _font.reset(createUiFont(false));
  ACCEL keys[] = {{FCONTROL | FVIRTKEY, 'N', kAdd},
                  {FVIRTKEY, VK_F2, kEdit},
                  {FALT | FVIRTKEY, VK_RETURN, kProperties},
                  {FCONTROL | FVIRTKEY, 'E', kToggle},
                  {FCONTROL | FVIRTKEY, 'H', kHistory},
                  {FVIRTKEY, VK_DELETE, kRemove}};
  _accelerators.reset(CreateAcceleratorTableW(keys, sizeof keys / sizeof keys[0]));

  // The menu bar is the window's: it goes with it (or here, when there is
  // no window).
  HMENU bar = createMenuBar();
  _window = CreateWindowExW(0, kWindowClass, L"Vardok", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 20, 20, 1040, 560,
                            nullptr, bar, GetModuleHandleW(nullptr), this);
  if (!_window) {
    DestroyMenu(bar);
    return false;
  }
  _list.create(_window, kListId, _font.get());
  _detail.create(_window, kDetailId, _font.get());
  _notifications.create(_window, kNotificationsId, _font.get());
  _tray.attach(_window, kTrayMessage);
  _inbox.setTarget(_window, kTakeEvents);
  _historyNotices.setTarget(_window, kTakeNotices);
  _popups.reset(new Popups(*this));
  SetTimer(_window, kAgeTimer, 1000, nullptr);
  layout();
  return true;
}

void DeskHost::layout() {
  RECT client;
  GetClientRect(_window, &client);
  const int width = client.right, height = client.bottom;
  // The list takes its share first; the panes share what is left, in
  // their proportions, down to their least.
  const int paneWanted = std::max(kPaneLeast, height * 26 / 100), detailWanted = std::max(kDetailLeast, height * 18 / 100);
  const int listHeight = std::min(height, std::max(kListLeast, height - paneWanted - detailWanted));
  const int rest = height - listHeight;
  const int detailHeight = rest >= paneWanted + detailWanted ? detailWanted : rest * detailWanted / (paneWanted + detailWanted);
  MoveWindow(_list.window(), 0, 0, width, listHeight, TRUE);
  _detail.place(0, listHeight, width, detailHeight);
  _notifications.place(0, listHeight + detailHeight, width, rest - detailHeight);
}

void DeskHost::minimumSize(MINMAXINFO* limits) const {
  RECT least{0, 0, kLeastWidth, kListLeast + kDetailLeast + kPaneLeast};
  AdjustWindowRectEx(&least, GetWindowLongW(_window, GWL_STYLE), TRUE, GetWindowLongW(_window, GWL_EXSTYLE));
  limits->ptMinTrackSize = {least.right - least.left, least.bottom - least.top};
}

void DeskHost::closeSettings(int row) {
  // The window asked from its own message: it goes once that has returned.
  PostMessageW(_window, kCloseSettings, static_cast<WPARAM>(row), 0);
}

void DeskHost::closeHistory(int row) {
  // As closeSettings: from the window's own message.
  PostMessageW(_window, kCloseHistory, static_cast<WPARAM>(row), 0);
}

LRESULT CALLBACK DeskHost::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<DeskHost*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->_window = window;
  }
  auto* self = reinterpret_cast<DeskHost*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!self) return DefWindowProcW(window, message, wParam, lParam);
  return self->onMessage(message, wParam, lParam);
}

LRESULT DeskHost::onMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SIZE:
      if (_list.window()) layout();
      return 0;
    case WM_GETMINMAXINFO:
      minimumSize(reinterpret_cast<MINMAXINFO*>(lParam));
      return 0;
    case WM_COMMAND:
      onCommand(LOWORD(wParam));
      return 0;
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lParam);
      if (header->hwndFrom != _list.window()) return 0;
      const LRESULT answer = _list.onNotify(header);
      if (header->code == LVN_ITEMCHANGED) {
        const auto* change = reinterpret_cast<NMLISTVIEW*>(lParam);
        if ((change->uNewState ^ change->uOldState) & LVIS_SELECTED) showDetail();
      }
      return answer;
    }
    case WM_CONTEXTMENU: {
      if (reinterpret_cast<HWND>(wParam) != _list.window()) break;
      const int index = _list.selected();
      if (index < 0) return 0;
      POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      if (at.x == -1 && at.y == -1) at = _list.menuPointOf(index);  // from the keyboard
      showContactMenu(static_cast<size_t>(index), at);
      return 0;
    }
    case kTakeEvents:
      takeEvents();
      return 0;
    case kCloseSettings:
      _settings.erase(static_cast<int>(wParam));
      return 0;
    case kTakeNotices:
      takeNotices();
      return 0;
    case kCloseHistory:
      _histories.erase(static_cast<int>(wParam));
      return 0;
    case WM_TIMER:
      if (wParam == kAgeTimer) _list.refreshAges();
      return 0;
    case kTrayMessage:
      if (lParam == WM_LBUTTONUP || lParam == WM_LBUTTONDBLCLK) {
        ShowWindow(_window, SW_RESTORE);
        SetForegroundWindow(_window);
      }
      return 0;
    case WM_CLOSE:
      DestroyWindow(_window);
      return 0;
    case WM_DESTROY:
      KillTimer(_window, kAgeTimer);
      _tray.removeIcon();
      _inbox.setTarget(nullptr, 0);
      _historyNotices.setTarget(nullptr, 0);
      PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      _window = nullptr;
      break;
    default:
      break;
  }
  return DefWindowProcW(_window, message, wParam, lParam);
}

void DeskHost::onCommand(int id) {
  const int index = _list.selected();
  if (id >= kPluginItem) return _menu.pluginItemPicked(id);
  switch (id) {
    case kAdd: {
      ContactEntry entry;
      entry.interval = 60;
      entry.enabled = 1;
      if (editContact(_window, L"Add a contact", &entry)) applyEntry(-1, entry);
      return;
    }
    case kEdit:
      if (index >= 0) {
        ContactEntry entry = _checks[static_cast<size_t>(index)].entry;
        if (editContact(_window, L"Edit the contact", &entry)) applyEntry(index, entry);
      }
      return;
    case kProperties:
      if (index >= 0) openSettings(static_cast<size_t>(index));
      return;
    case kHistory:
      if (index >= 0) openHistory(static_cast<size_t>(index));
      return;
    case kRemove:
      // Asked first, from the menu, the key and the contact menu alike.
      if (index >= 0 && removalConfirmed(static_cast<size_t>(index))) removeContact(static_cast<size_t>(index));
      return;
    case kToggle:
      if (index >= 0) toggleEnabled(static_cast<size_t>(index));
      return;
    case kExit:
      PostMessageW(_window, WM_CLOSE, 0, 0);
      return;
    default:
      return;
  }
}

}  // namespace VardokHost
