// The console host: vardok-host.exe, the stand-in for the closed host
// application and the program a user starts.
//
// It loads Vardok.dll from its own folder, gives it a contact list read
// from a text file, speaks to it as the host interface fixes it from one
// main thread that waits alertably, and shows what the checks report.
//
// Threads: everything runs on the main thread except onEvent and what it
// calls (reportLine, stateText, resultsOf), which run on whichever thread
// the plug-in called the host from, mostly its worker threads. Those read
// and write the checks' results (_checks' results and lastResult) only
// under _checksLock, and so does every main-thread read of them; the
// check list itself (adding, removing) changes only on the main thread,
// under the same lock.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>

#include "host/console/console_output.h"
#include "host/lib/contacts_file.h"
#include "host/console/rotating_log.h"
#include "host/console/message_boxes.h"
#include "host/console/options.h"
#include "host/lib/contact_host.h"
#include "host/lib/contacts_lock.h"
#include "host/lib/demo_site.h"
#include "support/threads/unique_handle.h"

namespace VardokHost {

class ConsoleHost {
 public:
  explicit ConsoleHost(const ConsoleOptions& options);
  ~ConsoleHost();

  // Runs until quit (or, with --once, until every enabled check reported).
  // Answers the process's exit code.
  int run();

 private:
  struct Check {
    int row = 0;  // the host's row id
    ContactEntry entry;
    size_t results = 0;
    DWORD lastResult = 0;
  };

  // --- start and end (console_host.cpp) ---
  bool loadContacts(std::string* error);
  bool loadPlugin(std::string* error);
  void startDemoServer();
  void quit();
  // Ctrl-C, Ctrl-Break or a closing console: the host stops what it waits
  // for, quits and saves, as on "quit".
  static bool interrupted();
  static HANDLE interruption();  // signalled when interrupted
  // The host has quit and saved (a closing console may end it now).
  static int finish(int exitCode);
  // Names the processes that checks started and that still run.
  void listLeftovers();
  bool save();

  // --- what the plug-in reports (any thread) ---
  void onEvent(const HostEvent& event);
  void reportLine(int row);
  std::string stateText(int row, int* severity);
  size_t resultsOf(int row);
  std::string nameOf(int row);

  // --- commands (commands.cpp; main thread) ---
  bool execute(const std::string& line);  // false: quit
  void printTable();
  void showPage(size_t index);
  void setField(size_t index, const std::string& field, const std::string& value);
  void addContact(const std::string& description);
  void removeContact(size_t index);
  void runFromPage(size_t index);
  void runFromMenu(size_t index);
  bool waitForResult(size_t index, DWORD timeoutMs);
  Check* checkAt(size_t index);

  // --- run modes (run_modes.cpp; main thread) ---
  int runOnce();
  int runInteractive();
  int runScript();

  ConsoleOptions _options;
  // Held from before the list is read until after it is saved (--once,
  // which never saves, takes none): the last member to go.
  std::unique_ptr<ContactsLock> _lock;
  ConsoleOutput _out;
  ConsoleMessageBoxes _boxes{_out};
  ContactHost _host;
  std::unique_ptr<PluginModule> _plugin;
  DemoSite _demo;
  ContactsFile _file;
  std::string _filePath;
  bool _fileChanged = false;
  bool _builtInList = false;  // the demo list, the user having none
  std::vector<Check> _checks;
  mutable std::mutex _checksLock;
  // The plug-in's last word that checks run late, and when (GetTickCount).
  std::string _lateness;
  unsigned long _latenessAt = 0;
  RotatingLog _log;
  // Every process started from this host is in this job (a run's own job
  // nests in it), so on quit the host can name what checks left running.
  Quorlin::JobHandle _everything;
  int _intervalColumn = 0, _enabledColumn = 0;  // the plug-in's columns, once registered
};

}  // namespace VardokHost
