#include "host/desk/tray_status.h"

#include <shellapi.h>

#include <algorithm>

#include "hostapi/messages.h"
#include "hostapi/protocol.h"

namespace VardokHost {

using namespace Vardok;

namespace {

NOTIFYICONDATAW trayData(HWND window) {
  NOTIFYICONDATAW tray{};
  tray.cbSize = sizeof tray;
  tray.hWnd = window;
  tray.uID = 1;
  return tray;
}

}  // namespace

TrayStatus::~TrayStatus() { removeIcon(); }

void TrayStatus::removeIcon() {
  if (!_trayIcon) return;
  NOTIFYICONDATAW tray = trayData(_window);
  Shell_NotifyIconW(NIM_DELETE, &tray);
  _trayIcon = false;
}

void TrayStatus::attach(HWND window, UINT callbackMessage) {
  _window = window;
  _callbackMessage = callbackMessage;
}

void TrayStatus::refresh() {
  int worst = -1, problems = 0, criticals = 0, checks = 0;
  for (const HostSession::Check& check : _session.checks()) {
    const int state = static_cast<int>(_session.stateOf(check));
    if (check.entry.network == kNetwork) ++checks;
    worst = std::max(worst, state);
    problems += state == static_cast<int>(CheckState::Problem);
    criticals += state == static_cast<int>(CheckState::Critical);
  }
  std::wstring title = L"Vardok - " + std::to_wstring(checks) + (checks == 1 ? L" check" : L" checks");
  if (criticals) title += L", " + std::to_wstring(criticals) + L" critical";
  if (problems) title += L", " + std::to_wstring(problems) + L" with a problem";
  if (!criticals && !problems && worst == 0) title += L", all well";
  SetWindowTextW(_window, title.c_str());
  if (worst == _worst) {
    if (_trayIcon) setTrayIcon(nullptr, title);
    return;
  }
  _worst = worst;
  const uint8_t statuses[] = {kStatusOk, kStatusProblem, kStatusCritical};
  const int iconId = worst < 0 ? kLogoIconId : static_cast<int>(StatusIconId(statuses[worst]));
  HICON small = _icons.iconOf(iconId, 16), large = _icons.iconOf(iconId, 32);
  if (small) SendMessageW(_window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
  if (large) SendMessageW(_window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(large));
  if (small) setTrayIcon(small, title);
}

void TrayStatus::setTrayIcon(HICON icon, const std::wstring& tip) {
  // With no icon, only the tip changes.
  NOTIFYICONDATAW tray = trayData(_window);
  tray.uFlags = NIF_TIP;
  if (icon) {
    tray.uFlags |= NIF_ICON | NIF_MESSAGE;
    tray.uCallbackMessage = _callbackMessage;
    tray.hIcon = icon;
  }
  lstrcpynW(tray.szTip, tip.c_str(), static_cast<int>(sizeof tray.szTip / sizeof tray.szTip[0]));
  if (Shell_NotifyIconW(_trayIcon ? NIM_MODIFY : NIM_ADD, &tray)) _trayIcon = true;
}

}  // namespace VardokHost
