#include "host/lib/host_session.h"

#include <algorithm>
#include <chrono>

#include "host/history/perf_data.h"
#include "host/lib/host_text.h"
#include "hostapi/messages.h"
#include "hostapi/protocol.h"

namespace VardokHost {

using namespace Vardok;

namespace {

// Serves what is sent and posted to this thread, and its APCs, for at most
// ms; answers whether done() held.
bool serveUntil(const std::function<bool()>& done, DWORD ms) {
  const DWORD start = GetTickCount();
  for (;;) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (done()) return true;
    const DWORD passed = GetTickCount() - start;
    if (passed >= ms) return false;
    MsgWaitForMultipleObjectsEx(0, nullptr, std::min<DWORD>(ms - passed, 20), QS_ALLINPUT, MWMO_ALERTABLE);
  }
}

}  // namespace

HostSession::Check& HostSession::Check::operator=(const Check& other) {
  row = other.row;
  entry = other.entry;
  results = other.results.load();
  lastResult = other.lastResult.load();
  historyHandle = other.historyHandle;
  runStart = other.runStart;
  lastUnixMs = other.lastUnixMs;
  lastDurationMs = other.lastDurationMs;
  return *this;
}

HostSession::~HostSession() {
  if (running()) detachAndWait();
  if (_letGoFailed) {
    // The plug-in's threads may still call its host and run its code.
    (void)_hostOwner.release();
    (void)_plugin.release();
  }
}

// --- the contact list ---

bool HostSession::openContacts(const std::string& path, bool lock, std::string* error) {
  if (lock) {
    _lock = ContactsLock::take(path.empty() ? defaultContactsPath() : path, error);
    if (!_lock) return false;
  }
  bool demo = false;
  if (!loadContactList(path, &_filePath, &_file, &demo, error)) {
    _lock.reset();
    return false;
  }
  _changed = demo;
  _builtInList = demo;
  // Two contacts of one name would share a history: the second gets an id.
  if (separateHistoryKeys(_file.contacts)) _changed = true;
  return true;
}

bool HostSession::save(std::string* error) {
  if (!_changed) return true;
  // Before start the list is as read (the checks are made at start).
  std::vector<ContactEntry> current;
  if (_started)
    for (const Check& check : _checks) current.push_back(check.entry);
  else
    current = _file.contacts;
  if (!replaceTextFile(_filePath, renderContacts(_file, current), error)) return false;
  _changed = false;
  return true;
}

// --- the history ---

std::string HostSession::historyPath() const {
  const size_t slash = _filePath.find_last_of("\\/");
  return (slash == std::string::npos ? std::string() : _filePath.substr(0, slash + 1)) + "history.db";
}

void HostSession::openHistory(std::function<void(const std::string&)> notice) {
  _history = std::make_unique<HistoryStore>(historyPath());
  _history->setNoticeSink(std::move(notice));
}

std::string HostSession::historyKeyOf(size_t index) const {
  return index < _checks.size() ? historyKey(_checks[index].entry) : std::string();
}

// A run reads its command as it starts, on its worker; a read on the main
// thread is the host's own business (the settings page, start-up).
void HostSession::onColumnRead(int row, int column) {
  if (GetCurrentThreadId() == _mainThreadId || column != columnOf(kCommandColumn)) return;
  std::lock_guard<std::mutex> guard(_checksLock);
  if (Check* check = checkOfRow(row))
    if (check->runStart == 0) check->runStart = GetTickCount() | 1;
}

void HostSession::record(Check& check, DWORD time) {
  const DWORD started = check.runStart;
  check.runStart = 0;
  RawResult result;
  result.timeMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  // A run's length, from the read of its command to its result; a read
  // longer ago than the check's limit began no run that reports now (its
  // run was ended), so the length is not known.
  const int64_t interval = check.entry.interval > 0 ? check.entry.interval : 0;
  const int64_t holdMs = std::max<int64_t>(60000, 2000 * interval);
  if (started != 0 && static_cast<int64_t>(time - started) <= holdMs)
    result.durationMs = static_cast<int32_t>(time - started);
  check.lastUnixMs = result.timeMs;
  check.lastDurationMs = result.durationMs;
  if (!_history || check.historyHandle < 0) return;
  switch (stateOfStatus(_host.getInt(check.row, kColumnStatus))) {
    case CheckState::Well: result.verdict = Verdict::Well; break;
    case CheckState::Problem: result.verdict = Verdict::Problem; break;
    default: result.verdict = Verdict::Critical; break;
  }
  const std::vector<PerfValue> perf = perfValues(_host.firstLine(check.row, kColumnDescription, 4096), 1);
  if (!perf.empty()) {
    result.hasPerf = true;
    result.perf = perf[0].value;
  }
  // A result stands as long as the plug-in waits before it calls a run
  // overdue: the larger of a minute and twice the interval.
  _history->record(check.historyHandle, result, holdMs, _host.statusText(check.row));
}

// --- the plug-in ---

bool HostSession::loadPlugin(std::string* error) {
  std::unique_ptr<PluginModule> plugin = PluginModule::load(programFolder() + "Vardok.dll", error);
  if (!plugin) return false;
  usePlugin(std::move(plugin));
  return true;
}

void HostSession::usePlugin(std::unique_ptr<PluginModule> plugin) {
  _plugin = std::move(plugin);
  // A loaded DLL has let go when its module is gone; a linked plug-in is
  // part of this program.
  _pluginPath.clear();
  char path[MAX_PATH];
  HMODULE module = _plugin ? _plugin->module() : nullptr;
  if (module && module != GetModuleHandleA(nullptr)) {
    const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) _pluginPath.assign(path, length);
  }
  _host.attach(_plugin.get());
}

void HostSession::start(size_t maxEvents, size_t maxTextBytes) {
  _host.setEventLimits(maxEvents, maxTextBytes);
  _gate->session = this;
  _mainThreadId = GetCurrentThreadId();
  _host.setObserver([gate = _gate](const HostEvent& event) {
    std::lock_guard<std::recursive_mutex> guard(gate->lock);
    if (gate->session) gate->session->onHostEvent(event);
  });
  _host.setReadObserver([gate = _gate, mainThread = _mainThreadId](int row, int column) {
    // The main thread's reads begin no run: they pass without the gate.
    if (GetCurrentThreadId() == mainThread) return;
    std::lock_guard<std::recursive_mutex> guard(gate->lock);
    if (gate->session) gate->session->onColumnRead(row, column);
  });
  std::vector<CheckContact> contacts;
  for (const ContactEntry& entry : _file.contacts) contacts.push_back(checkContactOf(entry));
  _started = true;
  _host.startChecks(_plugin.get(), contacts, [this](const std::vector<int>& rows) {
    std::lock_guard<std::mutex> guard(_checksLock);
    for (size_t i = 0; i < rows.size(); ++i) {
      Check check;
      check.entry = _file.contacts[i];
      check.row = rows[i];
      if (_history) check.historyHandle = _history->contact(historyKey(check.entry));
      _checks.push_back(check);
    }
  });
}

void HostSession::onHostEvent(const HostEvent& event) {
  const PluginEvent decoded = decodeEvent(event);
  if (std::holds_alternative<std::monostate>(decoded.what)) return;
  if (const auto* refreshed = std::get_if<ContactRefreshed>(&decoded.what)) {
    std::lock_guard<std::mutex> guard(_checksLock);
    if (Check* check = checkOfRow(refreshed->row)) {
      // The time first: a reader that sees the count sees its time.
      check->lastResult = decoded.time;
      ++check->results;
      record(*check, decoded.time);
    }
  }
  if (_sink) _sink(decoded);
}

// --- the checks ---

HostSession::Check* HostSession::checkOfRow(int row) {
  for (Check& check : _checks)
    if (check.row == row) return &check;
  return nullptr;
}

int HostSession::indexOfRow(int row) const {
  for (size_t i = 0; i < _checks.size(); ++i)
    if (_checks[i].row == row) return static_cast<int>(i);
  return -1;
}

size_t HostSession::resultsOf(int row) const {
  std::lock_guard<std::mutex> guard(_checksLock);
  const int index = indexOfRow(row);
  return index < 0 ? 0 : _checks[static_cast<size_t>(index)].results.load();
}

std::string HostSession::nameOf(int row) const {
  std::lock_guard<std::mutex> guard(_checksLock);
  const int index = indexOfRow(row);
  return index < 0 ? std::string() : _checks[static_cast<size_t>(index)].entry.name;
}

std::vector<HostSession::Check> HostSession::checksCopy() const {
  std::lock_guard<std::mutex> guard(_checksLock);
  return _checks;
}

CheckState HostSession::stateOf(const Check& check) const {
  if (check.entry.network != kNetwork || check.results == 0) return CheckState::Waiting;
  return stateOfStatus(_host.getInt(check.row, kColumnStatus));
}

int HostSession::columnOf(CheckColumnIndex column) const { return _host.columnId(kCheckColumns[column].name); }

std::string HostSession::add(const ContactEntry& entry) {
  // Nothing is taken that could not be saved and loaded again.
  std::string problem = nameProblem(entry.name);
  if (problem.empty()) problem = commandProblem(entry.command);
  if (!problem.empty()) return problem;
  Check check;
  check.entry = entry;
  check.entry.line = -1;
  check.entry.idLine = -1;
  check.entry.changed = true;
  // A name another contact's history goes by: an id of its own.
  for (const Check& other : _checks)
    if (historyKey(other.entry) == historyKey(check.entry)) check.entry.id = newContactId();
  if (_history) check.historyHandle = _history->contact(historyKey(check.entry));
  check.row = _host.addCheck(checkContactOf(check.entry), false);
  {
    std::lock_guard<std::mutex> guard(_checksLock);
    _checks.push_back(check);
  }
  _changed = true;
  _host.post(HM_CONTACT_NEW, check.row);
  return std::string();
}

void HostSession::remove(size_t index) {
  if (index >= _checks.size()) return;
  const int row = _checks[index].row;
  _host.post(HM_CONTACT_REMOVING, row);
  _host.removeContact(row);
  {
    std::lock_guard<std::mutex> guard(_checksLock);
    _checks.erase(_checks.begin() + static_cast<std::ptrdiff_t>(index));
  }
  _changed = true;
}

void HostSession::replace(size_t index, const ContactEntry& edited) {
  if (index >= _checks.size()) return;
  Check& check = _checks[index];
  const int previousNetwork = check.entry.network;
  {
    std::lock_guard<std::mutex> guard(_checksLock);
    const ContactEntry before = check.entry;
    check.entry = edited;
    check.entry.line = before.line;
    check.entry.id = before.id;
    check.entry.idLine = before.idLine;
    check.entry.changed = true;
    // A renamed contact keeps its history under an id of its own.
    if (before.id.empty() && edited.name != before.name) {
      check.entry.id = newContactId();
      if (_history) _history->rekey(historyKey(before), historyKey(check.entry));
    }
  }
  if (edited.network != previousNetwork) _host.setInt(check.row, kColumnNetwork, edited.network);
  _host.writeCheck(check.row, checkContactOf(check.entry));
  _host.postChanged(check.row, edited.network != previousNetwork ? kChangeBitsRecreate : 0, previousNetwork);
  _changed = true;
}

void HostSession::setColumn(size_t index, CheckColumnIndex column, const std::string& utf8, int number) {
  if (index >= _checks.size()) return;
  Check& check = _checks[index];
  const int id = columnOf(column);
  {
    std::lock_guard<std::mutex> guard(_checksLock);
    if (kCheckColumns[column].kind == ColumnKind::Text)
      entryText(check.entry, column) = utf8;
    else
      entryNumber(check.entry, column) = number;
    check.entry.changed = true;
  }
  if (id && kCheckColumns[column].kind == ColumnKind::Text)
    _host.setText(check.row, id, toHostText(utf8));
  else if (id)
    _host.setInt(check.row, id, number);
  _changed = true;
}

void HostSession::tellChanged(size_t index) {
  if (index < _checks.size()) _host.postChanged(_checks[index].row, 0, _checks[index].entry.network);
}

// --- the end ---

bool HostSession::detachAndWait(DWORD timeoutMs, DWORD quietMs) {
  _detached = true;
  // Detach ends every run with its process tree; the plug-in's threads and
  // queued calls then let the DLL go, which needs this thread to wait
  // alertably (and to serve the calls it was asked to serve).
  _host.shutDown();
  const std::function<bool()> letGo =
      !_pluginPath.empty() ? std::function<bool()>([this] { return GetModuleHandleA(_pluginPath.c_str()) == nullptr; })
      : _letGo               ? _letGo
                             : std::function<bool()>([] { return true; });
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < std::min(quietMs, timeoutMs)) SleepEx(5, TRUE);
  const DWORD passed = GetTickCount() - start;
  const bool gone = serveUntil(letGo, timeoutMs > passed ? timeoutMs - passed : 0);
  {
    std::lock_guard<std::recursive_mutex> guard(_gate->lock);
    _gate->session = nullptr;
  }
  _letGoFailed = !gone;
  _site.reset();
  return gone;
}

}  // namespace VardokHost
