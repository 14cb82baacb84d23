#include "hostapi/host.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "support/threads/thread_slot.h"
#include "support/threads/unique_handle.h"

namespace Vardok {

namespace {

std::atomic<HostCore*> g_core{nullptr};
// Calls inside the host, on all threads.
std::atomic<int> g_callsInHost{0};
// Calls inside the host on this thread (a host may call back into the
// plug-in, which may call the host again).
Quorlin::ThreadSlot g_callsInHostHere;
// The calling thread's gate (iCallGate).
Quorlin::ThreadSlot g_gateHere;

// Set when a call returns from the host after detach began.
const Quorlin::EventHandle g_callReturned(CreateEventA(nullptr, FALSE, FALSE, nullptr));
constexpr ULONGLONG kDetachWaitMs = 5000;
constexpr DWORD kDetachPollMs = 50;

constexpr size_t kLogLineBytes = 256;
constexpr size_t kLogLineChars = 254;

void sendLog(int level, const char* format, va_list args) {
  char line[kLogLineBytes];
  vsnprintf(line, kLogLineChars + 1, format, args);
  line[kLogLineChars] = '\0';
  HostMessage message = MakeMessage(HM_LOG, reinterpret_cast<int32_t>(line), level);
  Send(&message);
}

}  // namespace

void attachCore(HostCore* core) { g_core.store(core); }

void detachCore() {
  g_core.store(nullptr);
  // Calls that other threads started before the core was cleared may still
  // be inside the host; wait for them, but not for this thread's own. The
  // wait is bounded; calls that come back later are still skipped.
  waitServingHost(
      g_callReturned.get(),
      [](void*) { return g_callsInHost.load() <= g_callsInHostHere.getInt(); }, nullptr, kDetachWaitMs);
}

bool waitServingHost(HANDLE signal, bool (*done)(void* context), void* context, DWORD timeoutMs) {
  // A host may serve a call of another thread by sending a message to this
  // one, or with an APC to it: both are served while this thread waits.
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (!done(context)) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    const DWORD wait = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kDetachPollMs));
    if (MsgWaitForMultipleObjectsEx(1, &signal, wait, QS_SENDMESSAGE, MWMO_ALERTABLE) == WAIT_OBJECT_0 + 1) {
      MSG message;
      // Delivers the messages sent to this thread; posted ones stay queued.
      PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
  }
  return true;
}

void setThreadCallGate(iCallGate* gate) { g_gateHere.set(gate); }

iCallGate* threadCallGate() { return static_cast<iCallGate*>(g_gateHere.get()); }

bool hasCore() { return g_core.load() != nullptr; }

CoreCall::CoreCall() : _core(nullptr), _gate(threadCallGate()), _counted(false) {
  if (_gate && !_gate->enter()) {
    _gate = nullptr;  // closed: the call is skipped
    return;
  }
  _counted = true;
  // Count first, then read the core: detachCore clears the core first, then
  // reads the count, so one of the two always sees the other.
  g_callsInHost.fetch_add(1);
  g_callsInHostHere.setInt(g_callsInHostHere.getInt() + 1);
  _core = g_core.load();
}

CoreCall::~CoreCall() {
  if (!_counted) return;
  g_callsInHostHere.setInt(g_callsInHostHere.getInt() - 1);
  g_callsInHost.fetch_sub(1);
  if (!g_core.load()) SetEvent(g_callReturned.get());
  if (_gate) _gate->leave();
}

HostMessage MakeMessage(uint32_t id, int32_t p1, int32_t p2) {
  HostMessage message{};
  message.size = sizeof(HostMessage);
  message.id = id;
  message.p1 = p1;
  message.p2 = p2;
  return message;
}

int GetPluginId() {
  CoreCall core;
  return core ? core->GetPluginId() : 0;
}

HINSTANCE GetPluginInstance() {
  CoreCall core;
  return core ? core->GetPluginInstance() : nullptr;
}

int GetHostMode() {
  CoreCall core;
  return core ? core->GetHostMode() : 0;
}

void ReportNotHandled(int code) {
  CoreCall core;
  if (core) core->ReportNotHandled(code);
}

int Send(HostMessage* message) {
  CoreCall core;
  return core ? core->Send(message) : 0;
}

int SendTo(int pluginId, HostMessage* message) {
  CoreCall core;
  return core ? core->SendTo(pluginId, message) : 0;
}

int GetRowId(int table, int index) {
  CoreCall core;
  return core ? core->GetRowId(table, index) : -1;
}

int GetContactInt(int row, int column) {
  ColumnValue value{kColumnInt, 0, 0};
  CoreCall core;
  if (core) core->GetValue(kContactTable, row, column, &value);
  return value.value;
}

std::string GetContactText(int row, int column) {
  ColumnValue value{kColumnText, 0, 0};
  CoreCall core;
  if (!core) return std::string();
  core->GetValue(kContactTable, row, column, &value);
  const char* text = reinterpret_cast<const char*>(value.value);
  return text ? std::string(text) : std::string();
}

void SetContactInt(int row, int column, int value, int mask) {
  if (mask != -1) value |= GetContactInt(row, column) & ~mask;
  ColumnValue cell{kColumnInt, value, 0};
  CoreCall core;
  if (core) core->SetValue(kContactTable, row, column, &cell);
}

void SetContactText(int row, int column, const std::string& text) {
  ColumnValue cell{kColumnText, reinterpret_cast<int32_t>(text.c_str()), 0};
  CoreCall core;
  if (core) core->SetValue(kContactTable, row, column, &cell);
}

int SendSimple(uint32_t id, int32_t p1, int32_t p2) {
  HostMessage message = MakeMessage(id, p1, p2);
  return Send(&message);
}

int SendRouted(uint32_t id, int32_t routeType, int32_t routeTarget, int32_t p1, int32_t p2) {
  HostMessage message = MakeMessage(id, p1, p2);
  message.routeType = routeType;
  message.routeTarget = routeTarget;
  return Send(&message);
}

void Log(const char* format, ...) {
  if (!hasCore()) return;
  va_list args;
  va_start(args, format);
  sendLog(kLogAlways, format, args);
  va_end(args);
}

void LogIf(int level, const char* format, ...) {
  {
    CoreCall core;
    if (!core || !core->IsLogLevelOn(level)) return;
  }
  va_list args;
  va_start(args, format);
  sendLog(level, format, args);
  va_end(args);
}

void SetContactStatus(int contact, int status, const char* text) {
  StatusMessage message{};
  message.size = sizeof(StatusMessage);
  message.id = HM_SET_STATUS;
  message.contact = contact;
  message.status = status;
  message.text = text;
  Send(reinterpret_cast<HostMessage*>(&message));
}

void RaiseNotification(const char* name, int contact) {
  SendRouted(HM_NOTIFY_RAISE, kNotifyRouteType, kNotifyRouteTarget,
             reinterpret_cast<int32_t>(name), contact);
}

void LogPlatformFailure(const char* line) { LogIf(kLogError, "Vardok: %s", line); }

}  // namespace Vardok
