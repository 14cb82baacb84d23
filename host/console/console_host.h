// The console host: vardok-host.exe, the stand-in for the closed host
// application and the program a user starts.
//
// It loads Vardok.dll from its own folder, gives it a contact list read
// from a text file, speaks to it as the host interface fixes it from one
// main thread that waits alertably, and shows what the checks report.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>

#include "host/console/console_output.h"
#include "host/console/contacts_file.h"
#include "host/contact_host.h"
#include "host/http_server.h"

namespace VardokHost {

struct ConsoleOptions {
  std::string contactsPath;  // empty: the user's default file, or the embedded list
  std::string scriptPath;
  std::string logPath;
  bool once = false;
  bool verbose = false;
  bool serveDemo = false;
  int color = -1;            // -1 auto, 0 never, 1 always
  int onceTimeoutSeconds = 60;
};

// Parses the command line; false with a message for bad arguments.
bool parseOptions(int argc, char** argv, ConsoleOptions* options, std::string* error);

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

  bool loadContacts(std::string* error);
  bool loadPlugin(std::string* error);
  void startDemoServer();
  void onEvent(const HostEvent& event);
  void reportLine(int row);

  // Commands.
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
  size_t resultsOf(int row);

  int runOnce();
  int runInteractive();
  int runScript();
  void quit();
  bool save();

  std::string stateText(int row, int* severity);

  ConsoleOptions _options;
  ConsoleOutput _out;
  ContactHost _host;
  std::unique_ptr<PluginModule> _plugin;
  std::unique_ptr<LoopbackHttpServer> _demo;
  ContactsFile _file;
  std::string _filePath;
  bool _fileChanged = false;
  std::vector<Check> _checks;
  mutable std::mutex _checksLock;  // _checks' results and names, read from workers
  HANDLE _log = INVALID_HANDLE_VALUE;
  int _commandColumn = 0, _intervalColumn = 0, _enabledColumn = 0;
};

}  // namespace VardokHost
