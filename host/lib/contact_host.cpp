#include "host/lib/contact_host.h"

#include "host/lib/host_text.h"

#include <algorithm>
#include <cstdio>

#include <wininet.h>

#include "hostapi/messages.h"
#include "hostapi/protocol.h"
#include "protocol/result_protocol.h"

namespace VardokHost {

using namespace Vardok;

// --- check contacts ---

int ContactHost::addCheck(const CheckContact& check, bool announce) {
  const int row = _table.addContact(check.network);
  writeCheck(row, check);
  if (announce) post(HM_CONTACT_NEW, row);
  return row;
}

void ContactHost::writeCheck(int row, const CheckContact& check) {
  _table.setText(row, kColumnDisplay, check.name);
  if (const int command = _table.columnId(Vardok::kCheckColumns[Vardok::kCommandColumn].name))
    _table.setText(row, command, check.command);
  if (const int interval = _table.columnId(Vardok::kCheckColumns[Vardok::kIntervalColumn].name))
    _table.setInt(row, interval, check.interval);
  if (const int enabled = _table.columnId(Vardok::kCheckColumns[Vardok::kEnabledColumn].name))
    _table.setInt(row, enabled, check.enabled);
}

// --- scripted answers ---

void ContactHost::setPopupService(bool present) {
  std::lock_guard<std::mutex> guard(_lock);
  _popupService = present;
}

void ContactHost::setLogLevels(bool on) {
  std::lock_guard<std::mutex> guard(_lock);
  _allLogLevels = on;
  _logLevels.clear();
}

void ContactHost::setLogLevel(int level, bool on) {
  std::lock_guard<std::mutex> guard(_lock);
  _logLevels[level] = on;
}

void ContactHost::setHostMode(int mode) {
  std::lock_guard<std::mutex> guard(_lock);
  _hostMode = mode;
}

void ContactHost::setPluginId(int id) {
  std::lock_guard<std::mutex> guard(_lock);
  _pluginId = id;
}

void ContactHost::setPluginVersion(int packedVersion) {
  std::lock_guard<std::mutex> guard(_lock);
  _pluginVersion = packedVersion;
}

void ContactHost::setUiValue(int contact, std::optional<std::string> value) {
  std::lock_guard<std::mutex> guard(_lock);
  _uiValues[contact] = std::move(value);
}

CheckContact checkContactOf(const ContactEntry& entry) {
  CheckContact contact;
  contact.name = toHostText(entry.name);
  contact.command = toHostText(entry.command);
  contact.interval = entry.interval;
  contact.enabled = entry.enabled;
  contact.network = entry.network;
  return contact;
}

void ContactHost::startChecks(PluginModule* plugin, const std::vector<CheckContact>& contacts,
                              const std::function<void(const std::vector<int>& rows)>& added) {
  std::vector<int> rows;
  for (const CheckContact& contact : contacts) rows.push_back(addCheck(contact, false));
  added(rows);
  attach(plugin);
  startUp(0, [&] {
    for (size_t i = 0; i < rows.size(); ++i) writeCheck(rows[i], contacts[i]);
  });
}

void ContactHost::setLiveValue(int contact, int itemId, std::optional<std::string> text) {
  std::lock_guard<std::mutex> guard(_lock);
  if (text)
    _liveValues[{contact, itemId}] = std::move(*text);
  else
    _liveValues.erase({contact, itemId});
}

std::vector<UiItemCopy> ContactHost::uiItems() const {
  std::lock_guard<std::mutex> guard(_lock);
  return _uiItems;
}

std::string ContactHost::notificationWords(const std::string& name) const {
  std::lock_guard<std::mutex> guard(_lock);
  const auto kind = _notificationWords.find(name);
  return kind == _notificationWords.end() ? std::string() : kind->second;
}

// --- the plug-in ---

void ContactHost::attach(PluginModule* plugin) { _plugin = plugin; }

int ContactHost::postRecord(HostMessage* message) {
  return _plugin && _plugin->proc() ? _plugin->proc()(message) : 0;
}

int ContactHost::post(uint32_t id, int32_t p1, int32_t p2) {
  HostMessage message{};
  message.size = sizeof message;
  message.id = id;
  message.p1 = p1;
  message.p2 = p2;
  return postRecord(&message);
}

int ContactHost::postChanged(int contact, int changeBits, int previousNetwork) {
  HostMessage3 message{};
  message.head.size = sizeof message;
  message.head.id = HM_CONTACT_CHANGED;
  message.head.p1 = contact;
  message.head.p2 = changeBits;
  message.p3 = previousNetwork;
  return postRecord(&message.head);
}

void ContactHost::startUp(int previousVersion, const std::function<void()>& afterColumns) {
  post(HM_ATTACH_CORE, reinterpret_cast<int32_t>(static_cast<HostCore*>(this)));
  post(HM_PROBE_1);
  post(HM_PROBE_2);
  post(HM_SETUP_COLUMNS);
  if (afterColumns) afterColumns();
  post(HM_UPGRADE, previousVersion);
  post(HM_SETUP_UI);
  post(HM_REGISTER_NOTIFICATIONS);
  post(HM_START);
  post(HM_START_ACK);
}

void ContactHost::shutDown() {
  post(HM_DETACH_CORE);
  if (_plugin) _plugin->unload();
}

bool ContactHost::pumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (done()) return true;
    if (GetTickCount() - start >= timeoutMs) return false;
    SleepEx(5, TRUE);
  }
}

void ContactHost::pumpFor(DWORD ms) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < ms) SleepEx(std::min<DWORD>(ms - (GetTickCount() - start), 20), TRUE);
}

// --- serving calls on the main thread ---

namespace {

constexpr UINT kServeCall = WM_APP + 1;
const char kWindowClass[] = "VardokHostCalls";

}  // namespace

LRESULT CALLBACK ContactHost::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kServeCall) return (*reinterpret_cast<const std::function<int()>*>(lParam))();
  return DefWindowProcA(window, message, wParam, lParam);
}

void ContactHost::serveCallsOnThisThread(bool on) {
  if (on && !_window.load()) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &ContactHost::windowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassA(&windowClass);
    _windowThread = GetCurrentThreadId();
    _window = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, windowClass.hInstance, nullptr);
  } else if (!on) {
    // Calls made from now on are served on their own threads.
    if (HWND window = _window.exchange(nullptr)) DestroyWindow(window);
  }
}

int ContactHost::served(const std::function<int()>& call) {
  HWND window = _window.load();
  if (!window || GetCurrentThreadId() == _windowThread.load()) return call();
  ++_callsWaiting;
  const int answer = static_cast<int>(SendMessageA(window, kServeCall, 0, reinterpret_cast<LPARAM>(&call)));
  --_callsWaiting;
  return answer;
}

// --- HostCore ---

int __stdcall ContactHost::GetPluginId() {
  std::lock_guard<std::mutex> guard(_lock);
  return _pluginId;
}

HINSTANCE __stdcall ContactHost::GetPluginInstance() {
  return _plugin ? static_cast<HINSTANCE>(_plugin->module()) : nullptr;
}

int __stdcall ContactHost::GetHostMode() {
  std::lock_guard<std::mutex> guard(_lock);
  return _hostMode;
}

int __stdcall ContactHost::ReportNotHandled(int code) {
  HostEvent event;
  event.kind = HostEvent::Kind::NotHandled;
  event.thread = GetCurrentThreadId();
  event.time = GetTickCount();
  event.value = code;
  _log.record(std::move(event));
  return 0;
}

int ContactHost::answer(HostMessage* message, const HostEvent& event, bool* deliver) {
  *deliver = false;
  const bool full = message->size >= sizeof(HostMessage);
  const int32_t p1 = full ? message->p1 : 0;
  const int32_t p2 = full ? message->p2 : 0;

  std::lock_guard<std::mutex> guard(_lock);
  if (message->routeType == kPopupRouteType) {
    if (message->id == HM_ID_NET) return _popupService ? 1 : 0;
    return 0;
  }
  switch (message->id) {
    case HM_VERSION_TEXT: {
      char* buffer = reinterpret_cast<char*>(p2);
      if (!buffer) return 0;
      snprintf(buffer, 32, "%s", versionText(p1).c_str());
      return p2;
    }
    case HM_GET_INTERNET:
      return reinterpret_cast<int32_t>(InternetOpenA("Vardok host", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    case HM_CONTACT_COUNT:
      return _table.rowCount();
    case HM_SET_STATUS:
      if (message->size >= sizeof(StatusMessage)) {
        const auto* status = reinterpret_cast<const StatusMessage*>(message);
        _table.setStatus(status->contact, status->status, status->text);
      }
      return 0;
    case HM_PLUGIN_VERSION:
      return p1 == _pluginId ? _pluginVersion : 0;
    case HM_COLUMN_REGISTER: {
      if (message->size < sizeof(ColumnRegister)) return 0;
      const auto* reg = reinterpret_cast<const ColumnRegister*>(message);
      return _table.registerColumn(reg->name ? reg->name : "", reg->type, reg->defaultValue);
    }
    case HM_UI_INSERT: {
      UiItemCopy copy;
      copy.item = event.payloadAs<UiItem>();
      copy.item.text = nullptr;  // the plug-in's; the copy is text
      copy.hasText = event.hasText;
      copy.text = event.text;
      _uiItems.push_back(std::move(copy));
      return 0;
    }
    case HM_NOTIFY_DEFINE:
      if (event.hasText) _notificationWords[event.text] = event.text2;
      return 0;
    case HM_UI_CALL:
      *deliver = p1 != 0;
      return 0;
    case HM_UI_GET_VALUE: {
      const auto* item = reinterpret_cast<const UiItem*>(p1);
      if (!item) return 0;
      const auto live = _liveValues.find({item->contact, item->id});
      if (live != _liveValues.end()) return reinterpret_cast<int32_t>(_table.threadCopy(live->second));
      auto scripted = _uiValues.find(item->contact);
      if (scripted != _uiValues.end())
        return scripted->second ? reinterpret_cast<int32_t>(_table.threadCopy(*scripted->second)) : 0;
      if ((item->id & kBoundControlMask) != kBoundControlId) return 0;
      return reinterpret_cast<int32_t>(_table.boundText(item->contact, item->id & ~kBoundControlMask));
    }
    case HM_ICON_REGISTER: {
      const auto* icon = reinterpret_cast<const IconRecord*>(p1);
      return icon ? icon->iconId : 0;
    }
    default:
      return 0;
  }
}

int __stdcall ContactHost::Send(HostMessage* message) {
  return served([&] { return sendHere(message); });
}

int ContactHost::sendHere(HostMessage* message) {
  if (!message || message->size < 6) return 0;
  HostEvent event = messageEvent(message);
  bool deliver = false;
  event.answer = answer(message, event, &deliver);
  const int32_t p1 = message->p1;
  _log.record(event);
  if (deliver) {
    // HM_UI_CALL: the item's owner gets the event as HM_ACTION.
    HostMessage action{};
    action.size = sizeof action;
    action.id = HM_ACTION;
    action.p1 = p1;
    return postRecord(&action);
  }
  return event.answer;
}

int __stdcall ContactHost::SendTo(int pluginId, HostMessage* message) {
  if (pluginId != GetPluginId()) return 0;
  return postRecord(message);
}

int __stdcall ContactHost::GetRowId(int table, int index) {
  if (table != kContactTable) return -1;
  return _table.rowIdAt(index);
}

int __stdcall ContactHost::GetValue(int table, int row, int column, ColumnValue* value) {
  if (_readObserver && table == kContactTable) _readObserver(row, column);
  return served([&] { return getValueHere(table, row, column, value); });
}

int ContactHost::getValueHere(int table, int row, int column, ColumnValue* value) {
  if (!value) return 0;
  // Another table has no rows: answered like a row that does not exist.
  return _table.readValue(table == kContactTable ? row : -1, column, value);
}

int __stdcall ContactHost::SetValue(int table, int row, int column, ColumnValue* value) {
  return served([&] { return setValueHere(table, row, column, value); });
}

int ContactHost::setValueHere(int table, int row, int column, ColumnValue* value) {
  if (!value) return 0;
  HostEvent event;
  event.kind = HostEvent::Kind::ColumnWrite;
  event.thread = GetCurrentThreadId();
  event.time = GetTickCount();
  event.column = column;
  event.isText = value->kind == kColumnText;
  int found = 0;
  if (table == kContactTable) {
    found = _table.writeValue(row, column, value, &event.row, &event.text);
  } else {
    event.row = row;
  }
  if (found) {
    if (event.isText)
      event.hasText = true;
    else
      event.value = value->value;
  }
  event.answer = found;
  _log.record(std::move(event));
  return found;
}

int __stdcall ContactHost::IsLogLevelOn(int level) {
  std::lock_guard<std::mutex> guard(_lock);
  auto it = _logLevels.find(level);
  if (it != _logLevels.end()) return it->second ? 1 : 0;
  return _allLogLevels ? 1 : 0;
}

}  // namespace VardokHost
