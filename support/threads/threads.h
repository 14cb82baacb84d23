// The threading kit: a reference to a thread through which calls can be run
// on that thread, queued member calls, threads for bound calls, and the
// waitable-timer base class.
//
// Queued calls and timer routines run only while their thread waits
// alertably (SleepEx, WaitForSingleObjectEx, MsgWaitForMultipleObjectsEx
// with MWMO_ALERTABLE, ... with the alertable flag set).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include <windows.h>

#include "support/boundary.h"
#include "support/threads/unique_handle.h"

namespace Quorlin {

// One thread, by a real handle and its id. Owns a duplicate of the handle
// it was given; any thread may call invoke.
class Thread {
 public:
  // thread may be the pseudo-handle of the current thread (it is duplicated
  // into a real one) or null. An id of 0 is worked out when thread is the
  // current thread's pseudo-handle; otherwise it stays 0.
  Thread(HANDLE thread, DWORD id);
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Runs fn(arg) at once when called on this thread and queueAlways is
  // false; otherwise queues it as an APC to this thread. Answers whether the
  // call ran or was queued.
  virtual bool invoke(PAPCFUNC fn, ULONG_PTR arg, bool queueAlways);

  DWORD id() const { return _id; }
  HANDLE handle() const { return _handle.get(); }
  bool isCurrent() const { return GetCurrentThreadId() == _id; }

 private:
  ThreadHandle _handle;
  DWORD _id;
};

// The thread that loaded the library: it runs the message procedure, sets
// every timer and runs the timer routines and queued re-arming calls.
extern Thread mainThread;

namespace detail {

// Runs a heap-held call, then frees it. The module that holds this code is
// pinned by postCall until the call has run. A boundary: what the call
// throws is reported and goes no further.
template <typename Call>
void CALLBACK postedTrampoline(ULONG_PTR record) {
  std::unique_ptr<Call> call(reinterpret_cast<Call*>(record));
  guarded("queued call", [&] { (*call)(); });
}

// Takes a reference on the module that holds this code.
ModuleHandle pinOwnModule();
// Queues the release of a pinned module behind the calls already queued to
// thread; releases it at once when that fails.
void queueModuleRelease(Thread& thread, ModuleHandle module);

}  // namespace detail

// Runs call on thread: at once when the caller is that thread and
// queueAlways is false, else queued. A queued call keeps the library loaded
// until it has run, so unloading with calls in the queue is safe. Whatever
// the call throws is reported to the failure log and stops there. A call
// that cannot be kept or queued (no memory, no thread) is reported too, and
// answered false.
template <typename Call>
bool postCall(Thread& thread, Call call, bool queueAlways) {
  Call* record = nullptr;
  try {
    record = new Call(std::move(call));
  } catch (...) {
    reportCaught("queued call");
    return false;
  }
  const bool queued = queueAlways || !thread.isCurrent();
  ModuleHandle pinned = queued ? detail::pinOwnModule() : ModuleHandle();
  const bool ok = thread.invoke(&detail::postedTrampoline<Call>, reinterpret_cast<ULONG_PTR>(record), queueAlways);
  if (!ok) {
    delete record;
    return false;  // the pin is released with its owner
  }
  if (pinned) detail::queueModuleRelease(thread, std::move(pinned));
  return true;
}

// A member function and the object to call it on.
template <typename T>
bool postCall(Thread& thread, std::pair<void (T::*)(), T*> call, bool queueAlways) {
  return postCall(thread, [call] { (call.second->*call.first)(); }, queueAlways);
}

namespace detail {
struct ThreadStart {
  void (*run)(void* call);
  void (*destroy)(void* call);
  void* call;
  HMODULE module;
};
HANDLE startThread(ThreadStart* start, const char* name, SECURITY_ATTRIBUTES* security,
                   bool suspended, DWORD* threadId, unsigned stackReserve);
}  // namespace detail

// Runs a copy of call on a new thread and answers the thread's handle,
// owned by the caller (null on failure, with the error set; also when the
// copy of call cannot be made). Whatever the call throws is reported to
// the failure log and ends the thread as if the call had returned. A non-empty name is given to a
// debugger, if one listens. The thread keeps the library loaded while it
// runs and ends through FreeLibraryAndExitThread, so the host may unload
// the library while a thread still runs. stackReserve 0 takes the
// program's default stack reservation.
template <typename Call>
HANDLE startThread(const Call& call, const char* name = nullptr, SECURITY_ATTRIBUTES* security = nullptr,
                   bool suspended = false, DWORD* threadId = nullptr, unsigned stackReserve = 0) {
  detail::ThreadStart* start = nullptr;
  try {
    start = new detail::ThreadStart{
        [](void* c) { (*static_cast<Call*>(c))(); },
        [](void* c) { delete static_cast<Call*>(c); },
        new Call(call),
        nullptr};
  } catch (...) {
    // No memory for the call: no thread, as when the platform refuses one.
    reportCaught("thread");
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return detail::startThread(start, name, security, suspended, threadId, stackReserve);
}

// Stops a waitable timer and drops a firing of its routine that is queued
// but has not run. Should the platform refuse to cancel, the timer is set
// again a century off without a routine, which drops the queued firing as
// well; false when both fail (each failure is reported).
bool stopTimer(HANDLE timer);

// Owns one waitable timer and turns its firing into onTimer. The derived
// class creates the timer and sets it, with apcRoutine as the completion
// routine and the object as its argument. Destruction cancels the timer,
// which also drops a firing that is queued but has not run: after the
// destructor the routine never runs for this object.
class WaitableTimer {
 public:
  WaitableTimer();
  virtual ~WaitableTimer();
  WaitableTimer(const WaitableTimer&) = delete;
  WaitableTimer& operator=(const WaitableTimer&) = delete;

  virtual void onTimer(uint64_t firingTime) = 0;

  // The completion routine: clears _armed, then calls onTimer. Whatever
  // onTimer throws is reported to the failure log and stops there. A
  // routine for an object that no longer exists (the platform refused to
  // cancel its timer) does nothing.
  static void CALLBACK apcRoutine(LPVOID object, DWORD lowTime, DWORD highTime);

  bool armed() const { return _armed; }

 protected:
  // Quorlin::stopTimer of this object's timer.
  bool stopTimer();

  TimerHandle _timer;
  // Set on the main thread; a run's worker clears it too.
  std::atomic<bool> _armed{false};

 private:
  // Whether object is a timer object that exists now.
  static bool isLive(const WaitableTimer* object);
  // Every timer object that exists, linked through these.
  WaitableTimer* _previousLive = nullptr;
  WaitableTimer* _nextLive = nullptr;
};

}  // namespace Quorlin
