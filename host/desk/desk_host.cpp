#include "host/desk/desk_host.h"

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>

#include "host/desk/contact_dialog.h"
#include "host/desk/desk_ui.h"
#include "host/desk/popups.h"
#include "host/desk/settings_window.h"
#include "host/lib/demo_list.h"
#include "host/lib/host_text.h"
#include "hostapi/messages.h"
#include "hostapi/protocol.h"
#include "protocol/result_protocol.h"

namespace VardokHost {

using namespace Vardok;

namespace {

constexpr wchar_t kWindowClass[] = L"VardokDesk";
constexpr UINT kTakeEvents = WM_APP + 1;
constexpr UINT kTrayMessage = WM_APP + 2;
constexpr UINT kCloseSettings = WM_APP + 3;
constexpr UINT_PTR kAgeTimer = 1;

// The events the desk host keeps, and how much of each event's texts.
constexpr size_t kEventHistory = 1000;
constexpr size_t kEventTextBytes = 1024;
// How long closing waits for the plug-in to let its DLL go.
constexpr DWORD kUnloadWaitMs = 5000;
// Notifications kept in the log pane.
constexpr int kNotificationRows = 500;

enum Command : int {
  kAdd = 100,
  kEdit,
  kProperties,
  kRemove,
  kToggle,
  kExit,
  kPluginItem = 1000,  // + the index of the plug-in's menu item
};

enum ListColumn : int { kName, kStatusText, kInterval, kLastResult, kDescription };

// "12 s ago", "5 min ago", "-" before the first result.
std::wstring ageText(size_t results, DWORD lastResult) {
  if (results == 0) return L"-";
  const DWORD seconds = (GetTickCount() - lastResult) / 1000;
  if (seconds < 120) return std::to_wstring(seconds) + L" s ago";
  if (seconds < 7200) return std::to_wstring(seconds / 60) + L" min ago";
  return std::to_wstring(seconds / 3600) + L" h ago";
}

void setItemText(HWND list, int item, int column, const std::wstring& text) {
  LVITEMW lv{};
  lv.iSubItem = column;
  lv.pszText = const_cast<wchar_t*>(text.c_str());
  SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&lv));
}

}  // namespace

DeskHost::DeskHost(const DeskOptions& options) : _options(options) {}

DeskHost::~DeskHost() {
  if (_trayIcon) {
    NOTIFYICONDATAW tray{};
    tray.cbSize = sizeof tray;
    tray.hWnd = _window;
    tray.uID = 1;
    Shell_NotifyIconW(NIM_DELETE, &tray);
  }
  if (_window) DestroyWindow(_window);
  if (_smallImages) ImageList_Destroy(_smallImages);
  if (_largeImages) ImageList_Destroy(_largeImages);
  if (_accelerators) DestroyAcceleratorTable(_accelerators);
  if (_font) DeleteObject(_font);
}

HMODULE DeskHost::pluginModule() const { return _plugin ? _plugin->module() : nullptr; }

// --- start and end ---

bool DeskHost::loadContacts(std::string* error) {
  _lock = ContactsLock::take(_options.contactsPath.empty() ? defaultContactsPath() : _options.contactsPath, error);
  if (!_lock) return false;
  bool demo = false;
  if (!loadContactList(_options.contactsPath, &_filePath, &_file, &demo, error)) return false;
  _fileChanged = demo;  // the demo list becomes the user's own file at once
  _builtInList = demo;
  return true;
}

bool DeskHost::save() {
  if (!_fileChanged) return true;
  std::vector<ContactEntry> current;
  for (const Check& check : _checks) current.push_back(check.entry);
  std::string error;
  if (!replaceTextFile(_filePath, renderContacts(_file, current), &error)) {
    MessageBoxW(_window, wideFromUtf8(error).c_str(), L"Vardok", MB_OK | MB_ICONERROR);
    return false;
  }
  _fileChanged = false;
  return true;
}

bool DeskHost::start(std::string* error) {
  if (!loadContacts(error)) {
    // A host that did not start saves nothing: the list is free again
    // while its error is shown.
    _lock.reset();
    return false;
  }
  _plugin = PluginModule::load(programFolder() + "Vardok.dll", error);
  if (!_plugin) {
    _lock.reset();
    return false;
  }
  if (_options.serveDemo || _options.contactsPath.empty()) _demo = startDemoSite([](const std::string&) {});
  if (_builtInList) fitDemoList({_demo.plain != nullptr, _demo.secure != nullptr, true, _filePath}, &_file.contacts);
  if (!createMainWindow()) {
    *error = "cannot create the main window (is there a display?)";
    _lock.reset();
    return false;
  }
  _host.setEventLimits(kEventHistory, kEventTextBytes);
  _host.setObserver([this](const HostEvent& event) { onEvent(event); });
  std::vector<CheckContact> contacts;
  for (const ContactEntry& entry : _file.contacts) contacts.push_back(checkContactOf(entry));
  _host.startChecks(_plugin.get(), contacts, [this](const std::vector<int>& rows) {
    for (size_t i = 0; i < rows.size(); ++i) {
      Check check;
      check.entry = _file.contacts[i];
      check.row = rows[i];
      _checks.push_back(check);
    }
  });
  _enabledColumn = _host.columnId(kCheckColumns[kEnabledColumn].name);
  // The rows, once the plug-in has registered its icons.
  takeEvents();
  for (size_t i = 0; i < _checks.size(); ++i) {
    LVITEMW item{};
    item.mask = LVIF_TEXT | LVIF_PARAM | LVIF_IMAGE;
    item.iItem = static_cast<int>(i);
    const std::wstring name = wideFromUtf8(_checks[i].entry.name);
    item.pszText = const_cast<wchar_t*>(name.c_str());
    item.lParam = _checks[i].row;
    item.iImage = I_IMAGENONE;
    SendMessageW(_list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    refreshRow(i);
  }
  refreshWorstState();
  // The built-in list becomes the user's own file at once.
  if (_fileChanged && _options.contactsPath.empty()) save();
  ShowWindow(_window, SW_SHOWNORMAL);
  UpdateWindow(_window);
  return true;
}

bool DeskHost::translateShortcut(MSG* message) {
  // The main window's shortcuts (Delete, F2, Ctrl+E, Ctrl+N) are its own:
  // typed in a Properties window or a dialog, they are that window's keys.
  if (!_accelerators || !_window || (message->hwnd != _window && !IsChild(_window, message->hwnd))) return false;
  return TranslateAcceleratorW(_window, _accelerators, message) != 0;
}

bool DeskHost::pumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(message.wParam));
        return done();
      }
      if (translateShortcut(&message)) continue;
      if (isDialogMessageOfDesk(&message)) continue;
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (done()) return true;
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) return false;
    // Alertable: the plug-in's timers and finished runs come as APCs.
    MsgWaitForMultipleObjectsEx(0, nullptr, std::min<DWORD>(timeoutMs - elapsed, 100), QS_ALLINPUT,
                                MWMO_ALERTABLE | MWMO_INPUTAVAILABLE);
  }
}

int DeskHost::runUntilClosed() {
  bool closed = false;
  while (!closed) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        closed = true;
        break;
      }
      if (translateShortcut(&message)) continue;
      if (isDialogMessageOfDesk(&message)) continue;
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (!closed) MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_ALERTABLE | MWMO_INPUTAVAILABLE);
  }
  // Detach ends every run with its process tree; the plug-in's threads then
  // let the DLL go. Wait for that, alertably, as the plug-in needs.
  _settings.clear();
  _popups.reset();
  _host.post(HM_DETACH_CORE);
  _plugin->unload();
  _host.pumpUntil([] { return GetModuleHandleA("Vardok.dll") == nullptr; }, kUnloadWaitMs);
  _demo = DemoSite();
  return save() ? 0 : 1;
}

// --- the main window ---

bool DeskHost::createMainWindow() {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  registerWindowClass(kWindowClass, windowProc, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  registerDeskWindowClasses();
  _font = createUiFont(false);

  HMENU contacts = CreatePopupMenu();
  AppendMenuW(contacts, MF_STRING, kAdd, L"&Add...\tCtrl+N");
  AppendMenuW(contacts, MF_STRING, kEdit, L"&Edit...\tF2");
  AppendMenuW(contacts, MF_STRING, kProperties, L"&Properties\tAlt+Enter");
  AppendMenuW(contacts, MF_STRING, kToggle, L"Enable/&Disable\tCtrl+E");
  AppendMenuW(contacts, MF_STRING, kRemove, L"&Remove\tDel");
  AppendMenuW(contacts, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(contacts, MF_STRING, kExit, L"E&xit");
  HMENU bar = CreateMenu();
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(contacts), L"&Contacts");
  ACCEL keys[] = {{FCONTROL | FVIRTKEY, 'N', kAdd},
                  {FVIRTKEY, VK_F2, kEdit},
                  {FALT | FVIRTKEY, VK_RETURN, kProperties},
                  {FCONTROL | FVIRTKEY, 'E', kToggle},
                  {FVIRTKEY, VK_DELETE, kRemove}};
  _accelerators = CreateAcceleratorTableW(keys, sizeof keys / sizeof keys[0]);

  _window = CreateWindowExW(0, kWindowClass, L"Vardok", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 20, 20, 900, 560,
                            nullptr, bar, GetModuleHandleW(nullptr), this);
  if (!_window) return false;
  _list = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                          WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS | LVS_SINGLESEL, 0, 0, 0,
                          0, _window, reinterpret_cast<HMENU>(1), GetModuleHandleW(nullptr), nullptr);
  SendMessageW(_list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
               LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP | LVS_EX_LABELTIP | LVS_EX_DOUBLEBUFFER);
  _smallImages = ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 4, 4);
  _largeImages = ImageList_Create(32, 32, ILC_COLOR32 | ILC_MASK, 4, 4);
  SendMessageW(_list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(_smallImages));
  SendMessageW(_list, LVM_SETIMAGELIST, LVSIL_NORMAL, reinterpret_cast<LPARAM>(_largeImages));
  addListColumns(_list, {{L"Name", 170}, {L"Status", 230}, {L"Interval", 70}, {L"Last result", 90}, {L"Description", 300}});
  _notificationsLabel = CreateWindowExW(0, L"STATIC", L"Notifications", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, _window,
                                        nullptr, GetModuleHandleW(nullptr), nullptr);
  _notifications = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_NOSORTHEADER,
                                   0, 0, 0, 0, _window, reinterpret_cast<HMENU>(2), GetModuleHandleW(nullptr), nullptr);
  SendMessageW(_notifications, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);
  addListColumns(_notifications, {{L"Time", 80}, {L"Contact", 170}, {L"Notification", 300}});
  for (HWND child : {_list, _notificationsLabel, _notifications})
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(_font), TRUE);
  _popups.reset(new Popups(*this));
  SetTimer(_window, kAgeTimer, 1000, nullptr);
  layout();
  return true;
}

void DeskHost::layout() {
  RECT client;
  GetClientRect(_window, &client);
  const int width = client.right, height = client.bottom;
  const int logHeight = std::max(80, height * 28 / 100);
  const int listHeight = height - logHeight - 22;
  MoveWindow(_list, 0, 0, width, listHeight, TRUE);
  MoveWindow(_notificationsLabel, 6, listHeight + 4, width - 12, 16, TRUE);
  MoveWindow(_notifications, 0, listHeight + 22, width, logHeight, TRUE);
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
      if (_list) layout();
      return 0;
    case WM_COMMAND:
      onCommand(LOWORD(wParam));
      return 0;
    case WM_NOTIFY: {
      LRESULT result = 0;
      onNotify(reinterpret_cast<NMHDR*>(lParam), &result);
      return result;
    }
    case WM_CONTEXTMENU: {
      if (reinterpret_cast<HWND>(wParam) != _list) break;
      const int index = selectedIndex();
      if (index < 0) return 0;
      POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      if (at.x == -1 && at.y == -1) {  // from the keyboard: at the row
        RECT row{LVIR_BOUNDS, 0, 0, 0};
        SendMessageW(_list, LVM_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&row));
        at = {row.left + 20, row.bottom};
        ClientToScreen(_list, &at);
      }
      showContactMenu(static_cast<size_t>(index), at);
      return 0;
    }
    case kTakeEvents:
      takeEvents();
      return 0;
    case kCloseSettings:
      _settings.erase(static_cast<int>(wParam));
      return 0;
    case WM_TIMER:
      if (wParam == kAgeTimer) refreshAges();
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

int DeskHost::selectedIndex() const {
  return static_cast<int>(SendMessageW(_list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

int DeskHost::indexOfRow(int row) const {
  for (size_t i = 0; i < _checks.size(); ++i)
    if (_checks[i].row == row) return static_cast<int>(i);
  return -1;
}

void DeskHost::onCommand(int id) {
  const int index = selectedIndex();
  if (id >= kPluginItem) {
    // The plug-in's item in the contact menu: handed to it as the host does.
    const size_t which = static_cast<size_t>(id - kPluginItem);
    if (which >= _menuItemIds.size()) return;
    ActionEvent clicked{sizeof(ActionEvent), _menuItemIds[which], kContactMenuGroup, _menuRow, kEventActivated, {0, 0, 0}};
    _host.post(HM_ACTION, reinterpret_cast<int32_t>(&clicked));
    return;
  }
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
    case kRemove:
      if (index >= 0) removeContact(static_cast<size_t>(index));
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

void DeskHost::onNotify(NMHDR* header, LRESULT* result) {
  if (header->hwndFrom != _list) return;
  switch (header->code) {
    case NM_DBLCLK: {
      // Activating a contact is the plug-in's to answer (it runs the check).
      const int index = reinterpret_cast<NMITEMACTIVATE*>(header)->iItem;
      if (index >= 0 && static_cast<size_t>(index) < _checks.size())
        _host.post(HM_CONTACT_ACTIVATE, _checks[static_cast<size_t>(index)].row);
      return;
    }
    case LVN_GETINFOTIPW: {
      // The whole description, bounded, with its control characters shown
      // as spaces.
      auto* tip = reinterpret_cast<NMLVGETINFOTIPW*>(header);
      if (tip->iItem < 0 || static_cast<size_t>(tip->iItem) >= _checks.size() || tip->cchTextMax <= 1) return;
      std::wstring text = wideFromUtf8(fromHostText(
          _host.getText(_checks[static_cast<size_t>(tip->iItem)].row, kColumnDescription).value_or("")));
      text = boundedTipText(text, static_cast<size_t>(std::min(tip->cchTextMax - 1, 1024)));
      if (text.empty()) return;
      lstrcpynW(tip->pszText, text.c_str(), tip->cchTextMax);
      return;
    }
    default:
      *result = 0;
      return;
  }
}

// --- the host's own actions ---

HWND DeskHost::settingsWindowOf(size_t index) const {
  if (index >= _checks.size()) return nullptr;
  const auto open = _settings.find(_checks[index].row);
  return open == _settings.end() ? nullptr : open->second->window();
}

void DeskHost::openSettings(size_t index) {
  if (index >= _checks.size()) return;
  const int row = _checks[index].row;
  auto& window = _settings[row];
  if (window && window->window()) {
    SetForegroundWindow(window->window());
    return;
  }
  window.reset(new SettingsWindow(*this, row, _checks[index].entry.name));
  if (!window->window()) _settings.erase(row);
}

void DeskHost::closeSettings(int row) {
  // The window asked from its own message: it goes once that has returned.
  PostMessageW(_window, kCloseSettings, static_cast<WPARAM>(row), 0);
}

void DeskHost::removeContact(size_t index) {
  if (index >= _checks.size()) return;
  const int row = _checks[index].row;
  _settings.erase(row);
  _host.post(HM_CONTACT_REMOVING, row);
  _host.removeContact(row);
  _checks.erase(_checks.begin() + static_cast<std::ptrdiff_t>(index));
  SendMessageW(_list, LVM_DELETEITEM, index, 0);
  _fileChanged = true;
  save();
  refreshWorstState();
}

void DeskHost::toggleEnabled(size_t index) {
  if (index >= _checks.size()) return;
  Check& check = _checks[index];
  check.entry.enabled = check.entry.enabled ? 0 : 1;
  check.entry.changed = true;
  if (_enabledColumn) _host.setInt(check.row, _enabledColumn, check.entry.enabled);
  _host.postChanged(check.row, 0, check.entry.network);
  _fileChanged = true;
  save();
  refreshRow(index);
}

void DeskHost::applyEntry(int index, const ContactEntry& edited) {
  if (index < 0) {
    Check check;
    check.entry = edited;
    check.entry.line = -1;
    check.entry.changed = true;
    check.row = _host.addCheck(checkContactOf(check.entry), false);
    _checks.push_back(check);
    LVITEMW item{};
    item.mask = LVIF_TEXT | LVIF_PARAM | LVIF_IMAGE;
    item.iItem = static_cast<int>(_checks.size() - 1);
    const std::wstring name = wideFromUtf8(check.entry.name);
    item.pszText = const_cast<wchar_t*>(name.c_str());
    item.lParam = check.row;
    item.iImage = I_IMAGENONE;
    SendMessageW(_list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    _host.post(HM_CONTACT_NEW, check.row);
    _fileChanged = true;
    save();
    refreshRow(_checks.size() - 1);
    refreshWorstState();
    return;
  }
  Check& check = _checks[static_cast<size_t>(index)];
  const int previousNetwork = check.entry.network;
  const int line = check.entry.line;
  check.entry = edited;
  check.entry.line = line;
  check.entry.changed = true;
  if (edited.network != previousNetwork) _host.setInt(check.row, kColumnNetwork, edited.network);
  _host.writeCheck(check.row, checkContactOf(check.entry));
  _host.postChanged(check.row, edited.network != previousNetwork ? kChangeBitsRecreate : 0, previousNetwork);
  _fileChanged = true;
  save();
  setItemText(_list, index, kName, wideFromUtf8(check.entry.name));
  refreshRow(static_cast<size_t>(index));
  refreshWorstState();
}

void DeskHost::writeColumn(int row, int column, bool isText, const std::string& utf8, int number) {
  const int index = indexOfRow(row);
  if (index < 0) return;
  Check& check = _checks[static_cast<size_t>(index)];
  for (int i = 0; i < kCheckColumnCount; ++i) {
    if (_host.columnId(kCheckColumns[i].name) != column) continue;
    if (isText)
      entryText(check.entry, static_cast<CheckColumnIndex>(i)) = utf8;
    else
      entryNumber(check.entry, static_cast<CheckColumnIndex>(i)) = number;
  }
  if (isText)
    _host.setText(row, column, toHostText(utf8));
  else
    _host.setInt(row, column, number);
  check.entry.changed = true;
  _fileChanged = true;
}

void DeskHost::columnsWritten(int row) {
  const int index = indexOfRow(row);
  if (index < 0) return;
  _host.postChanged(row, 0, _checks[static_cast<size_t>(index)].entry.network);
  save();
  refreshRow(static_cast<size_t>(index));
}

void DeskHost::showContactMenu(size_t index, POINT at) {
  if (index >= _checks.size()) return;
  const Check& check = _checks[index];
  HMENU menu = CreatePopupMenu();
  AppendMenuW(menu, MF_STRING, kProperties, L"&Properties");
  AppendMenuW(menu, MF_STRING, kEdit, L"&Edit...");
  AppendMenuW(menu, MF_STRING, kToggle, check.entry.enabled ? L"&Disable" : L"&Enable");
  AppendMenuW(menu, MF_STRING, kRemove, L"&Remove");
  // The plug-in's items of the per-contact action group, each shown when
  // the plug-in says so, in the state it sets.
  bool separated = false;
  _menuRow = check.row;
  _menuItemIds.clear();
  for (const UiItemCopy& item : _host.uiItems()) {
    if (item.i32(6) != kContactMenuGroup || item.i32(34) != kKindMenuItem) continue;
    const int itemId = item.i32(2);
    ActionEvent shown{sizeof(ActionEvent), itemId, kContactMenuGroup, check.row, kEventQueryShown, {0, 0, 0}};
    if (!_host.post(HM_ACTION, reinterpret_cast<int32_t>(&shown))) continue;
    const int itemState = askItemState(itemId, kContactMenuGroup, check.row);
    if (!separated) AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    separated = true;
    const std::wstring text = wideFromUtf8(fromHostText(visibleItemText(item.text)));
    AppendMenuW(menu, MF_STRING | (itemState != 0 ? MF_GRAYED : 0), static_cast<UINT_PTR>(kPluginItem + _menuItemIds.size()),
                text.c_str());
    _menuItemIds.push_back(itemId);
  }
  SetForegroundWindow(_window);
  _shownMenu = menu;
  TrackPopupMenu(menu, TPM_RIGHTBUTTON, at.x, at.y, 0, _window, nullptr);
  _shownMenu = nullptr;
  DestroyMenu(menu);
}

int DeskHost::askItemState(int itemId, int parent, int row) {
  {
    std::lock_guard<std::mutex> guard(_statesLock);
    _uiStates.erase({itemId, row});
  }
  ActionEvent query{sizeof(ActionEvent), itemId, parent, row, kEventQueryState, {0, 0, 0}};
  _host.post(HM_ACTION, reinterpret_cast<int32_t>(&query));
  std::lock_guard<std::mutex> guard(_statesLock);
  const auto set = _uiStates.find({itemId, row});
  return set == _uiStates.end() ? 0 : set->second;
}

// --- what the plug-in reports ---

void DeskHost::onEvent(const HostEvent& event) {
  if (event.kind != HostEvent::Kind::Message) return;
  {
    std::lock_guard<std::mutex> guard(_pendingLock);
    switch (event.id) {
      case HM_CONTACT_REFRESH:
        _pending.refreshedRows.push_back(event.i32(22));
        break;
      case HM_NOTIFY_SHOW: {
        Pending::Popup popup;
        popup.text = event.text;
        popup.iconId = event.i32(32);
        popup.exitedWell = (event.u8(28) & kPopupOkFlag) != 0;
        popup.well = event.u8(29) != 0;
        _pending.popups.push_back(std::move(popup));
        break;
      }
      case HM_NOTIFY_RAISE:
        _pending.raised.push_back({event.time, event.i32(26), event.text});
        break;
      case HM_ICON_REGISTER:
        if (event.payload.size() >= sizeof(IconRecord))
          _pending.icons.push_back({event.payloadI32(4), reinterpret_cast<HMODULE>(event.payloadI32(20)),
                                    event.payloadI32(24)});
        break;
      case HM_UI_SET_STATE: {
        std::lock_guard<std::mutex> states(_statesLock);
        if (event.payload.size() >= 42) _uiStates[{event.payloadI32(2), event.payloadI32(10)}] = event.payloadI32(34);
        return;
      }
      case HM_LOG:
        if (event.text.compare(0, sizeof kLatenessLogPrefix - 1, kLatenessLogPrefix) == 0)
          _pending.lateness = event.text;
        else
          return;
        break;
      default:
        return;
    }
    if (_posted) return;
    _posted = true;
  }
  PostMessageW(_window, kTakeEvents, 0, 0);
}

void DeskHost::takeEvents() {
  Pending taken;
  {
    std::lock_guard<std::mutex> guard(_pendingLock);
    std::swap(taken, _pending);
    _posted = false;
  }
  for (const Pending::Icon& icon : taken.icons) _icons[icon.iconId] = icon;
  // Each row once, however many results came since.
  std::sort(taken.refreshedRows.begin(), taken.refreshedRows.end());
  taken.refreshedRows.erase(std::unique(taken.refreshedRows.begin(), taken.refreshedRows.end()),
                            taken.refreshedRows.end());
  const DWORD now = GetTickCount();
  for (int row : taken.refreshedRows) {
    const int index = indexOfRow(row);
    if (index < 0) continue;
    ++_checks[static_cast<size_t>(index)].results;
    _checks[static_cast<size_t>(index)].lastResult = now;
    refreshRow(static_cast<size_t>(index));
  }
  for (const Pending::Popup& popup : taken.popups)
    _popups->show(wideFromUtf8(fromHostText(popup.text)), popup.iconId, popup.well, popup.exitedWell);
  for (const Pending::Raised& raised : taken.raised) {
    const int index = indexOfRow(raised.row);
    SYSTEMTIME time;
    GetLocalTime(&time);
    wchar_t clock[16];
    wsprintfW(clock, L"%02u:%02u:%02u", time.wHour, time.wMinute, time.wSecond);
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = 0;
    item.pszText = clock;
    SendMessageW(_notifications, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    setItemText(_notifications, 0, 1,
                index < 0 ? L"(removed)" : wideFromUtf8(_checks[static_cast<size_t>(index)].entry.name));
    setItemText(_notifications, 0, 2, wideFromUtf8(fromHostText(raised.kind)));
    while (SendMessageW(_notifications, LVM_GETITEMCOUNT, 0, 0) > kNotificationRows)
      SendMessageW(_notifications, LVM_DELETEITEM, kNotificationRows, 0);
  }
  if (!taken.lateness.empty())
    SetWindowTextW(_notificationsLabel, (L"Notifications - " + wideFromUtf8(fromHostText(taken.lateness))).c_str());
  if (!taken.refreshedRows.empty()) refreshWorstState();
}

int DeskHost::stateOf(const Check& check) const {
  if (check.entry.network != kNetwork || check.results == 0) return -1;
  switch (_host.getInt(check.row, kColumnStatus)) {
    case kStatusOk: return 0;
    case kStatusProblem: return 1;
    default: return 2;
  }
}

int DeskHost::imageOf(int iconId) {
  const auto known = _imageOfIcon.find(iconId);
  if (known != _imageOfIcon.end()) return known->second;
  HICON small = iconOf(iconId, 16), large = iconOf(iconId, 32);
  if (!small || !large) return I_IMAGENONE;
  const int image = ImageList_AddIcon(_smallImages, small);
  ImageList_AddIcon(_largeImages, large);
  _imageOfIcon[iconId] = image;
  return image;
}

HICON DeskHost::iconOf(int iconId, int size) {
  const auto icon = _icons.find(iconId);
  if (icon == _icons.end() || !icon->second.module) return nullptr;
  // Shared: the system keeps one copy per module, resource and size.
  return static_cast<HICON>(LoadImageW(icon->second.module, MAKEINTRESOURCEW(icon->second.resourceId), IMAGE_ICON,
                                       size, size, LR_SHARED));
}

void DeskHost::refreshRow(size_t index) {
  const Check& check = _checks[index];
  const int state = stateOf(check);
  LVITEMW item{};
  item.mask = LVIF_IMAGE;
  item.iItem = static_cast<int>(index);
  // The icon the plug-in registered for the contact's status.
  item.iImage = state < 0 ? I_IMAGENONE
                          : imageOf(static_cast<int>(StatusIconId(static_cast<uint8_t>(_host.getInt(check.row, kColumnStatus)))));
  SendMessageW(_list, LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
  std::wstring status;
  if (check.entry.network != kNetwork)
    status = L"(not a check)";
  else if (check.results == 0)
    status = check.entry.enabled ? L"(waiting)" : L"(disabled)";
  else
    status = firstLineOf(wideFromUtf8(fromHostText(_host.statusText(check.row))), 200);
  setItemText(_list, static_cast<int>(index), kStatusText, status);
  setItemText(_list, static_cast<int>(index), kInterval, std::to_wstring(check.entry.interval) + L" s");
  setItemText(_list, static_cast<int>(index), kLastResult, ageText(check.results, check.lastResult));
  setItemText(_list, static_cast<int>(index), kDescription,
              firstLineOf(wideFromUtf8(fromHostText(_host.getText(check.row, kColumnDescription).value_or(""))), 300));
}

void DeskHost::refreshAges() {
  for (size_t i = 0; i < _checks.size(); ++i)
    if (_checks[i].results) setItemText(_list, static_cast<int>(i), kLastResult, ageText(_checks[i].results, _checks[i].lastResult));
}

void DeskHost::refreshWorstState() {
  int worst = -1, problems = 0, criticals = 0, checks = 0;
  for (const Check& check : _checks) {
    const int state = stateOf(check);
    if (check.entry.network == kNetwork) ++checks;
    worst = std::max(worst, state);
    problems += state == 1;
    criticals += state == 2;
  }
  std::wstring title = L"Vardok - " + std::to_wstring(checks) + (checks == 1 ? L" check" : L" checks");
  if (criticals) title += L", " + std::to_wstring(criticals) + L" critical";
  if (problems) title += L", " + std::to_wstring(problems) + L" with a problem";
  if (!criticals && !problems && worst == 0) title += L", all well";
  SetWindowTextW(_window, title.c_str());
  if (worst == _worst) {
    if (_trayIcon) {
      NOTIFYICONDATAW tray{};
      tray.cbSize = sizeof tray;
      tray.hWnd = _window;
      tray.uID = 1;
      tray.uFlags = NIF_TIP;
      lstrcpynW(tray.szTip, title.c_str(), 128);
      Shell_NotifyIconW(NIM_MODIFY, &tray);
    }
    return;
  }
  _worst = worst;
  const uint8_t statuses[] = {kStatusOk, kStatusProblem, kStatusCritical};
  const int iconId = worst < 0 ? kLogoIconId : static_cast<int>(StatusIconId(statuses[worst]));
  HICON small = iconOf(iconId, 16), large = iconOf(iconId, 32);
  if (small) SendMessageW(_window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
  if (large) SendMessageW(_window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(large));
  NOTIFYICONDATAW tray{};
  tray.cbSize = sizeof tray;
  tray.hWnd = _window;
  tray.uID = 1;
  tray.uFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE;
  tray.uCallbackMessage = kTrayMessage;
  tray.hIcon = small;
  lstrcpynW(tray.szTip, title.c_str(), 128);
  if (small) _trayIcon = Shell_NotifyIconW(_trayIcon ? NIM_MODIFY : NIM_ADD, &tray) || _trayIcon;
}

}  // namespace VardokHost
