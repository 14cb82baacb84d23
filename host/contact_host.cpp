#include "host/contact_host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <wininet.h>

#include "plugin/messages.h"

namespace VardokHost {

using namespace Vardok;

namespace {

// The host's copy of a text handed to the plug-in: valid until the next
// call on the same thread, so calls from other threads never free it.
thread_local std::string t_textAnswer;

template <typename T>
T readAt(const std::vector<uint8_t>& bytes, size_t offset) {
  T value{};
  if (offset + sizeof(T) <= bytes.size()) std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return value;
}

std::vector<uint8_t> copyBytes(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  return std::vector<uint8_t>(bytes, bytes + size);
}

const char* pointerAt(const void* record, size_t offset) {
  int32_t value;
  std::memcpy(&value, static_cast<const uint8_t*>(record) + offset, sizeof value);
  return reinterpret_cast<const char*>(value);
}

void copyText(HostEvent& event, const char* text) {
  event.hasText = text != nullptr;
  if (text) event.text = text;
}

// Copies what the message points to, while the plug-in keeps it alive.
void describe(const HostMessage* message, HostEvent& event) {
  const size_t size = message->size;
  auto pointer = [&](size_t offset) -> const char* {
    return size >= offset + 4 ? pointerAt(message, offset) : nullptr;
  };
  switch (message->id) {
    case HM_LOG:
    case HM_NOTIFY_RAISE:
      copyText(event, pointer(22));
      break;
    case HM_SET_STATUS:
      copyText(event, pointer(30));
      break;
    case HM_NOTIFY_SHOW:
      copyText(event, pointer(24));
      break;
    case HM_NOTIFY_DEFINE:
      copyText(event, pointer(28));
      if (const char* description = pointer(32)) event.text2 = description;
      break;
    case HM_COLUMN_REGISTER:
      copyText(event, pointer(35));
      break;
    case HM_UI_INSERT:
    case HM_UI_GET_VALUE:
    case HM_UI_SET_STATE:
      if (const auto* item = reinterpret_cast<const uint8_t*>(pointer(22))) {
        uint16_t itemSize;
        std::memcpy(&itemSize, item, sizeof itemSize);
        event.payload = copyBytes(item, std::min<size_t>(itemSize, sizeof(UiItemWide)));
        if (itemSize >= 54) copyText(event, pointerAt(item, 50));
      }
      break;
    case HM_ICON_REGISTER:
      if (const char* icon = pointer(22)) event.payload = copyBytes(icon, sizeof(IconRecord));
      break;
    case HM_UI_CALL:
      if (const char* action = pointer(22)) event.payload = copyBytes(action, sizeof(ActionEvent));
      break;
    default:
      break;
  }
}

}  // namespace

// --- HostEvent, UiItemCopy ---

int32_t HostEvent::i32(size_t offset) const { return readAt<int32_t>(record, offset); }
int16_t HostEvent::i16(size_t offset) const { return readAt<int16_t>(record, offset); }
uint16_t HostEvent::u16(size_t offset) const { return readAt<uint16_t>(record, offset); }
uint8_t HostEvent::u8(size_t offset) const { return readAt<uint8_t>(record, offset); }
int32_t HostEvent::payloadI32(size_t offset) const { return readAt<int32_t>(payload, offset); }
int16_t HostEvent::payloadI16(size_t offset) const { return readAt<int16_t>(payload, offset); }
int32_t UiItemCopy::i32(size_t offset) const { return readAt<int32_t>(record, offset); }
int16_t UiItemCopy::i16(size_t offset) const { return readAt<int16_t>(record, offset); }

std::string versionText(int packedVersion) {
  const unsigned version = static_cast<unsigned>(packedVersion);
  char text[32];
  const unsigned build = version & 0xFFF;
  if (build)
    snprintf(text, sizeof text, "%u.%u.%u.%u", version >> 28, (version >> 20) & 0xFF,
             (version >> 12) & 0xFF, build);
  else
    snprintf(text, sizeof text, "%u.%u.%u", version >> 28, (version >> 20) & 0xFF,
             (version >> 12) & 0xFF);
  return text;
}

std::string programFolder() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of("\\/") + 1);
}

// --- PluginModule ---

PluginModule::PluginModule(MessageProc proc, HMODULE module, bool owned)
    : _proc(proc), _module(module), _owned(owned) {}

PluginModule::~PluginModule() { unload(); }

std::unique_ptr<PluginModule> PluginModule::load(const std::string& path, std::string* error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (!module) {
    if (error) *error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return nullptr;
  }
  auto proc = reinterpret_cast<MessageProc>(
      reinterpret_cast<void*>(GetProcAddress(module, "_IMessageProc@4")));
  if (!proc) {
    if (error) *error = path + " does not export _IMessageProc@4";
    FreeLibrary(module);
    return nullptr;
  }
  return std::unique_ptr<PluginModule>(new PluginModule(proc, module, true));
}

std::unique_ptr<PluginModule> PluginModule::linked(MessageProc proc) {
  return std::unique_ptr<PluginModule>(new PluginModule(proc, GetModuleHandleA(nullptr), false));
}

void PluginModule::unload() {
  if (_owned && _module) FreeLibrary(_module);
  _module = nullptr;
  _proc = nullptr;
}

// --- ContactHost: the table ---

ContactHost::ContactHost() {
  _columns[kColumnNetwork] = {"network", 0, 0};
  _columns[kColumnStatus] = {"status", 0, 0};
  _columns[kColumnDisplay] = {"display", 1, 0};
  _columns[kColumnIcon] = {"icon", 0, 0};
  _columns[kColumnDescription] = {"description", 1, 0};
  addContact(0);  // the user's own entry
}

ContactHost::~ContactHost() = default;

int ContactHost::addContact(int network) {
  std::lock_guard<std::mutex> guard(_lock);
  Row row;
  row.id = kRowIdBase + _nextSerial++;
  row.cells[kColumnNetwork].hasInt = true;
  row.cells[kColumnNetwork].intValue = network;
  _rows.push_back(std::move(row));
  return _rows.back().id;
}

void ContactHost::removeContact(int rowId) {
  std::lock_guard<std::mutex> guard(_lock);
  _rows.erase(std::remove_if(_rows.begin(), _rows.end(), [&](const Row& r) { return r.id == rowId; }),
              _rows.end());
}

int ContactHost::rowCount() const {
  std::lock_guard<std::mutex> guard(_lock);
  return static_cast<int>(_rows.size());
}

int ContactHost::rowIdAt(int index) const {
  std::lock_guard<std::mutex> guard(_lock);
  if (index < 0 || index >= static_cast<int>(_rows.size())) return -1;
  return _rows[index].id;
}

int ContactHost::rowIndexOf(int rowId) const {
  std::lock_guard<std::mutex> guard(_lock);
  for (size_t i = 0; i < _rows.size(); ++i)
    if (_rows[i].id == rowId) return static_cast<int>(i);
  return -1;
}

ContactHost::Row* ContactHost::findRowLocked(int row) {
  if (row >= 0 && row < kRowIdBase) return row < static_cast<int>(_rows.size()) ? &_rows[row] : nullptr;
  for (Row& r : _rows)
    if (r.id == row) return &r;
  return nullptr;
}

const ContactHost::Row* ContactHost::findRowLocked(int row) const {
  return const_cast<ContactHost*>(this)->findRowLocked(row);
}

bool ContactHost::hasColumnLocked(int column) const { return _columns.count(column) != 0; }

int ContactHost::getInt(int row, int column) const {
  std::lock_guard<std::mutex> guard(_lock);
  const Row* r = findRowLocked(row);
  if (!r || !hasColumnLocked(column)) return 0;
  auto cell = r->cells.find(column);
  if (cell != r->cells.end() && cell->second.hasInt) return cell->second.intValue;
  return _columns.at(column).defaultValue;
}

std::optional<std::string> ContactHost::getText(int row, int column) const {
  std::lock_guard<std::mutex> guard(_lock);
  const Row* r = findRowLocked(row);
  if (!r || !hasColumnLocked(column)) return std::nullopt;
  auto cell = r->cells.find(column);
  if (cell == r->cells.end() || !cell->second.hasText) return std::nullopt;
  return cell->second.text;
}

void ContactHost::setInt(int row, int column, int value) {
  std::lock_guard<std::mutex> guard(_lock);
  if (Row* r = findRowLocked(row)) {
    r->cells[column].hasInt = true;
    r->cells[column].intValue = value;
  }
}

void ContactHost::setText(int row, int column, const std::string& text) {
  std::lock_guard<std::mutex> guard(_lock);
  if (Row* r = findRowLocked(row)) {
    r->cells[column].hasText = true;
    r->cells[column].text = text;
  }
}

std::string ContactHost::statusText(int row) const {
  std::lock_guard<std::mutex> guard(_lock);
  const Row* r = findRowLocked(row);
  return r ? r->statusText : std::string();
}

int ContactHost::columnId(const std::string& name) const {
  std::lock_guard<std::mutex> guard(_lock);
  for (const auto& column : _columns)
    if (column.first >= kFirstColumnId && column.second.name == name) return column.first;
  return 0;
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

// --- recording ---

void ContactHost::record(HostEvent event) {
  std::function<void(const HostEvent&)> observer;
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  event.ticks = now.QuadPart;
  {
    std::lock_guard<std::mutex> guard(_lock);
    event.sequence = ++_sequence;
    _events.push_back(event);
    observer = _observer;
  }
  if (observer) observer(event);
}

std::vector<HostEvent> ContactHost::events() const {
  std::lock_guard<std::mutex> guard(_lock);
  return _events;
}

std::vector<HostEvent> ContactHost::messages(uint32_t id) const {
  std::lock_guard<std::mutex> guard(_lock);
  std::vector<HostEvent> found;
  for (const HostEvent& e : _events)
    if (e.kind == HostEvent::Kind::Message && e.id == id) found.push_back(e);
  return found;
}

std::vector<HostEvent> ContactHost::columnWrites(int rowId, int column) const {
  std::lock_guard<std::mutex> guard(_lock);
  std::vector<HostEvent> found;
  for (const HostEvent& e : _events)
    if (e.kind == HostEvent::Kind::ColumnWrite && e.row == rowId && e.column == column)
      found.push_back(e);
  return found;
}

size_t ContactHost::notHandledCount() const {
  std::lock_guard<std::mutex> guard(_lock);
  return std::count_if(_events.begin(), _events.end(),
                       [](const HostEvent& e) { return e.kind == HostEvent::Kind::NotHandled; });
}

std::vector<UiItemCopy> ContactHost::uiItems() const {
  std::lock_guard<std::mutex> guard(_lock);
  return _uiItems;
}

std::vector<std::string> ContactHost::logLines() const {
  std::vector<std::string> lines;
  for (const HostEvent& e : messages(HM_LOG)) lines.push_back(e.text);
  return lines;
}

void ContactHost::clearEvents() {
  std::lock_guard<std::mutex> guard(_lock);
  _events.clear();
}

void ContactHost::setObserver(std::function<void(const HostEvent&)> observer) {
  std::lock_guard<std::mutex> guard(_lock);
  _observer = std::move(observer);
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
  record(std::move(event));
  return 0;
}

int ContactHost::answerLocked(HostMessage* message, HostEvent& event, bool* deliver) {
  *deliver = false;
  const bool full = message->size >= sizeof(HostMessage);
  const int32_t p1 = full ? message->p1 : 0;
  const int32_t p2 = full ? message->p2 : 0;

  if (message->routeType == kPopupRouteType) {
    if (message->id == HM_ID_NET) return _popupService ? 1 : 0;
    return 0;
  }
  switch (message->id) {
    case HM_VERSION_TEXT: {
      char* buffer = reinterpret_cast<char*>(p2);
      if (!buffer) return 0;
      const std::string text = versionText(p1);
      snprintf(buffer, 32, "%s", text.c_str());
      return p2;
    }
    case HM_GET_INTERNET:
      return reinterpret_cast<int32_t>(
          InternetOpenA("Vardok host", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    case HM_CONTACT_COUNT:
      return static_cast<int>(_rows.size());
    case HM_SET_STATUS:
      if (message->size >= sizeof(StatusMessage)) {
        const auto* status = reinterpret_cast<const StatusMessage*>(message);
        if (Row* row = findRowLocked(status->contact)) {
          row->cells[kColumnStatus].hasInt = true;
          row->cells[kColumnStatus].intValue = status->status & 0xFF;
          row->statusText = status->text ? status->text : "";
        }
      }
      return 0;
    case HM_PLUGIN_VERSION:
      return p1 == _pluginId ? _pluginVersion : 0;
    case HM_COLUMN_REGISTER: {
      if (message->size < sizeof(ColumnRegister)) return 0;
      const auto* reg = reinterpret_cast<const ColumnRegister*>(message);
      const int id = _nextColumn++;
      _columns[id] = {reg->name ? reg->name : "", reg->type, reg->defaultValue};
      return id;
    }
    case HM_UI_INSERT: {
      UiItemCopy copy;
      copy.record = event.payload;
      copy.hasText = event.hasText;
      copy.text = event.text;
      _uiItems.push_back(std::move(copy));
      return 0;
    }
    case HM_UI_CALL:
      *deliver = p1 != 0;
      return 0;
    case HM_UI_GET_VALUE: {
      const auto* item = reinterpret_cast<const UiItem*>(p1);
      if (!item) return 0;
      auto scripted = _uiValues.find(item->contact);
      if (scripted != _uiValues.end()) {
        if (!scripted->second) return 0;
        t_textAnswer = *scripted->second;
        return reinterpret_cast<int32_t>(t_textAnswer.c_str());
      }
      const int column = item->id & 0xFFFFFF;
      const Row* row = findRowLocked(item->contact);
      if (!row || (item->id & 0xFF000000) != 0x13000000) return 0;
      auto cell = row->cells.find(column);
      t_textAnswer = cell != row->cells.end() && cell->second.hasText ? cell->second.text : "";
      return reinterpret_cast<int32_t>(t_textAnswer.c_str());
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
  if (!message || message->size < 6) return 0;
  HostEvent event;
  event.kind = HostEvent::Kind::Message;
  event.thread = GetCurrentThreadId();
  event.time = GetTickCount();
  event.id = message->id;
  event.record = copyBytes(message, message->size);
  describe(message, event);

  bool deliver = false;
  {
    std::lock_guard<std::mutex> guard(_lock);
    event.answer = answerLocked(message, event, &deliver);
  }
  const int32_t p1 = message->p1;
  record(event);
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
  return rowIdAt(index);
}

int __stdcall ContactHost::GetValue(int table, int row, int column, ColumnValue* value) {
  if (!value) return 0;
  std::lock_guard<std::mutex> guard(_lock);
  const Row* r = table == kContactTable ? findRowLocked(row) : nullptr;
  const bool found = r && hasColumnLocked(column);
  if (value->kind == kColumnInt) {
    value->value = 0;
    if (!found) return 0;
    auto cell = r->cells.find(column);
    value->value = cell != r->cells.end() && cell->second.hasInt ? cell->second.intValue
                                                                  : _columns.at(column).defaultValue;
    return 1;
  }
  const std::string* text = nullptr;
  if (found) {
    auto cell = r->cells.find(column);
    if (cell != r->cells.end() && cell->second.hasText) text = &cell->second.text;
  }
  if (value->bufferSize > 0) {
    char* buffer = reinterpret_cast<char*>(value->value);
    if (buffer) snprintf(buffer, value->bufferSize, "%s", text ? text->c_str() : "");
  } else if (text) {
    t_textAnswer = *text;
    value->value = reinterpret_cast<int32_t>(t_textAnswer.c_str());
  } else {
    value->value = 0;
  }
  return found ? 1 : 0;
}

int __stdcall ContactHost::SetValue(int table, int row, int column, ColumnValue* value) {
  if (!value) return 0;
  HostEvent event;
  event.kind = HostEvent::Kind::ColumnWrite;
  event.thread = GetCurrentThreadId();
  event.time = GetTickCount();
  event.column = column;
  event.isText = value->kind == kColumnText;
  int found = 0;
  {
    std::lock_guard<std::mutex> guard(_lock);
    Row* r = table == kContactTable ? findRowLocked(row) : nullptr;
    event.row = r ? r->id : row;
    if (r && hasColumnLocked(column)) {
      found = 1;
      Cell& cell = r->cells[column];
      if (event.isText) {
        const char* text = reinterpret_cast<const char*>(value->value);
        cell.hasText = true;
        cell.text = text ? text : "";
        event.text = cell.text;
        event.hasText = true;
      } else {
        cell.hasInt = true;
        cell.intValue = value->value;
        event.value = value->value;
      }
    }
  }
  event.answer = found;
  record(std::move(event));
  return found;
}

int __stdcall ContactHost::IsLogLevelOn(int level) {
  std::lock_guard<std::mutex> guard(_lock);
  auto it = _logLevels.find(level);
  if (it != _logLevels.end()) return it->second ? 1 : 0;
  return _allLogLevels ? 1 : 0;
}

}  // namespace VardokHost
