#include "host/console/console_host.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>

#include "host/serve/demo_list.h"
#include "hostapi/messages.h"
#include "protocol/result_protocol.h"
#include "hostapi/protocol.h"

namespace VardokHost {

using namespace Vardok;

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
  if (!_session.openContacts(_options.contactsPath, !_options.once, error)) return false;
  const ContactsLock* lock = _session.contactsLock();
  if (lock && !lock->warning().empty()) _out.line("vardok-host: " + lock->warning());
  return true;
}

bool ConsoleHost::loadPlugin(std::string* error) {
  if (!_session.loadPlugin(error)) return false;
  _boxes.install(_session.pluginModule());
  return true;
}

void ConsoleHost::startDemoServer() {
  serveDemo(_session, !_options.once, [this](const std::string& line) { _out.line(line); });
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
  const std::string& filePath = _session.filePath();
  const std::string logPath = _options.logPath.empty()
                                  ? filePath.substr(0, filePath.find_last_of("\\/") + 1) + "vardok-host.log"
                                  : _options.logPath;
  _log.open(logPath, _options.logLimit);
  // The default list's status-page check asks for the demo page.
  if (_options.serveDemo || _options.contactsPath.empty()) startDemoServer();

  // A host that runs for days keeps a bounded history; each contact's last
  // result stays in its columns, within the plug-in's own output bound.
  _session.setEventSink([this](const PluginEvent& event) { onEvent(event); });
  if (_options.keepHistory)
    _session.openHistory([this](const std::string& text) { _out.line("vardok-host: " + text); });
  _session.start();
  if (!_options.metrics.empty()) {
    _metrics = MetricsServer::start(_session, _options.metrics, &error);
    if (_metrics)
      _out.line("Metrics for Prometheus at " + _metrics->url());
    else
      _out.line("vardok-host: " + error);
  }

  _out.line("Vardok console host: " + std::to_string(_checks.size()) + " contacts from " + filePath +
            "; plug-in log in " + logPath);
  // The built-in list becomes the user's own file at once (not with
  // --once, which saves nothing), so that its checks find it.
  if (_session.changed() && _options.contactsPath.empty() && !_options.once) save();
  if (_options.once) return runOnce();
  if (!_options.scriptPath.empty()) return runScript();
  return runInteractive();
}

void ConsoleHost::quit() {
  _metrics.reset();
  // No child and no thread of the plug-in outlives the host.
  if (!_session.detachAndWait())
    _out.line("Vardok did not let its DLL go within 5 s; what it still holds is left to the end of this process");
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
  if (!_session.changed()) return true;
  std::string error;
  if (!_session.save(&error)) {
    _out.line("vardok-host: " + error);
    return false;
  }
  _out.line("Saved " + _session.filePath());
  return true;
}

// --- what the plug-in reports ---

std::string ConsoleHost::stateText(int row, int* severity) {
  const int status = _host.getInt(row, kColumnStatus);
  const CheckState state = _session.resultsOf(row) == 0 ? CheckState::Waiting : stateOfStatus(status);
  *severity = std::max(0, static_cast<int>(state));
  return stateWord(state, status);
}

void ConsoleHost::reportLine(int row) {
  const std::string name = _session.nameOf(row);
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

void ConsoleHost::onEvent(const PluginEvent& event) {
  if (const auto* refreshed = std::get_if<ContactRefreshed>(&event.what)) {
    // With --once a check is disabled as soon as it has reported, before
    // the plug-in re-arms it.
    if (_options.once) _host.setInt(refreshed->row, _session.columnOf(kEnabledColumn), 0);
    reportLine(refreshed->row);
  } else if (const auto* popup = std::get_if<PopupShown>(&event.what)) {
    _out.event(_out.paint("pop-up:", 1) + " " + fittedFirstLine(fromHostText(popup->text), consoleWidth() - 20));
  } else if (const auto* raised = std::get_if<NotificationRaised>(&event.what)) {
    _out.event(_out.paint("notification " + visible(raised->name), 1) + " for " + visible(_session.nameOf(raised->row)));
  } else if (const auto* log = std::get_if<LogLine>(&event.what)) {
    const std::string text = fromHostText(log->text);
    if (log->saysLate()) {
      std::lock_guard<std::mutex> guard(_latenessLock);
      _lateness = text;
      _latenessAt = event.time;
    }
    _log.write(clockTime() + " [" + std::to_string(log->level) + "] " + text + "\n");
    if (_options.verbose) _out.event("log: " + fittedFirstLine(text, consoleWidth()));
  }
}

}  // namespace VardokHost
