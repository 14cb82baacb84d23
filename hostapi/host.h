// The plug-in's access to the host: the core pointer and the shorthands
// that every part of the plug-in calls.
//
// Any thread. Every call goes through CoreCall, which counts the calls that
// are inside the host; detachCore() clears the core and then waits until
// the calls that other threads already made have returned, so no host call
// starts after detach has returned. Without a core every shorthand does
// nothing and answers 0 or an empty text.
#pragma once

#include <cstdint>
#include <string>

#include "hostapi/host_core.h"
#include "hostapi/messages.h"

namespace Vardok {

// Keeps the core for later calls (HM_ATTACH_CORE). Main thread only.
void attachCore(HostCore* core);
// Forgets the core and waits for calls already inside the host
// (HM_DETACH_CORE). Main thread only.
void detachCore();
bool hasCore();

// A gate that a thread's host calls pass, for as long as the thread has
// it (setThreadCallGate): a run's calls pass its gate, and when its
// contact is removed the gate closes and waits for the call in flight, so
// nothing of the run reaches the contact's row once the host has been told
// the removal is done.
class iCallGate {
 public:
  // False: the gate is closed, and the call is skipped.
  virtual bool enter() = 0;
  // The call that entered has returned.
  virtual void leave() = 0;

 protected:
  ~iCallGate() = default;
};

// The calling thread's gate; null: none. The caller keeps the gate alive
// for as long as it is set.
void setThreadCallGate(iCallGate* gate);
iCallGate* threadCallGate();

// Waits until done() holds, at most timeoutMs, serving what the host may
// need meanwhile: messages sent to this thread and APCs. signal is set
// whenever done() may have changed. Answers done().
bool waitServingHost(HANDLE signal, bool (*done)(void* context), void* context, DWORD timeoutMs);

// One call into the host: holds the core for the scope of the call, and
// passes the thread's gate.
class CoreCall {
 public:
  CoreCall();
  ~CoreCall();
  CoreCall(const CoreCall&) = delete;
  CoreCall& operator=(const CoreCall&) = delete;

  explicit operator bool() const { return _core != nullptr; }
  HostCore* operator->() const { return _core; }

 private:
  HostCore* _core;
  iCallGate* _gate;  // entered; null: none, or closed
  bool _counted;     // passed the gate, and counted for detach
};

int GetPluginId();
HINSTANCE GetPluginInstance();
int GetHostMode();
void ReportNotHandled(int code);
int Send(HostMessage* message);
int SendTo(int pluginId, HostMessage* message);
int GetRowId(int table, int index);

// Contact columns (table 1); rows by index or by id.
int GetContactInt(int row, int column);
// Copies the host's text at once; a missing text is empty.
std::string GetContactText(int row, int column);
// mask -1 writes value; any other mask keeps the old bits outside it:
// value OR (old AND NOT mask).
void SetContactInt(int row, int column, int value, int mask = -1);
void SetContactText(int row, int column, const std::string& text);

// A 30-byte message with zero routing words.
int SendSimple(uint32_t id, int32_t p1, int32_t p2);
int SendRouted(uint32_t id, int32_t routeType, int32_t routeTarget, int32_t p1, int32_t p2);

// HM_LOG at level 256. A line keeps at most 254 characters.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
// HM_LOG only when the host wants lines of this level.
void LogIf(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Where the support library's failure lines go while the plug-in is
// attached (Quorlin::setFailureLog): the host's log at the error level.
void LogPlatformFailure(const char* line);

void SetContactStatus(int contact, int status, const char* text);
void RaiseNotification(const char* name, int contact);

// Answers a zeroed 30-byte message with the given id and parameters.
HostMessage MakeMessage(uint32_t id, int32_t p1 = 0, int32_t p2 = 0);

}  // namespace Vardok
