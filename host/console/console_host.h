// The console host: vardok-host.exe, the stand-in for the closed host
// application and the program a user starts.
//
// It loads Vardok.dll from its own folder, gives it a contact list read
// from a text file, speaks to it as the host interface fixes it from one
// main thread that waits alertably, and shows what the checks report.
//
// A view over a HostSession, which holds the list, the plug-in and the
// checks.
//
// Threads: everything runs on the main thread except onEvent and what it
// calls (reportLine, stateText), which run on whichever thread the plug-in
// called the host from, mostly its worker threads; they read the checks
// through the session's any-thread readers, and the plug-in's word that
// checks run late under _latenessLock.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>

#include "host/console/console_output.h"
#include "host/console/rotating_log.h"
#include "host/console/message_boxes.h"
#include "host/console/options.h"
#include "host/lib/host_session.h"
#include "host/serve/metrics_page.h"
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
  using Check = HostSession::Check;

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
  void onEvent(const PluginEvent& event);
  void reportLine(int row);
  std::string stateText(int row, int* severity);

  // --- commands (commands.cpp; main thread) ---
  bool execute(const std::string& line);  // false: quit
  void printTable();
  void printHistory(size_t index, const std::string& window);
  void showPage(size_t index);
  void setField(size_t index, const std::string& field, const std::string& value);
  void addContact(const std::string& description);
  void removeContact(size_t index);
  void runFromPage(size_t index);
  void runFromMenu(size_t index);
  bool waitForResult(size_t index, DWORD timeoutMs);
  // The contact at a 1-based index, or null (said).
  const Check* checkAt(size_t index);

  // --- run modes (run_modes.cpp; main thread) ---
  int runOnce();
  int runInteractive();
  int runScript();

  ConsoleOptions _options;
  ConsoleOutput _out;
  ConsoleMessageBoxes _boxes{_out};
  // The list (its lock taken unless --once, which never saves), the
  // plug-in and the checks.
  HostSession _session;
  ContactHost& _host = _session.host();
  const std::vector<Check>& _checks = _session.checks();
  // The plug-in's last word that checks run late, and when (GetTickCount).
  std::mutex _latenessLock;
  std::string _lateness;
  unsigned long _latenessAt = 0;
  RotatingLog _log;
  // Serves /metrics while the session runs; goes before it.
  std::unique_ptr<MetricsServer> _metrics;
  // Every process started from this host is in this job (a run's own job
  // nests in it), so on quit the host can name what checks left running.
  Quorlin::JobHandle _everything;
};

}  // namespace VardokHost
