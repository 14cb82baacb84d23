// The console host's run modes: --once, --script and the interactive prompt.
#include <algorithm>
#include <deque>
#include <sstream>
#include <thread>

#include "host/console/console_host.h"
#include "hostapi/messages.h"
#include "hostapi/protocol.h"

namespace VardokHost {

using namespace Vardok;

int ConsoleHost::runOnce() {
  // Every enabled check runs at once as a scheduled run (no message boxes)
  // and is stopped after its first result; the file is left as it is.
  const int intervalColumn = _session.columnOf(kIntervalColumn), enabledColumn = _session.columnOf(kEnabledColumn);
  std::vector<int> pending;
  for (const Check& check : _checks) {
    if (check.entry.network != kNetwork || !check.entry.enabled) continue;
    _host.setInt(check.row, intervalColumn, 0);
    _host.postChanged(check.row, 0, kNetwork);
    pending.push_back(check.row);
  }
  const DWORD deadline = GetTickCount() + static_cast<DWORD>(_options.onceTimeoutSeconds) * 1000;
  while (!pending.empty() && !interrupted() && static_cast<LONG>(deadline - GetTickCount()) > 0) {
    _host.pumpFor(20);
    for (auto it = pending.begin(); it != pending.end();) {
      if (_session.resultsOf(*it) == 0) {
        ++it;
        continue;
      }
      _host.setInt(*it, enabledColumn, 0);
      _host.postChanged(*it, 0, kNetwork);
      it = pending.erase(it);
    }
  }
  _out.line("");
  printTable();
  int worst = pending.empty() ? 0 : 2;
  for (const Check& check : _checks) {
    if (check.entry.network != kNetwork || !check.entry.enabled) continue;
    worst = std::max(worst, static_cast<int>(_session.stateOf(check)));
  }
  if (!pending.empty()) _out.line(std::to_string(pending.size()) + " check(s) gave no result in time");
  quit();
  return finish(worst);
}

int ConsoleHost::runScript() {
  std::string text, error;
  if (!readTextFile(_options.scriptPath, &text, &error)) {
    _out.line("vardok-host: " + error);
    quit();
    return 3;
  }
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    _out.line("> " + visible(line));
    if (!execute(line) || interrupted()) break;
    _host.pumpFor(10);
  }
  quit();
  return finish(save() ? 0 : 3);
}

int ConsoleHost::runInteractive() {
  struct Input {
    std::mutex lock;
    std::deque<std::string> lines;
    Quorlin::EventHandle ready{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
  };
  auto input = std::make_shared<Input>();
  // Reads standard input on a thread of its own, so the main thread can
  // wait alertably for the plug-in's timers while it waits for commands.
  std::thread reader([input] {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    std::string pending;
    char buffer[512];
    DWORD read = 0;
    for (;;) {
      const bool ok = ReadFile(in, buffer, sizeof buffer, &read, nullptr) && read > 0;
      if (ok) pending.append(buffer, read);
      size_t end;
      while ((end = pending.find('\n')) != std::string::npos || (!ok && !pending.empty())) {
        if (end == std::string::npos) end = pending.size();
        std::string line = pending.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        pending.erase(0, end + 1);
        std::lock_guard<std::mutex> guard(input->lock);
        input->lines.push_back(line);
      }
      if (!ok) {
        std::lock_guard<std::mutex> guard(input->lock);
        input->lines.push_back("quit");
      }
      SetEvent(input->ready.get());
      if (!ok) return;
    }
  });
  reader.detach();

  _out.line("Type 'help' for the commands, 'quit' to leave.");
  HANDLE waits[2] = {input->ready.get(), interruption()};
  bool quitting = false;
  while (!quitting && !interrupted()) {
    WaitForMultipleObjectsEx(2, waits, FALSE, INFINITE, TRUE);
    for (;;) {
      std::string line;
      {
        std::lock_guard<std::mutex> guard(input->lock);
        if (input->lines.empty()) break;
        line = input->lines.front();
        input->lines.pop_front();
      }
      quitting = !execute(line);
      if (quitting || interrupted()) break;
    }
  }
  quit();
  return finish(save() ? 0 : 3);
}

}  // namespace VardokHost
