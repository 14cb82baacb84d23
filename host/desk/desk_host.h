// The desk host: vardok-desk.exe, a Windows desktop stand-in for the
// closed host application, showing Vardok as its users see it.
//
// It loads Vardok.dll from its own folder and gives it the contact list of
// the console host's file (%APPDATA%\Vardok\contacts.txt, or --contacts),
// with the same rules: the demo list only where no file exists, never
// saving over a file it could not read, byte order mark and line endings
// kept. Its windows:
//  - the main window: a list of the contacts with the icons the plug-in
//    registered for their states, their status texts, intervals, the time
//    since their last result and their descriptions, and below it the
//    notifications the plug-in raised; its title, icon and notification
//    area icon show the worst state;
//  - a contact's settings window, built from the interface items the
//    plug-in sent (settings_window.cpp);
//  - pop-ups for the plug-in's HM_NOTIFY_SHOW (popups.cpp);
//  - the contact dialog for adding and editing (contact_dialog.cpp).
//
// Threads: everything runs on the main thread, which waits alertably, as
// the plug-in needs, except onEvent, which runs on whichever thread the
// plug-in called the host from. It only queues what happened (under
// _pendingLock) and posts one message to the main window.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>
#include <commctrl.h>

#include "host/lib/contact_host.h"
#include "host/lib/contacts_file.h"
#include "host/lib/contacts_lock.h"
#include "host/lib/demo_site.h"
#include "support/threads/unique_handle.h"

namespace VardokHost {

struct DeskOptions {
  std::string contactsPath;  // empty: the user's default file (or the demo list)
  bool serveDemo = false;    // serve the demo site whatever list is shown
};

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
  // Pumps until the main window is closed, then detaches the plug-in and
  // waits (at most 5 s) until its DLL is gone. The exit code.
  int runUntilClosed();
  // Pumps messages and the plug-in's calls until done() holds; false when
  // timeoutMs passed first.
  bool pumpUntil(const std::function<bool()>& done, DWORD timeoutMs);

  // --- for the windows of this host and for tests (main thread) ---
  struct Check {
    int row = 0;  // the host's row id
    ContactEntry entry;
    size_t results = 0;
    DWORD lastResult = 0;  // GetTickCount of the last result
  };
  HWND mainWindow() const { return _window; }
  HWND listView() const { return _list; }
  HWND notificationList() const { return _notifications; }
  // The settings window open for the contact at index, or null.
  HWND settingsWindowOf(size_t index) const;
  const std::vector<Check>& checks() const { return _checks; }
  ContactHost& host() { return _host; }
  HMODULE pluginModule() const;

  // The host's own actions on the contact at index (0-based).
  void openSettings(size_t index);
  // Closes the contact's settings window (from the window itself, later).
  void closeSettings(int row);
  void removeContact(size_t index);
  void toggleEnabled(size_t index);
  void showContactMenu(size_t index, POINT at);
  // The contact menu while it is up (any thread may ask), else null.
  HMENU shownMenu() const { return _shownMenu.load(); }
  // Takes an edited entry (a new one when index is -1), tells the plug-in
  // as the console host does, and saves the file.
  void applyEntry(int index, const ContactEntry& entry);
  // Writes one of the plug-in's columns from a settings window.
  void writeColumn(int row, int column, bool isText, const std::string& utf8, int number);
  void columnsWritten(int row);

  // The state the plug-in gives one of its items for a contact, asked as
  // the host asks (HM_ACTION code 10, answered with HM_UI_SET_STATE): 0
  // shown and usable, anything else hidden or greyed.
  int askItemState(int itemId, int parent, int row);

  // The image of an icon id the plug-in registered, at 16 or 32 pixels.
  HICON iconOf(int iconId, int size);

 private:
  friend class SettingsWindow;
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT onMessage(UINT message, WPARAM wParam, LPARAM lParam);
  bool createMainWindow();
  void layout();
  void onCommand(int id);
  void onNotify(NMHDR* header, LRESULT* result);

  bool loadContacts(std::string* error);
  bool save();
  int indexOfRow(int row) const;
  int selectedIndex() const;

  // --- what the plug-in reports ---
  // The main window's accelerators, for messages of that window and its
  // children only; true when the message was one.
  bool translateShortcut(MSG* message);
  void onEvent(const HostEvent& event);  // any thread
  void takeEvents();                      // main thread
  void refreshRow(size_t index);
  void refreshAges();
  void refreshWorstState();
  int stateOf(const Check& check) const;  // -1 waiting or not a check, 0 well, 1 problem, 2 critical
  int imageOf(int iconId);

  DeskOptions _options;
  // Held from before the list is read until after it is saved: the last
  // member to go.
  std::unique_ptr<ContactsLock> _lock;
  ContactHost _host;
  std::unique_ptr<PluginModule> _plugin;
  DemoSite _demo;
  ContactsFile _file;
  std::string _filePath;
  bool _fileChanged = false;
  bool _builtInList = false;  // the demo list, the user having none
  std::vector<Check> _checks;
  int _enabledColumn = 0;  // the plug-in's column, once registered

  HWND _window = nullptr, _list = nullptr, _notifications = nullptr, _notificationsLabel = nullptr;
  HFONT _font = nullptr;
  HIMAGELIST _smallImages = nullptr, _largeImages = nullptr;
  std::map<int, int> _imageOfIcon;  // icon id -> image list index
  HACCEL _accelerators = nullptr;
  bool _trayIcon = false;
  int _worst = -2;
  std::map<int, std::unique_ptr<SettingsWindow>> _settings;  // by row id
  std::unique_ptr<Popups> _popups;

  // Filled by onEvent on any thread, taken by the main thread.
  struct Pending {
    std::vector<int> refreshedRows;
    struct Popup {
      std::string text;  // Windows-1250
      int iconId = 0;
      bool well = false;
      bool exitedWell = false;
    };
    std::vector<Popup> popups;
    struct Raised {
      DWORD time = 0;
      int row = 0;
      std::string kind;
    };
    std::vector<Raised> raised;
    struct Icon {
      int iconId = 0;
      HMODULE module = nullptr;
      int resourceId = 0;
    };
    std::vector<Icon> icons;
    std::string lateness;
  };
  std::mutex _pendingLock;
  Pending _pending;
  bool _posted = false;  // a take-events message is on its way
  std::map<int, Pending::Icon> _icons;  // by icon id, main thread
  // The contact menu last shown: its contact and the plug-in's item ids.
  int _menuRow = 0;
  std::atomic<HMENU> _shownMenu{nullptr};
  std::vector<int> _menuItemIds;
  std::map<std::pair<int, int>, int> _uiStates;  // (item id, contact) -> state (HM_UI_SET_STATE)
  std::mutex _statesLock;
};

}  // namespace VardokHost
