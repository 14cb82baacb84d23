// The worst state of the checks, where a user sees it without the list:
// the main window's title ("Vardok - 3 checks, 1 critical"), its icons and
// an icon in the notification area with the same words as its tip. Main
// thread.
#pragma once

#include <string>

#include <windows.h>

#include "host/desk/plugin_icons.h"
#include "host/lib/host_session.h"

namespace VardokHost {

class TrayStatus {
 public:
  TrayStatus(const HostSession& session, const PluginIcons& icons) : _session(session), _icons(icons) {}
  ~TrayStatus();
  TrayStatus(const TrayStatus&) = delete;
  TrayStatus& operator=(const TrayStatus&) = delete;

  // The window whose title and icons show the state; clicks on the tray
  // icon come to it as callbackMessage.
  void attach(HWND window, UINT callbackMessage);
  // Counts the checks' states again and shows them.
  void refresh();
  // Takes the icon out of the notification area (while its window is
  // still there to name it).
  void removeIcon();

 private:
  void setTrayIcon(HICON icon, const std::wstring& tip);

  const HostSession& _session;
  const PluginIcons& _icons;
  HWND _window = nullptr;
  UINT _callbackMessage = 0;
  bool _trayIcon = false;
  int _worst = -2;  // shown: -1 nothing judged yet, then CheckState
};

}  // namespace VardokHost
