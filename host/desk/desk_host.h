// The desk host: vardok-desk.exe, a Windows desktop stand-in for the
// closed host application, showing Vardok as its users see it.
//
// It loads Vardok.dll from its own folder and gives it the contact list of
// the console host's file (%APPDATA%\Vardok\contacts.txt, or --contacts),
// with the same rules: the demo list only where no file exists, never
// saving over a file it could not read, byte order mark and line endings
// kept. Its windows:
//  - the main window: a list of the contacts with the icons the plug-in
//    registered for their states, their status texts, their last results
//    as a sparkline, their uptime over 24 hours, intervals, the time since
//    their last result and their descriptions, as plain lines;
//    below it the selected contact's whole output, and below that the
//    notifications the plug-in raised, in the plug-in's words with their
//    reasons; its title, icon and notification area icon show the worst
//    state;
//  - a contact's settings window, built from the interface items the
//    plug-in sent (settings_window.cpp);
//  - pop-ups for the plug-in's HM_NOTIFY_SHOW (popups.cpp);
//  - the contact dialog for adding and editing (contact_dialog.cpp);
//  - a contact's History window: its run times charted over an hour to 30
//    days, its uptime, how long its state has lasted and its changes of
//    state (history_window.cpp).
//
// A view over a HostSession, which holds the list, the plug-in, the checks
// and their history (history.db beside the list, unless told not to keep
// one). With --metrics it serves the checks as Prometheus metrics.
//
// Its parts: the contact list view (contact_list_view.h), the contact menu
// (contact_menu.h), the notifications pane (notification_pane.h), the
// title and tray icon (tray_status.h), the inbox that carries the
// plug-in's events to the main thread (event_inbox.h), the history's
// notices on their way to the notifications (history_notices.h) and the
// reader of the history file for the History windows (history_reader.h).
//
// Threads: everything runs on the main thread, which waits alertably, as
// the plug-in needs, except onEvent, which runs on whichever thread the
// plug-in called the host from, and the history's notices, said on its
// writer thread. Both only queue what happened and post one message to
// the main window. The History windows' reads run on the reader's thread
// and come back as messages.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include <windows.h>

#include "host/desk/contact_list_view.h"
#include "host/desk/contact_menu.h"
#include "host/desk/detail_pane.h"
#include "host/desk/event_inbox.h"
#include "host/desk/history_notices.h"
#include "host/desk/history_reader.h"
#include "host/desk/notification_pane.h"
#include "host/desk/plugin_icons.h"
#include "host/desk/tray_status.h"
#include "host/desk/ui_handles.h"
#include "host/lib/host_session.h"
#include "host/serve/metrics_page.h"

namespace VardokHost {

struct DeskOptions {
  std::string contactsPath;  // empty: the user's default file (or the demo list)
  bool serveDemo = false;    // serve the demo site whatever list is shown
  bool keepHistory = true;   // history.db beside the list; --no-history: none
  std::string metrics;       // "[ADDR:]PORT" to serve /metrics at, or empty
};

class HistoryWindow;
class SettingsWindow;
class Popups;

class DeskHost {
 public:
  explicit DeskHost(const DeskOptions& options);
  ~DeskHost();
  DeskHost(const DeskHost&) = delete;
  DeskHost& operator=(const DeskHost&) = delete;

  // Reads the contacts, loads the plug-in, starts it and shows the main
  // window. False with the reason in *error.
  bool start(std::string* error);
  // Pumps until the main window is closed, then stops the metrics page,
  // detaches the plug-in and waits (at most 5 s) until its DLL is gone.
  // The exit code.
  int runUntilClosed();
  // Pumps messages and the plug-in's calls until done() holds; false when
  // timeoutMs passed first.
  bool pumpUntil(const std::function<bool()>& done, DWORD timeoutMs);

  // --- for the windows of this host and for tests (main thread) ---
  using Check = HostSession::Check;
  HWND mainWindow() const { return _window; }
  HWND listView() const { return _list.window(); }
  const ContactListView& contactList() const { return _list; }
  HWND notificationList() const { return _notifications.list(); }
  HWND notificationTip() const { return _notifications.tip(); }
  HWND detailPane() const { return _detail.window(); }
  // The settings window open for the contact at index, or null.
  HWND settingsWindowOf(size_t index) const;
  // The History window open for the contact at index, or null.
  HWND historyWindowOf(size_t index) const;
  // The history the host keeps, or null (--no-history).
  HistoryStore* history() const { return _session.history(); }
  // The history key of the contact with the host's row id, or empty when
  // there is none.
  std::string historyKeyOfRow(int row) const;
  // The metrics page served, or null.
  const MetricsServer* metrics() const { return _metrics.get(); }
  const std::vector<Check>& checks() const { return _checks; }
  ContactHost& host() { return _host; }
  HMODULE pluginModule() const { return _session.pluginModule(); }

  // The host's own actions on the contact at index (0-based).
  void openSettings(size_t index);
  // Closes the contact's settings window (from the window itself, later).
  void closeSettings(int row);
  // Opens the contact's History window, or brings it forward; where no
  // history is kept, says so.
  void openHistory(size_t index);
  // Closes the contact's History window (from the window itself, later).
  void closeHistory(int row);
  // Removes the contact at once and saves: the direct action (the
  // commands ask first, see onCommand).
  void removeContact(size_t index);
  void toggleEnabled(size_t index);
  void showContactMenu(size_t index, POINT at);
  // The contact menu while it is up (any thread may ask), else null.
  HMENU shownMenu() const { return _menu.shown(); }
  // Takes an edited entry (a new one when index is -1), tells the plug-in
  // as the console host does, and saves the file.
  void applyEntry(int index, const ContactEntry& entry);
  // Writes one of the plug-in's columns from a settings window.
  void writeColumn(int row, int column, bool isText, const std::string& utf8, int number);
  void columnsWritten(int row);

  // The state the plug-in gives one of its items for a contact (see
  // ContactMenu::askItemState).
  int askItemState(int itemId, int parent, int row) { return _menu.askItemState(itemId, parent, row); }
  // The image of an icon id the plug-in registered, at 16 or 32 pixels.
  HICON iconOf(int iconId, int size) const { return _icons.iconOf(iconId, size); }

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT onMessage(UINT message, WPARAM wParam, LPARAM lParam);
  bool createMainWindow();
  void layout();
  // The smallest window that still shows the list above the panes.
  void minimumSize(MINMAXINFO* limits) const;
  // The question the Remove command asks first; true for Yes.
  bool removalConfirmed(size_t index);
  // The detail pane shows the selected contact's output.
  void showDetail();
  void onCommand(int id);
  // The main window's accelerators, for messages of that window and its
  // children only; true when the message was one.
  bool translateShortcut(MSG* message);
  // Dispatches what is queued for this thread; false on WM_QUIT (which it
  // posts again for pumpUntil's caller when asked).
  bool dispatchWaiting(bool keepQuit);
  bool save();

  void onEvent(const PluginEvent& event);  // any thread
  void takeEvents();                      // main thread
  // Shows the history's notices in the notifications pane, each once.
  void takeNotices();
  // A notice of the host's own in the notifications pane, and on standard
  // error for a host started from a console or a script.
  void notice(const std::wstring& about, const std::string& text);

  DeskOptions _options;
  // The list (its lock held while the host runs), the plug-in and the checks.
  HostSession _session;
  ContactHost& _host = _session.host();
  const std::vector<Check>& _checks = _session.checks();

  PluginIcons _icons;
  ContactListView _list{_session, _icons};
  NotificationPane _notifications;
  DetailPane _detail;
  ContactMenu _menu{_host};
  TrayStatus _tray{_session, _icons};
  EventInbox _inbox;
  HistoryNotices _historyNotices;
  FontHandle _font;
  AcceleratorHandle _accelerators;
  HWND _window = nullptr;
  std::map<int, std::unique_ptr<SettingsWindow>> _settings;  // by row id
  std::unique_ptr<Popups> _popups;
  // Reads the history file for the History windows; goes before the
  // session's store (it is declared after the session), after the windows.
  std::unique_ptr<HistoryReader> _historyReader;
  std::map<int, std::unique_ptr<HistoryWindow>> _histories;  // by row id
  // Serves /metrics while the session runs; reset before it detaches.
  std::unique_ptr<MetricsServer> _metrics;
};

}  // namespace VardokHost
