#include "host/console/console_host.h"

#include <windows.h>
#include <tlhelp32.h>

#include <atomic>

#include "host/lib/certificates.h"
#include "host/lib/demo_list.h"
#include "host/lib/demo_site.h"
#include "hostapi/messages.h"
#include "protocol/result_protocol.h"
#include "hostapi/protocol.h"

namespace VardokHost {

using namespace Vardok;

namespace {

// The events the console host keeps, and how much of each event's texts.
constexpr size_t kEventHistory = 1000;
constexpr size_t kEventTextBytes = 1024;

// How long quitting waits for the plug-in to let its DLL go.
constexpr DWORD kUnloadWaitMs = 5000;

}  // namespace

namespace {

std::atomic<bool> g_interrupted{false};
Quorlin::EventHandle g_interruption{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
Quorlin::EventHandle g_finished{CreateEventA(nullptr, TRUE, FALSE, nullptr)};

// Runs on a thread the system makes for it.
BOOL WINAPI onConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  g_interrupted = true;
  SetEvent(g_interruption.get());
  // A closing console ends the process as this returns: first the save.
  if (type == CTRL_CLOSE_EVENT) WaitForSingleObject(g_finished.get(), 4000);
  return TRUE;
}

}  // namespace

bool ConsoleHost::interrupted() { return g_interrupted; }
HANDLE ConsoleHost::interruption() { return g_interruption.get(); }
int ConsoleHost::finish(int exitCode) {
  SetEvent(g_finished.get());
  return exitCode;
}

// --- start and end ---

ConsoleHost::ConsoleHost(const ConsoleOptions& options) : _options(options) {
  _out.setColor(options.color == 1 || (options.color == -1 && ConsoleOutput::colorTerminal()));
}

ConsoleHost::~ConsoleHost() = default;

bool ConsoleHost::loadContacts(std::string* error) {
  if (!_options.once) {
    _lock = ContactsLock::take(_options.contactsPath.empty() ? defaultContactsPath() : _options.contactsPath, error);
    if (!_lock) return false;
    if (!_lock->warning().empty()) _out.line("vardok-host: " + _lock->warning());
  }
  bool demo = false;
  if (!loadContactList(_options.contactsPath, &_filePath, &_file, &demo, error)) return false;
  _fileChanged = demo;  // the user's own copy is written at the end
  _builtInList = demo;
  return true;
}

bool ConsoleHost::loadPlugin(std::string* error) {
  _plugin = PluginModule::load(programFolder() + "Vardok.dll", error);
  if (!_plugin) return false;
  _boxes.install(_plugin->module());
  return true;
}

void ConsoleHost::startDemoServer() {
  _demo = startDemoSite([this](const std::string& line) { _out.line(line); });
}

int ConsoleHost::run() {
  SetConsoleCtrlHandler(&onConsoleControl, TRUE);
  // No limit is set: the job only tells which processes came from here.
  _everything.reset(CreateJobObjectA(nullptr, nullptr));
  if (_everything && !AssignProcessToJobObject(_everything.get(), GetCurrentProcess())) _everything.reset();
  std::string error;
  if (!loadContacts(&error)) {
    _out.line("vardok-host: " + error);
    return 3;
  }
  if (!loadPlugin(&error)) {
    _out.line("vardok-host: " + error);
    return 3;
  }
  const std::string logPath = _options.logPath.empty()
                                  ? _filePath.substr(0, _filePath.find_last_of("\\/") + 1) + "vardok-host.log"
                                  : _options.logPath;
  _log.open(logPath, _options.logLimit);
  // The default list's status-page check asks for the demo page.
  if (_options.serveDemo || _options.contactsPath.empty()) startDemoServer();
  if (_builtInList) {
    const DemoReach reach{_demo.plain != nullptr, _demo.secure != nullptr, !_options.once, _filePath};
    for (const std::string& line : fitDemoList(reach, &_file.contacts)) _out.line(line);
  }

  // A host that runs for days keeps a bounded history; each contact's last
  // result stays in its columns, within the plug-in's own output bound.
  _host.setEventLimits(kEventHistory, kEventTextBytes);
  _host.setObserver([this](const HostEvent& event) { onEvent(event); });
  std::vector<CheckContact> contacts;
  for (const ContactEntry& entry : _file.contacts) contacts.push_back(checkContactOf(entry));
  _host.startChecks(_plugin.get(), contacts, [this](const std::vector<int>& rows) {
    std::lock_guard<std::mutex> guard(_checksLock);
    for (size_t i = 0; i < rows.size(); ++i) {
      Check check;
      check.entry = _file.contacts[i];
      check.row = rows[i];
      _checks.push_back(check);
    }
  });
  _intervalColumn = _host.columnId(kCheckColumns[kIntervalColumn].name);
  _enabledColumn = _host.columnId(kCheckColumns[kEnabledColumn].name);

  _out.line("Vardok console host: " + std::to_string(_checks.size()) + " contacts from " + _filePath +
            "; plug-in log in " + logPath);
  // The built-in list becomes the user's own file at once (not with
  // --once, which saves nothing), so that its checks find it.
  if (_fileChanged && _options.contactsPath.empty() && !_options.once && save()) _fileChanged = false;
  if (_options.once) return runOnce();
  if (!_options.scriptPath.empty()) return runScript();
  return runInteractive();
}

void ConsoleHost::quit() {
  // Detach ends every run with its process tree; the plug-in's threads then
  // let the DLL go. Wait for that (alertably, as the plug-in needs), so no
  // child and no thread of the plug-in outlives the host.
  _host.post(HM_DETACH_CORE);
  _plugin->unload();
  _host.pumpUntil([] { return GetModuleHandleA("Vardok.dll") == nullptr; }, kUnloadWaitMs);
  _demo = DemoSite();
  listLeftovers();
}

void ConsoleHost::listLeftovers() {
  // A run that ended by itself keeps what it started on purpose: say so.
  if (!_everything) return;
  const Quorlin::SnapshotHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Process32First(snapshot.get(), &entry); ok; ok = Process32Next(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId() || _stricmp(entry.szExeFile, "conhost.exe") == 0) continue;
    const Quorlin::ProcessHandle process(
        OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID));
    BOOL inJob = FALSE;
    if (!process || WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0 ||
        !IsProcessInJob(process.get(), _everything.get(), &inJob) || !inJob)
      continue;
    _out.line("Still running, started by a check: " + visible(entry.szExeFile) + " (process " +
              std::to_string(entry.th32ProcessID) + ")");
  }
}

bool ConsoleHost::save() {
  if (!_fileChanged) return true;
  std::vector<ContactEntry> current;
  for (const Check& check : _checks) current.push_back(check.entry);
  std::string error;
  if (!replaceTextFile(_filePath, renderContacts(_file, current), &error)) {
    _out.line("vardok-host: " + error);
    return false;
  }
  _out.line("Saved " + _filePath);
  return true;
}

// --- what the plug-in reports ---

size_t ConsoleHost::resultsOf(int row) {
  std::lock_guard<std::mutex> guard(_checksLock);
  for (const Check& check : _checks)
    if (check.row == row) return check.results;
  return 0;
}

std::string ConsoleHost::nameOf(int row) {
  std::lock_guard<std::mutex> guard(_checksLock);
  for (const Check& check : _checks)
    if (check.row == row) return check.entry.name;
  return std::string();
}

std::string ConsoleHost::stateText(int row, int* severity) {
  *severity = 0;
  if (resultsOf(row) == 0) return "waiting";
  switch (_host.getInt(row, kColumnStatus)) {
    case kStatusOk: return "well";
    case kStatusProblem: *severity = 1; return "problem";
    case kStatusCritical: *severity = 2; return "critical";
    default: *severity = 2; return "unknown";
  }
}

void ConsoleHost::reportLine(int row) {
  const std::string name = nameOf(row);
  int severity = 0;
  const std::string state = stateText(row, &severity);
  const int colors[] = {32, 33, 31};
  const std::string description = fromHostText(_host.getText(row, kColumnDescription).value_or(""));
  const std::string status = padded(fittedFirstLine(fromHostText(_host.statusText(row)), kStatusWidth), 20);
  const std::string icon = padded(std::to_string(_host.getInt(row, kColumnIcon)), 4);
  // "[hh:mm:ss] " + name + state + status + " icon " + icon + " ": what is
  // left of the line is the description's.
  const size_t used = 11 + 15 + 9 + status.size() + 6 + icon.size() + 1;
  const size_t room = consoleWidth() > used + 20 ? consoleWidth() - used : 20;
  _out.event(padded(visible(name), 14) + " " + _out.paint(padded(state, 8), colors[severity]) + " " + status +
             " icon " + icon + " " + fittedFirstLine(description, room));
}

void ConsoleHost::onEvent(const HostEvent& event) {
  if (event.kind != HostEvent::Kind::Message) return;
  switch (event.id) {
    case HM_CONTACT_REFRESH: {
      const int row = event.i32(22);
      {
        std::lock_guard<std::mutex> guard(_checksLock);
        for (Check& check : _checks)
          if (check.row == row) {
            ++check.results;
            check.lastResult = event.time;
          }
      }
      // With --once a check is disabled as soon as it has reported, before
      // the plug-in re-arms it.
      if (_options.once) _host.setInt(row, _enabledColumn, 0);
      reportLine(row);
      break;
    }
    case HM_NOTIFY_SHOW:
      _out.event(_out.paint("pop-up:", 1) + " " + fittedFirstLine(fromHostText(event.text), consoleWidth() - 20));
      break;
    case HM_NOTIFY_RAISE:
      _out.event(_out.paint("notification " + visible(event.text), 1) + " for " + visible(nameOf(event.i32(26))));
      break;
    case HM_LOG: {
      const std::string line = clockTime() + " [" + std::to_string(event.i32(26)) + "] " + fromHostText(event.text) + "\n";
      if (event.text.compare(0, sizeof kLatenessLogPrefix - 1, kLatenessLogPrefix) == 0) {
        std::lock_guard<std::mutex> guard(_checksLock);
        _lateness = fromHostText(event.text);
        _latenessAt = event.time;
      }
      _log.write(line);
      if (_options.verbose) _out.event("log: " + fittedFirstLine(fromHostText(event.text), consoleWidth()));
      break;
    }
    default:
      break;
  }
}

}  // namespace VardokHost
