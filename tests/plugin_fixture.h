// Fixtures that put the plug-in into a ContactHost: linked (the static
// library, so tests can reach inside) or loaded (the real Vardok.dll).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include <gtest/gtest.h>

#include "host/lib/contact_host.h"
#include "host/lib/host_session.h"
#include "host/testing/process_info.h"
#include "hostapi/messages.h"

namespace VardokTest {

using VardokHost::programFolder;
inline int threadCount() { return VardokHost::countThreads(); }

// "stem-PID.extension" in the Windows temporary folder, with no file of
// that name left from an earlier run: a name no other test program uses.
std::string uniqueTempFile(const std::string& stem, const std::string& extension = ".txt");
// The process ids a "tree" test child wrote: its own and its grandchild's.
std::vector<DWORD> treePids(const std::string& text);

// A whole file's bytes: written (replacing it; answers path), and read
// ("" when it cannot be read).
std::string writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);

// A program run to its end with its output captured: standard output in
// output, standard error in errors (or in output too, when merged).
struct ProgramRun {
  int exitCode = -1;
  std::string output;
  std::string errors;
  // From the start until the process ended. Reading its output may take
  // longer: under Wine its console helper holds the pipes for as long as
  // anything attached to its console lives.
  DWORD processMs = 0;
};
ProgramRun runProgram(const std::string& commandLine, bool mergeErrors = false, DWORD timeoutMs = 60000);

// After the host's FreeLibrary (for a test that takes the unload's steps
// itself): pumps until the DLL is really gone (its threads and queued
// calls have let it go); false after 10 s.
bool waitForUnload(VardokHost::ContactHost& host);
// How long a fixture's end waits for the plug-in to let go.
constexpr DWORD kLetGoMs = 10000;

// The fixtures are views over a HostSession: it holds the plug-in and the
// host, and ends the test with its unload sequence.
class LinkedPluginTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Sends HM_ATTACH_CORE only.
  void attachCore();

  VardokHost::HostSession session;
  VardokHost::ContactHost& host = session.host();
  VardokHost::PluginModule* plugin = nullptr;  // the session's
};

class LoadedPluginTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  VardokHost::HostSession session;
  VardokHost::ContactHost& host = session.host();
  VardokHost::PluginModule* plugin = nullptr;  // the session's
};

}  // namespace VardokTest

namespace VardokTest {

// What a message box would have shown.
struct ShownBox {
  std::string text;
  std::string caption;
  unsigned type;
  DWORD thread;
};

// Records message boxes instead of showing them, and answers at once.
class MessageBoxRecorder {
 public:
  // Hooks the loaded DLL's MessageBoxA import, or (module null) the
  // linked plug-in's message-box function.
  explicit MessageBoxRecorder(HMODULE module);
  ~MessageBoxRecorder();
  static std::vector<ShownBox> shown();
  static void clear();
  // While set, every box waits for this event before it answers (a person
  // who has not closed it yet); null answers at once again.
  static void holdUntil(HANDLE released);

 private:
  HMODULE _module;
  void* _previous = nullptr;
};

// A host with the plug-in started, plus helpers for checks.
class CheckTest : public ::testing::Test {
 public:
  // A text file in the Windows temporary folder; answers its path.
  static std::string writeTempFile(const std::string& name, const std::string& bytes);
  static std::string readTempFile(const std::string& path);
  // The command line of the test child program with arguments.
  static std::string child(const std::string& arguments);
  // Whether the process has ended (or never was) within timeoutMs.
  static bool processGone(DWORD processId, DWORD timeoutMs);

 protected:
  // loaded: the real DLL; otherwise the linked static library.
  explicit CheckTest(bool loaded) : _loaded(loaded) {}
  void SetUp() override;
  void TearDown() override;

  // Adds a contact of network 82 with the three columns and tells the
  // plug-in (HM_CONTACT_NEW).
  int addCheck(const std::string& command, int interval, int enabled);
  void setCommand(int contact, const std::string& command);
  // HM_CONTACT_REFRESH messages for the contact so far.
  size_t reports(int contact) const;
  // Pumps until the contact has at least count reports.
  bool waitForReports(int contact, size_t count, DWORD timeoutMs = 20000);
  bool waitForBoxes(size_t count, DWORD timeoutMs = 20000);
  // The events between the (n-1)th and nth report of the contact, the nth
  // report included (n from 1).
  std::vector<VardokHost::HostEvent> reportEvents(int contact, size_t n) const;
  // The page's check button (with the command field's text) and the
  // contact-menu item.
  void pressCheckButton(int contact);
  void runFromMenu(int contact);
  // Detaches and attaches the plug-in again, so the run queue opens with
  // its test settings (the linked plug-in only).
  void reopenQueue();

  VardokHost::HostSession session;
  VardokHost::ContactHost& host = session.host();
  VardokHost::PluginModule* plugin = nullptr;  // the session's
  std::unique_ptr<MessageBoxRecorder> boxes;
  int commandColumn = 0, intervalColumn = 0, enabledColumn = 0;

 private:
  bool _loaded;
};

}  // namespace VardokTest
