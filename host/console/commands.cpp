// The console host's commands, typed at the prompt or read from a script.
#include <cstdlib>
#include <sstream>

#include <windows.h>
#include <psapi.h>

#include "host/console/console_host.h"
#include "host/console/page_view.h"
#include "host/lib/display_text.h"
#include "hostapi/messages.h"
#include "hostapi/protocol.h"
#include "support/internet/url.h"

namespace VardokHost {

namespace {

// The longest sleep or wait a script may ask for: a day. A typo
// ("sleep 99999999999", "sleep -1") must not hang the host.
constexpr int64_t kMaxWaitMs = 24 * 3600 * 1000;

// A whole number from 0 to maximum, with nothing else around it but spaces.
bool boundedNumber(const std::string& text, int64_t maximum, int64_t* value) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return false;
  const size_t last = text.find_last_not_of(' ');
  const std::string digits = text.substr(first, last - first + 1);
  if (digits.empty() || digits.size() > 12 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  *value = std::stoll(digits);
  return *value <= maximum;
}

}  // namespace


using namespace Vardok;

const ConsoleHost::Check* ConsoleHost::checkAt(size_t index) {
  if (index < 1 || index > _checks.size()) {
    _out.line("No contact " + std::to_string(index) + "; 'list' shows them.");
    return nullptr;
  }
  return &_checks[index - 1];
}

void ConsoleHost::printTable() {
  _out.line(padded("#", 3) + padded("name", 15) + padded("state", 12) + padded("status", 21) + padded("icon", 6) +
            padded("age", 6) + padded("up 24h", 8) + "description");
  const std::vector<Check> checks = _checks;
  const int colors[] = {32, 33, 31};
  for (size_t i = 0; i < checks.size(); ++i) {
    const Check& check = checks[i];
    const bool isCheck = check.entry.network == kNetwork;
    std::string state = "not a check";
    int severity = 0;
    if (isCheck) state = check.entry.enabled || check.results ? stateText(check.row, &severity) : "disabled";
    const bool colored = isCheck && check.results;
    const std::string description = fromHostText(_host.getText(check.row, kColumnDescription).value_or(""));
    const std::string status = padded(fittedFirstLine(fromHostText(_host.statusText(check.row)), kStatusWidth), 21);
    const size_t used = 3 + 15 + 12 + status.size() + 6 + 6 + 8;
    const HistoryStore* history = _session.history();
    const std::string uptime = history ? uptimeText(history->glance(historyKey(check.entry)).uptime.day) : "-";
    const size_t room = consoleWidth() > used + 31 ? consoleWidth() - used - 11 : 20;
    _out.line(padded(std::to_string(i + 1), 3) + padded(visible(check.entry.name), 15) +
              (colored ? _out.paint(padded(state, 12), colors[severity]) : padded(state, 12)) + status +
              padded(std::to_string(_host.getInt(check.row, kColumnIcon)), 6) + padded(ageText(check.lastResult), 6) +
              padded(uptime, 8) + fittedFirstLine(description, room));
  }
  // Overload is shown, not hidden: the plug-in's word that checks run late,
  // while it is recent (it says so at most once a minute).
  std::string lateness;
  unsigned long at = 0;
  {
    std::lock_guard<std::mutex> guard(_latenessLock);
    lateness = _lateness;
    at = _latenessAt;
  }
  if (!lateness.empty() && GetTickCount() - at < 2 * 60 * 1000) _out.line(visible(lateness) + " (" + ageText(at) + " ago)");
}

void ConsoleHost::showPage(size_t index) {
  const Check* check = checkAt(index);
  if (!check) return;
  _out.line("Settings of " + visible(check->entry.name) + ":");
  printSettingsPage(_out, _host, check->row);
  // The whole description, as the check last wrote it.
  _out.line("Description:");
  _out.line(visible(fromHostText(_host.getText(check->row, kColumnDescription).value_or("")), true));
}

void ConsoleHost::setField(size_t index, const std::string& field, const std::string& written) {
  const Check* check = checkAt(index);
  if (!check) return;
  // A value as typed: surrounding spaces go, and around a number or a
  // switch a pair of quotes too (a command may well be quoted as a whole).
  std::string value = written;
  const auto trim = [&value] {
    value.erase(0, value.find_first_not_of(" \t"));
    value.erase(value.find_last_not_of(" \t") + 1);
  };
  trim();
  if (field != "command" && value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    value = value.substr(1, value.size() - 2);
    trim();
  }
  int which = -1;
  std::string keys;
  for (int i = 0; i < kCheckColumnCount; ++i) {
    if (field == kCheckColumns[i].key) which = i;
    keys += (i ? "|" : "") + std::string(kCheckColumns[i].key);
  }
  if (which < 0) {
    _out.line("set N " + keys + " VALUE");
    return;
  }
  const CheckColumn& column = kCheckColumns[which];
  int number = 0;
  if (column.kind == ColumnKind::Text) {
    const std::string problem = commandProblem(value);
    if (!problem.empty()) {
      _out.line("set: " + problem);
      return;
    }
  } else {
    const bool valid = column.control == ColumnControl::CheckBox ? parseSwitch(value, &number) : parseInt(value, &number);
    if (!valid) {
      _out.line("Not a valid " + field + ": " + value);
      return;
    }
  }
  _session.setColumn(index - 1, static_cast<CheckColumnIndex>(which), value, number);
  _session.tellChanged(index - 1);
  _out.line("Set the " + field + " of " + visible(check->entry.name) + " to " + visible(Quorlin::hidePasswords(value)));
}

void ConsoleHost::addContact(const std::string& description) {
  ContactsFile parsed;
  std::string error;
  // A name the file would read as a comment is refused with the reason,
  // not taken for a comment.
  const size_t start = description.find_first_not_of(" \t");
  if (start != std::string::npos && description[start] == '#') {
    _out.line("add: " + nameProblem(description.substr(start, description.find('|') - start)));
    return;
  }
  if (!parseContacts(description, "add", &parsed, &error) || parsed.contacts.empty()) {
    _out.line("add name | network | interval | enabled | command");
    return;
  }
  const std::string problem = _session.add(parsed.contacts[0]);
  if (!problem.empty()) {
    _out.line("add: " + problem);
    return;
  }
  _out.line("Added " + visible(parsed.contacts[0].name) + " as " + std::to_string(_checks.size()));
}

void ConsoleHost::removeContact(size_t index) {
  const Check* check = checkAt(index);
  if (!check) return;
  const std::string name = check->entry.name;
  _session.remove(index - 1);
  _out.line("Removed " + visible(name));
}

void ConsoleHost::runFromPage(size_t index) {
  const Check* check = checkAt(index);
  if (!check) return;
  ActionEvent event{sizeof(ActionEvent), kCheckActionId, kPageId, check->row, kEventActivated, {0, 0, 0}};
  _host.post(HM_ACTION, reinterpret_cast<int32_t>(&event));
}

void ConsoleHost::runFromMenu(size_t index) {
  const Check* check = checkAt(index);
  if (!check) return;
  ActionEvent shown{sizeof(ActionEvent), kCheckActionId, kContactMenuGroup, check->row, kEventQueryShown, {0, 0, 0}};
  if (!_host.post(HM_ACTION, reinterpret_cast<int32_t>(&shown))) {
    _out.line("The plug-in offers no menu item for " + visible(check->entry.name));
    return;
  }
  ActionEvent clicked{sizeof(ActionEvent), kCheckActionId, kContactMenuGroup, check->row, kEventActivated, {0, 0, 0}};
  _host.post(HM_ACTION, reinterpret_cast<int32_t>(&clicked));
}

bool ConsoleHost::waitForResult(size_t index, DWORD timeoutMs) {
  const Check* check = checkAt(index);
  if (!check) return false;
  const int row = check->row;
  const size_t before = _session.resultsOf(row);
  if (_host.pumpUntil([&] { return _session.resultsOf(row) > before || interrupted(); }, timeoutMs)) return !interrupted();
  _out.line("No new result from " + visible(check->entry.name) + " in " + std::to_string(timeoutMs / 1000) + " s");
  return false;
}

bool ConsoleHost::execute(const std::string& input) {
  std::istringstream words(input);
  std::string command;
  words >> command;
  std::string rest;
  std::getline(words, rest);
  rest.erase(0, rest.find_first_not_of(' '));
  size_t index = std::strtoul(rest.c_str(), nullptr, 10);

  if (command.empty() || command[0] == '#') return true;
  if (command == "quit" || command == "exit") return false;
  if (command == "list") {
    printTable();
  } else if (command == "history") {
    std::istringstream args(rest);
    std::string number, window;
    args >> number >> window;
    printHistory(std::strtoul(number.c_str(), nullptr, 10), window);
  } else if (command == "show") {
    showPage(index);
  } else if (command == "set") {
    std::istringstream args(rest);
    std::string number, field, value;
    args >> number >> field;
    std::getline(args, value);
    value.erase(0, value.find_first_not_of(' '));
    setField(std::strtoul(number.c_str(), nullptr, 10), field, value);
  } else if (command == "add") {
    addContact(rest);
  } else if (command == "remove") {
    removeContact(index);
  } else if (command == "run") {
    runFromPage(index);
  } else if (command == "menu") {
    runFromMenu(index);
  } else if (command == "activate") {
    if (const Check* check = checkAt(index)) _host.post(HM_CONTACT_ACTIVATE, check->row);
  } else if (command == "wait") {
    std::istringstream args(rest);
    std::string number, seconds = "30";
    args >> number >> seconds;
    int64_t wait = 0;
    if (!boundedNumber(seconds, kMaxWaitMs / 1000, &wait)) {
      _out.line("wait N [SECONDS]: SECONDS from 0 to " + std::to_string(kMaxWaitMs / 1000));
      return true;
    }
    waitForResult(std::strtoul(number.c_str(), nullptr, 10), static_cast<DWORD>(wait * 1000));
  } else if (command == "sleep") {
    int64_t ms = 0;
    if (!boundedNumber(rest, kMaxWaitMs, &ms)) {
      _out.line("sleep MS: MS from 0 to " + std::to_string(kMaxWaitMs));
      return true;
    }
    _host.pumpUntil([] { return interrupted(); }, static_cast<DWORD>(ms));
  } else if (command == "memory") {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    _out.line("memory: working set " + std::to_string(counters.WorkingSetSize >> 20) + " MiB, peak " +
              std::to_string(counters.PeakWorkingSetSize >> 20) + " MiB, private " +
              std::to_string(counters.PagefileUsage >> 20) + " MiB, peak private " +
              std::to_string(counters.PeakPagefileUsage >> 20) + " MiB");
  } else if (command == "help") {
    _out.line("list | show N | set N command|interval|enabled VALUE | add name | network | interval | enabled | command");
    _out.line("remove N | run N (the page's button) | menu N (the contact menu) | activate N | wait N [SECONDS] | sleep MS");
    _out.line("history N [24h|7d|30d] (uptime, changes of state and the last results)");
    _out.line("memory (the host's working set and private bytes, now and at their peak) | quit");
  } else {
    _out.line("Unknown command '" + command + "'; 'help' lists them.");
  }
  return true;
}

}  // namespace VardokHost
