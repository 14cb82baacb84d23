#include "host/desk/desk_host.h"

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>

#include "host/desk/contact_dialog.h"
#include "host/desk/desk_ui.h"
#include "host/desk/history_window.h"
#include "host/desk/popups.h"
#include "host/desk/settings_window.h"
#include "host/lib/display_text.h"
#include "host/lib/host_text.h"
#include "hostapi/messages.h"
#include "host/serve/demo_list.h"

namespace VardokHost {

using namespace Vardok;

namespace {

// What a list shows of the source of one line, at most (one byte a
// character in the host's texts).
constexpr size_t kLineSourceBytes = 1u << 20;

// Why a notification was raised for a contact, as its report left it: the
// line of its status text and, when the report wrote an output, that
// output's first line where it says more (an untagged output's status text
// is only the plug-in's word for a problem). UTF-8. Any thread.
std::string notificationReason(const ContactHost& host, int row, bool withOutput) {
  const std::string status = displayLine(fromHostText(host.statusText(row)));
  if (!withOutput) return status;
  const std::string output =
      displayLine(fromHostText(host.getText(row, kColumnDescription).value_or("").substr(0, kLineSourceBytes)));
  if (output.empty() || output == status) return status;
  return status.empty() ? output : status + " \xE2\x80\x94 " + output;  // an em dash
}

}  // namespace

DeskHost::DeskHost(const DeskOptions& options) : _options(options) {}

DeskHost::~DeskHost() {
  // The window first: its end takes the tray icon away and stops the inbox
  // posting to it, so that nothing queued for it runs while the plug-in is
  // let go. Then the plug-in, before the parts it reports to.
  if (_window) DestroyWindow(_window);
  _settings.clear();
  _histories.clear();
  _popups.reset();
  // The metrics page reads the session: it goes before the plug-in is let
  // go. The history's reader goes before the store it reads.
  _metrics.reset();
  _historyReader.reset();
  if (_session.running()) _session.detachAndWait();
}

// --- start and end ---

bool DeskHost::save() {
  std::string error;
  if (_session.save(&error)) return true;
  MessageBoxW(_window, wideFromUtf8(error).c_str(), L"Vardok", MB_OK | MB_ICONERROR);
  return false;
}

bool DeskHost::start(std::string* error) {
  // A host that did not start saves nothing: the list is free again while
  // its error is shown.
  if (!_session.openContacts(_options.contactsPath, true, error)) return false;
  if (!_session.loadPlugin(error)) {
    _session.releaseContacts();
    return false;
  }
  if (_options.serveDemo || _options.contactsPath.empty())
    serveDemo(_session, true, [](const std::string&) {});
  if (!createMainWindow()) {
    *error = "cannot create the main window (is there a display?)";
    _session.releaseContacts();
    return false;
  }
  _inbox.setReasonReader(
      [this](int row, bool withOutput) { return notificationReason(_host, row, withOutput); });
  _session.setEventSink([this](const PluginEvent& event) { onEvent(event); });
  // The history, kept from the first result on; what the store says of
  // itself comes on its writer thread and waits for the main window.
  if (_options.keepHistory) {
    _session.openHistory(_historyNotices.sink());
    _historyReader = std::make_unique<HistoryReader>(*_session.history());
  }
  _session.start();
  if (!_options.metrics.empty()) {
    std::string problem;
    _metrics = MetricsServer::start(_session, _options.metrics, &problem);
    if (_metrics)
      notice(L"Metrics", "served for Prometheus at " + _metrics->url());
    else
      notice(L"Metrics", "not served: " + problem);
  }
  // The rows, once the plug-in has registered its icons.
  takeEvents();
  for (size_t i = 0; i < _checks.size(); ++i) _list.insert(i);
  _tray.refresh();
  // The built-in list becomes the user's own file at once.
  if (_session.changed() && _options.contactsPath.empty()) save();
  ShowWindow(_window, SW_SHOWNORMAL);
  UpdateWindow(_window);
  return true;
}

bool DeskHost::translateShortcut(MSG* message) {
  // The main window's shortcuts (Delete, F2, Ctrl+E, Ctrl+N) act on the
  // selected contact: they are the list's and the window's own. Typed in a
  // Properties window, a dialog, the detail pane or the notifications, they
  // are that window's keys.
  if (!_accelerators || !_window || (message->hwnd != _window && message->hwnd != _list.window())) return false;
  return TranslateAcceleratorW(_window, _accelerators.get(), message) != 0;
}

bool DeskHost::dispatchWaiting(bool keepQuit) {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      if (keepQuit) PostQuitMessage(static_cast<int>(message.wParam));
      return false;
    }
    if (translateShortcut(&message)) continue;
    if (isDialogMessageOfDesk(&message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return true;
}

bool DeskHost::pumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (!dispatchWaiting(true)) return done();
    if (done()) return true;
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) return false;
    // Alertable: the plug-in's timers and finished runs come as APCs.
    MsgWaitForMultipleObjectsEx(0, nullptr, std::min<DWORD>(timeoutMs - elapsed, 100), QS_ALLINPUT,
                                MWMO_ALERTABLE | MWMO_INPUTAVAILABLE);
  }
}

int DeskHost::runUntilClosed() {
  while (dispatchWaiting(false))
    MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_ALERTABLE | MWMO_INPUTAVAILABLE);
  _settings.clear();
  _histories.clear();
  _popups.reset();
  _metrics.reset();
  _historyReader.reset();
  if (!_session.detachAndWait())
    std::fprintf(stderr, "vardok-desk: Vardok did not let its DLL go within 5 s; what it still holds is left to the end of this process\n");
  return save() ? 0 : 1;
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

HWND DeskHost::historyWindowOf(size_t index) const {
  if (index >= _checks.size()) return nullptr;
  const auto open = _histories.find(_checks[index].row);
  return open == _histories.end() ? nullptr : open->second->window();
}

std::string DeskHost::historyKeyOfRow(int row) const {
  const int index = _session.indexOfRow(row);
  return index < 0 ? std::string() : _session.historyKeyOf(static_cast<size_t>(index));
}

void DeskHost::openHistory(size_t index) {
  if (index >= _checks.size()) return;
  if (!_historyReader) {
    askAlertably(_window, L"No history is kept: the desk host was started with --no-history.",
                 MB_OK | MB_ICONINFORMATION);
    return;
  }
  const int row = _checks[index].row;
  auto& window = _histories[row];
  if (window && window->window()) {
    SetForegroundWindow(window->window());
    return;
  }
  window.reset(new HistoryWindow(*this, *_historyReader, row, _checks[index].entry.name));
  if (!window->window()) _histories.erase(row);
}

void DeskHost::removeContact(size_t index) {
  if (index >= _checks.size()) return;
  const int row = _checks[index].row;
  _settings.erase(row);
  _histories.erase(row);
  _session.remove(index);
  _inbox.forget(row);
  _list.remove(index);
  save();
  _tray.refresh();
  showDetail();
}

bool DeskHost::removalConfirmed(size_t index) {
  if (index >= _checks.size()) return false;
  const Check& check = _checks[index];
  const std::wstring what = check.entry.network == kNetwork ? L"check" : L"contact";
  const std::wstring question = L"Remove the " + what + L" \"" + wideFromUtf8(check.entry.name) + L"\"?\n\nIts " +
                                L"settings and its last result go, and the list is saved without it.";
  return askAlertably(_window, question, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

void DeskHost::showDetail() {
  const int index = _list.selected();
  if (index < 0 || static_cast<size_t>(index) >= _checks.size()) return _detail.show(0, std::string());
  const int row = _checks[static_cast<size_t>(index)].row;
  _detail.show(row, _host.getText(row, kColumnDescription).value_or(""));
}

void DeskHost::toggleEnabled(size_t index) {
  if (index >= _checks.size()) return;
  _session.setColumn(index, kEnabledColumn, std::string(), _checks[index].entry.enabled ? 0 : 1);
  _session.tellChanged(index);
  save();
  _list.refresh(index);
}

void DeskHost::applyEntry(int index, const ContactEntry& edited) {
  if (index < 0) {
    const std::string problem = _session.add(edited);
    if (!problem.empty()) {
      MessageBoxW(_window, wideFromUtf8(problem).c_str(), L"Vardok", MB_OK | MB_ICONERROR);
      return;
    }
    save();
    _list.insert(_checks.size() - 1);
  } else {
    _session.replace(static_cast<size_t>(index), edited);
    save();
    _list.refresh(static_cast<size_t>(index));
  }
  _tray.refresh();
}

void DeskHost::writeColumn(int row, int column, bool isText, const std::string& utf8, int number) {
  const int index = _session.indexOfRow(row);
  if (index < 0) return;
  for (int i = 0; i < kCheckColumnCount; ++i)
    if (_session.columnOf(static_cast<CheckColumnIndex>(i)) == column)
      return _session.setColumn(static_cast<size_t>(index), static_cast<CheckColumnIndex>(i), utf8, number);
  // A column of the page that is none of the check's.
  if (isText)
    _host.setText(row, column, toHostText(utf8));
  else
    _host.setInt(row, column, number);
}

void DeskHost::columnsWritten(int row) {
  const int index = _session.indexOfRow(row);
  if (index < 0) return;
  _session.tellChanged(static_cast<size_t>(index));
  save();
  _list.refresh(static_cast<size_t>(index));
}

void DeskHost::showContactMenu(size_t index, POINT at) {
  if (index < _checks.size()) _menu.show(_window, _checks[index], at, _historyReader != nullptr);
}

// --- what the plug-in reports ---

void DeskHost::onEvent(const PluginEvent& event) {
  if (const auto* state = std::get_if<ItemStateSet>(&event.what))
    _menu.onItemState(*state);
  else
    _inbox.put(event);
}

void DeskHost::takeEvents() {
  DeskEvents taken = _inbox.take();
  for (const IconRegistered& icon : taken.icons) _icons.add(icon);
  for (int row : taken.refreshedRows) {
    const int index = _session.indexOfRow(row);
    if (index >= 0) _list.refresh(static_cast<size_t>(index));
    const auto history = _histories.find(row);
    if (history != _histories.end()) history->second->contactReported();
  }
  for (const PopupShown& popup : taken.popups)
    if (_popups) _popups->show(wideFromUtf8(fromHostText(popup.text)), popup.iconId, popup.well, popup.exitedWell);
  for (const DeskEvents::Raised& raised : taken.raised) {
    const int index = _session.indexOfRow(raised.row);
    // The kind in the words the plug-in defined for it.
    _notifications.add(index < 0 ? L"(removed)" : wideFromUtf8(_checks[static_cast<size_t>(index)].entry.name),
                       wideFromUtf8(fromHostText(_host.notificationWords(raised.kind))), raised.kind,
                       wideFromUtf8(raised.reason));
  }
  if (std::binary_search(taken.refreshedRows.begin(), taken.refreshedRows.end(), _detail.row())) showDetail();
  if (!taken.lateness.empty()) _notifications.setLateness(wideFromUtf8(fromHostText(taken.lateness)));
  if (!taken.refreshedRows.empty()) _tray.refresh();
}

void DeskHost::takeNotices() {
  for (const std::string& text : _historyNotices.take()) notice(L"History", text);
}

void DeskHost::notice(const std::wstring& about, const std::string& text) {
  std::fprintf(stderr, "vardok-desk: %s: %s\n", utf8FromWide(about).c_str(), text.c_str());
  _notifications.addNotice(about, wideFromUtf8(text));
}

}  // namespace VardokHost
