#include "host/console/console_host.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "host/pe_image.h"
#include "plugin/messages.h"
#include "plugin/records.h"

namespace VardokHost {

extern const char kDefaultContacts[];

using namespace Vardok;

namespace {

constexpr int kPageId = 82000;
constexpr int kCheckActionId = 82001;
constexpr int kContactMenuGroup = 30;

// --- message boxes ---

using MessageBoxA_t = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
MessageBoxA_t g_systemMessageBox = nullptr;
ConsoleOutput* g_boxOutput = nullptr;
bool g_realBoxes = false;

// Wine without an X display cannot show a box: the text goes to the
// console instead, and nothing blocks.
bool canShowBoxes() {
  const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
  return !wine || GetEnvironmentVariableA("DISPLAY", nullptr, 0) > 0;
}

int WINAPI consoleMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  if (g_realBoxes && g_systemMessageBox) return g_systemMessageBox(owner, text, caption, type);
  if (g_boxOutput) {
    const char* kind = (type & 0xF0) == MB_ICONERROR ? "error" : "message";
    std::string shown = fromHostText(text ? text : "");
    while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
    g_boxOutput->event(std::string(kind) + " box \"" + fromHostText(caption ? caption : "") + "\":\n    " +
                       [&] {
                         std::string indented;
                         for (char c : shown) {
                           if (c == '\r') continue;
                           indented += c;
                           if (c == '\n') indented += "    ";
                         }
                         return indented;
                       }());
  }
  return IDOK;
}

std::string defaultContactsPath() {
  char appData[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA("APPDATA", appData, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return programFolder() + "contacts.txt";
  const std::string folder = std::string(appData) + "\\Vardok";
  CreateDirectoryA(folder.c_str(), nullptr);
  return folder + "\\contacts.txt";
}

std::string firstLine(const std::string& text) {
  const size_t end = text.find_first_of("\r\n");
  return end == std::string::npos ? text : text.substr(0, end);
}

std::string stripHtml(const std::string& html) {
  std::string out;
  bool inTag = false;
  for (size_t i = 0; i < html.size(); ++i) {
    const char c = html[i];
    if (c == '<') {
      if (html.compare(i, 5, "<div>") == 0 && !out.empty()) out += "\n";
      if (html.compare(i, 5, "<br/>") == 0) out += "\n";
      inTag = true;
    } else if (c == '>') {
      inTag = false;
    } else if (!inTag) {
      out += c;
    }
  }
  size_t at;
  while ((at = out.find("&copy;")) != std::string::npos) out.replace(at, 6, "(c)");
  return out;
}

// The visible part of an item text: up to a character below 8 or 26.
std::string visibleText(const std::string& text) {
  size_t end = 0;
  while (end < text.size() && static_cast<unsigned char>(text[end]) >= 8 && text[end] != 26) ++end;
  return text.substr(0, end);
}

std::string paramValue(const std::string& text, const std::string& key) {
  const std::string marker = std::string(1, '\x1A') + key + "=";
  const size_t at = text.find(marker);
  if (at == std::string::npos) return std::string();
  const size_t from = at + marker.size();
  const size_t end = text.find('\x1A', from);
  return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

std::string pad(const std::string& text, size_t width) {
  // Counts UTF-8 characters, not bytes.
  size_t chars = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++chars;
  return chars >= width ? text : text + std::string(width - chars, ' ');
}

std::string ageText(DWORD since) {
  if (!since) return "-";
  const DWORD seconds = (GetTickCount() - since) / 1000;
  if (seconds < 60) return std::to_string(seconds) + "s";
  if (seconds < 3600) return std::to_string(seconds / 60) + "m";
  return std::to_string(seconds / 3600) + "h";
}

std::string demoPage(unsigned request) {
  // Every fourth answer reports a slow back end, so the demo shows a change.
  const bool slow = request % 4 == 3;
  std::string body = "<html><body><h1>Vardok demo status</h1><p>Requests served: " + std::to_string(request + 1) +
                     "</p><velkaro:info>" + (slow ? "Slow responses" : "Serving") + "</velkaro:info></body></html>\n";
  return LoopbackHttpServer::response(200, body, {std::string("Error: ") + (slow ? "2" : "0")});
}

}  // namespace

// --- options ---

bool parseOptions(int argc, char** argv, ConsoleOptions* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    if (arg == "--contacts") {
      if (!value(&options->contactsPath)) return false;
    } else if (arg == "--script") {
      if (!value(&options->scriptPath)) return false;
    } else if (arg == "--log") {
      if (!value(&options->logPath)) return false;
    } else if (arg == "--timeout") {
      std::string seconds;
      if (!value(&seconds)) return false;
      options->onceTimeoutSeconds = std::atoi(seconds.c_str());
    } else if (arg == "--once") {
      options->once = true;
    } else if (arg == "--verbose" || arg == "-v") {
      options->verbose = true;
    } else if (arg == "--serve-demo") {
      options->serveDemo = true;
    } else if (arg == "--color") {
      options->color = 1;
    } else if (arg == "--no-color") {
      options->color = 0;
    } else if (!arg.empty() && arg[0] != '-' && options->contactsPath.empty()) {
      options->contactsPath = arg;
    } else {
      *error = "unknown argument " + arg;
      return false;
    }
  }
  return true;
}

// --- start and end ---

ConsoleHost::ConsoleHost(const ConsoleOptions& options) : _options(options) {
  _out.setColor(options.color == 1 || (options.color == -1 && ConsoleOutput::colorTerminal()));
  g_boxOutput = &_out;
}

ConsoleHost::~ConsoleHost() {
  g_boxOutput = nullptr;
  if (_log != INVALID_HANDLE_VALUE) CloseHandle(_log);
}

bool ConsoleHost::loadContacts(std::string* error) {
  std::string text;
  if (!_options.contactsPath.empty()) {
    _filePath = _options.contactsPath;
    if (!readTextFile(_filePath, &text, error)) return false;
  } else {
    _filePath = defaultContactsPath();
    std::string ignored;
    if (!readTextFile(_filePath, &text, &ignored)) {
      text = kDefaultContacts;
      _fileChanged = true;  // the user's own copy is written at the end
    }
  }
  return parseContacts(text, _filePath, &_file, error);
}

bool ConsoleHost::loadPlugin(std::string* error) {
  _plugin = PluginModule::load(programFolder() + "Vardok.dll", error);
  if (!_plugin) return false;
  g_realBoxes = canShowBoxes();
  g_systemMessageBox = reinterpret_cast<MessageBoxA_t>(
      replaceImport(_plugin->module(), "user32.dll", "MessageBoxA", reinterpret_cast<void*>(&consoleMessageBox)));
  return true;
}

void ConsoleHost::startDemoServer() {
  _demo.reset(new LoopbackHttpServer("127.0.0.82"));
  if (!_demo->listening()) {
    _out.line("vardok-host: cannot serve the demo page on 127.0.0.82:80 (is the port free, and may this user bind it?)");
    return;
  }
  auto served = std::make_shared<unsigned>(0);
  _demo->setHandler([served](const std::string&) { return LoopbackHttpServer::Reply{demoPage((*served)++)}; });
  _out.line("Serving the demo status page at http://127.0.0.82/status");
}

int ConsoleHost::run() {
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
  _log = CreateFileA(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
  if (_options.serveDemo) startDemoServer();

  for (const ContactEntry& entry : _file.contacts) {
    Check check;
    check.entry = entry;
    check.row = _host.addContact(entry.network);
    _host.setText(check.row, kColumnDisplay, toHostText(entry.name));
    _checks.push_back(check);
  }
  _host.setObserver([this](const HostEvent& event) { onEvent(event); });
  _host.attach(_plugin.get());
  _host.startUp(0, [this] {
    _commandColumn = _host.columnId("Vardok/command");
    _intervalColumn = _host.columnId("Vardok/interval");
    _enabledColumn = _host.columnId("Vardok/enabled");
    for (const Check& check : _checks) {
      _host.setText(check.row, _commandColumn, toHostText(check.entry.command));
      _host.setInt(check.row, _intervalColumn, check.entry.interval);
      _host.setInt(check.row, _enabledColumn, check.entry.enabled);
    }
  });

  _out.line("Vardok console host: " + std::to_string(_checks.size()) + " contacts from " + _filePath +
            "; plug-in log in " + logPath);
  if (_options.once) return runOnce();
  if (!_options.scriptPath.empty()) return runScript();
  return runInteractive();
}

void ConsoleHost::quit() {
  _host.post(HM_DETACH_CORE);
  _plugin->unload();
  if (_demo) _demo.reset();
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

std::string ConsoleHost::stateText(int row, int* severity) {
  *severity = 0;
  if (resultsOf(row) == 0) return "waiting";
  switch (_host.getInt(row, kColumnStatus)) {
    case 0: return "well";
    case 0x41: *severity = 1; return "problem";
    case 0x40: *severity = 2; return "critical";
    default: *severity = 2; return "unknown";
  }
}

void ConsoleHost::reportLine(int row) {
  std::string name;
  {
    std::lock_guard<std::mutex> guard(_checksLock);
    for (const Check& check : _checks)
      if (check.row == row) name = check.entry.name;
  }
  int severity = 0;
  const std::string state = stateText(row, &severity);
  const int colors[] = {32, 33, 31};
  const std::string description = fromHostText(_host.getText(row, kColumnDescription).value_or(""));
  _out.event(pad(name, 14) + " " + _out.paint(pad(state, 8), colors[severity]) + " " +
             pad(fromHostText(_host.statusText(row)), 20) + " icon " + pad(std::to_string(_host.getInt(row, kColumnIcon)), 4) +
             " " + firstLine(description));
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
      _out.event(_out.paint("pop-up:", 1) + " " + fromHostText(event.text));
      break;
    case HM_NOTIFY_RAISE: {
      std::string name;
      {
        std::lock_guard<std::mutex> guard(_checksLock);
        for (const Check& check : _checks)
          if (check.row == event.i32(26)) name = check.entry.name;
      }
      _out.event(_out.paint("notification " + event.text, 1) + " for " + name);
      break;
    }
    case HM_LOG: {
      const std::string line = clockTime() + " [" + std::to_string(event.i32(26)) + "] " + fromHostText(event.text) + "\n";
      if (_log != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(_log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
      }
      if (_options.verbose) _out.event("log: " + firstLine(fromHostText(event.text)));
      break;
    }
    default:
      break;
  }
}

// --- commands ---

ConsoleHost::Check* ConsoleHost::checkAt(size_t index) {
  if (index < 1 || index > _checks.size()) {
    _out.line("No contact " + std::to_string(index) + "; 'list' shows them.");
    return nullptr;
  }
  return &_checks[index - 1];
}

void ConsoleHost::printTable() {
  _out.line(pad("#", 3) + pad("name", 15) + pad("state", 12) + pad("status", 21) + pad("icon", 6) + pad("age", 6) +
            "description");
  for (size_t i = 0; i < _checks.size(); ++i) {
    const Check& check = _checks[i];
    std::string state = "not a check";
    int severity = 0;
    if (check.entry.network == kNetwork) state = check.entry.enabled || check.results ? stateText(check.row, &severity) : "disabled";
    const int colors[] = {32, 33, 31};
    const bool colored = check.entry.network == kNetwork && check.results;
    const std::string description = fromHostText(_host.getText(check.row, kColumnDescription).value_or(""));
    DWORD last;
    {
      std::lock_guard<std::mutex> guard(_checksLock);
      last = check.lastResult;
    }
    _out.line(pad(std::to_string(i + 1), 3) + pad(check.entry.name, 15) +
              (colored ? _out.paint(pad(state, 12), colors[severity]) : pad(state, 12)) +
              pad(fromHostText(_host.statusText(check.row)), 21) + pad(std::to_string(_host.getInt(check.row, kColumnIcon)), 6) +
              pad(ageText(last), 6) + firstLine(description));
  }
}

void ConsoleHost::showPage(size_t index) {
  Check* check = checkAt(index);
  if (!check) return;
  _out.line("Settings of " + check->entry.name + ":");
  std::string pendingCaption;
  for (const UiItemCopy& item : _host.uiItems()) {
    const int id = item.i32(2), parent = item.i32(6), kind = item.i32(34), param = item.i32(62);
    const std::string text = fromHostText(item.text);
    if (id == kPageId) {
      _out.line("== " + visibleText(text) + " ==");
      continue;
    }
    if (parent != kPageId) continue;
    switch (kind) {
      case 0x1C0040:
      case 0x180080:
        for (std::istringstream lines(stripHtml(kind == 0x180080 ? text : paramValue(text, "tipRich")));
             std::getline(lines, pendingCaption);)
          _out.line("  " + pendingCaption);
        pendingCaption.clear();
        break;
      case 0x90040:
        pendingCaption = visibleText(text);
        break;
      case 0xB0080:
      case 0xB0020: {
        const std::string value = kind == 0xB0080 ? fromHostText(_host.getText(check->row, param).value_or(""))
                                                  : std::to_string(_host.getInt(check->row, param));
        _out.line("  " + pad(pendingCaption + ":", 12) + "[" + value + "]");
        pendingCaption.clear();
        break;
      }
      case 0x60000:
        _out.line("  " + std::string(_host.getInt(check->row, param) ? "[x] " : "[ ] ") + visibleText(text));
        break;
      case 0xE0000: {
        const std::string tip = paramValue(text, "tip");
        _out.line("  [ " + visibleText(text) + " ]" + (tip.empty() ? "" : "  (" + tip + ")"));
        break;
      }
      default:
        break;
    }
  }
}

void ConsoleHost::setField(size_t index, const std::string& field, const std::string& value) {
  Check* check = checkAt(index);
  if (!check) return;
  int number = 0;
  if (field == "command") {
    check->entry.command = value;
    _host.setText(check->row, _commandColumn, toHostText(value));
  } else if (field == "interval" || field == "enabled") {
    ContactsFile parsed;
    std::string error;
    const std::string probe = "x | 82 | " + (field == "interval" ? value : std::string("0")) + " | " +
                              (field == "enabled" ? value : std::string("0")) + " | x";
    if (!parseContacts(probe, "value", &parsed, &error)) {
      _out.line("Not a valid " + field + ": " + value);
      return;
    }
    number = field == "interval" ? parsed.contacts[0].interval : parsed.contacts[0].enabled;
    (field == "interval" ? check->entry.interval : check->entry.enabled) = number;
    _host.setInt(check->row, field == "interval" ? _intervalColumn : _enabledColumn, number);
  } else {
    _out.line("set N command|interval|enabled VALUE");
    return;
  }
  check->entry.changed = true;
  _fileChanged = true;
  _host.postChanged(check->row, 0, check->entry.network);
}

void ConsoleHost::addContact(const std::string& description) {
  ContactsFile parsed;
  std::string error;
  if (!parseContacts(description, "add", &parsed, &error) || parsed.contacts.empty()) {
    _out.line("add name | network | interval | enabled | command");
    return;
  }
  Check check;
  check.entry = parsed.contacts[0];
  check.entry.line = -1;
  check.entry.changed = true;
  check.row = _host.addContact(check.entry.network);
  _host.setText(check.row, kColumnDisplay, toHostText(check.entry.name));
  _host.setText(check.row, _commandColumn, toHostText(check.entry.command));
  _host.setInt(check.row, _intervalColumn, check.entry.interval);
  _host.setInt(check.row, _enabledColumn, check.entry.enabled);
  {
    std::lock_guard<std::mutex> guard(_checksLock);
    _checks.push_back(check);
  }
  _fileChanged = true;
  _host.post(HM_CONTACT_NEW, check.row);
  _out.line("Added " + check.entry.name + " as " + std::to_string(_checks.size()));
}

void ConsoleHost::removeContact(size_t index) {
  Check* check = checkAt(index);
  if (!check) return;
  const int row = check->row;
  const std::string name = check->entry.name;
  _host.post(HM_CONTACT_REMOVING, row);
  _host.removeContact(row);
  {
    std::lock_guard<std::mutex> guard(_checksLock);
    _checks.erase(_checks.begin() + (index - 1));
  }
  _fileChanged = true;
  _out.line("Removed " + name);
}

void ConsoleHost::runFromPage(size_t index) {
  Check* check = checkAt(index);
  if (!check) return;
  ActionEvent event{sizeof(ActionEvent), kCheckActionId, kPageId, check->row, 1, {0, 0, 0}};
  _host.post(HM_ACTION, reinterpret_cast<int32_t>(&event));
}

void ConsoleHost::runFromMenu(size_t index) {
  Check* check = checkAt(index);
  if (!check) return;
  ActionEvent shown{sizeof(ActionEvent), kCheckActionId, kContactMenuGroup, check->row, 17, {0, 0, 0}};
  if (!_host.post(HM_ACTION, reinterpret_cast<int32_t>(&shown))) {
    _out.line("The plug-in offers no menu item for " + check->entry.name);
    return;
  }
  ActionEvent clicked{sizeof(ActionEvent), kCheckActionId, kContactMenuGroup, check->row, 1, {0, 0, 0}};
  _host.post(HM_ACTION, reinterpret_cast<int32_t>(&clicked));
}

bool ConsoleHost::waitForResult(size_t index, DWORD timeoutMs) {
  Check* check = checkAt(index);
  if (!check) return false;
  const int row = check->row;
  const size_t before = resultsOf(row);
  if (_host.pumpUntil([&] { return resultsOf(row) > before; }, timeoutMs)) return true;
  _out.line("No new result from " + check->entry.name + " in " + std::to_string(timeoutMs / 1000) + " s");
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
    if (Check* check = checkAt(index)) _host.post(HM_CONTACT_ACTIVATE, check->row);
  } else if (command == "wait") {
    std::istringstream args(rest);
    size_t number = 0, seconds = 30;
    args >> number >> seconds;
    waitForResult(number, static_cast<DWORD>(seconds * 1000));
  } else if (command == "sleep") {
    _host.pumpFor(static_cast<DWORD>(std::strtoul(rest.c_str(), nullptr, 10)));
  } else if (command == "help") {
    _out.line("list | show N | set N command|interval|enabled VALUE | add name | network | interval | enabled | command");
    _out.line("remove N | run N (the page's button) | menu N (the contact menu) | activate N | wait N [SECONDS] | sleep MS | quit");
  } else {
    _out.line("Unknown command '" + command + "'; 'help' lists them.");
  }
  return true;
}

// --- modes ---

int ConsoleHost::runOnce() {
  // Every enabled check runs at once as a scheduled run (no message boxes)
  // and is stopped after its first result; the file is left as it is.
  std::vector<int> pending;
  for (const Check& check : _checks) {
    if (check.entry.network != kNetwork || !check.entry.enabled) continue;
    _host.setInt(check.row, _intervalColumn, 0);
    _host.postChanged(check.row, 0, kNetwork);
    pending.push_back(check.row);
  }
  const DWORD deadline = GetTickCount() + static_cast<DWORD>(_options.onceTimeoutSeconds) * 1000;
  while (!pending.empty() && static_cast<LONG>(deadline - GetTickCount()) > 0) {
    _host.pumpFor(20);
    for (auto it = pending.begin(); it != pending.end();) {
      if (resultsOf(*it) == 0) {
        ++it;
        continue;
      }
      _host.setInt(*it, _enabledColumn, 0);
      _host.postChanged(*it, 0, kNetwork);
      it = pending.erase(it);
    }
  }
  _out.line("");
  printTable();
  int worst = pending.empty() ? 0 : 2;
  for (const Check& check : _checks) {
    if (check.entry.network != kNetwork || !check.entry.enabled || !resultsOf(check.row)) continue;
    const int status = _host.getInt(check.row, kColumnStatus);
    worst = std::max(worst, status == 0 ? 0 : status == 0x41 ? 1 : 2);
  }
  if (!pending.empty()) _out.line(std::to_string(pending.size()) + " check(s) gave no result in time");
  quit();
  return worst;
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
    _out.line("> " + line);
    if (!execute(line)) break;
    _host.pumpFor(10);
  }
  quit();
  return save() ? 0 : 3;
}

int ConsoleHost::runInteractive() {
  struct Input {
    std::mutex lock;
    std::deque<std::string> lines;
    HANDLE ready = CreateEventA(nullptr, FALSE, FALSE, nullptr);
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
      SetEvent(input->ready);
      if (!ok) return;
    }
  });
  reader.detach();

  _out.line("Type 'help' for the commands, 'quit' to leave.");
  for (;;) {
    WaitForSingleObjectEx(input->ready, INFINITE, TRUE);
    for (;;) {
      std::string line;
      {
        std::lock_guard<std::mutex> guard(input->lock);
        if (input->lines.empty()) break;
        line = input->lines.front();
        input->lines.pop_front();
      }
      if (!execute(line)) {
        quit();
        return save() ? 0 : 3;
      }
    }
  }
}

}  // namespace VardokHost
