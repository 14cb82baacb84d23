#include "support/threads/threads.h"

#include <process.h>

#include "support/win32_error.h"

// The statically linked threading runtime's (winpthreads') TLS callback.
extern "C" PIMAGE_TLS_CALLBACK __xl_f;

namespace Quorlin {

Thread mainThread(GetCurrentThread(), 0);

Thread::Thread(HANDLE thread, DWORD id) : _id(id) {
  if (thread) {
    HANDLE duplicate = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &duplicate, 0, FALSE,
                        DUPLICATE_SAME_ACCESS))
      _handle.reset(duplicate);
  }
  if (_id == 0 && thread == GetCurrentThread()) _id = GetCurrentThreadId();
}

Thread::~Thread() = default;

bool Thread::invoke(PAPCFUNC fn, ULONG_PTR arg, bool queueAlways) {
  if (!queueAlways && isCurrent()) {
    fn(arg);
    return true;
  }
  return _handle && checkCall(QueueUserAPC(fn, _handle.get(), arg) != 0, "QueueUserAPC");
}

namespace detail {

ModuleHandle pinOwnModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                     reinterpret_cast<LPCSTR>(&pinOwnModule), &module);
  return ModuleHandle(module);
}

void queueModuleRelease(Thread& thread, ModuleHandle module) {
  // FreeLibrary has the shape of an APC routine (one pointer-sized argument,
  // __stdcall) and lives outside this module, so it can run after the call
  // queued in front of it has returned into code that it then unloads.
  auto release = reinterpret_cast<PAPCFUNC>(reinterpret_cast<void*>(&FreeLibrary));
  if (thread.handle() && QueueUserAPC(release, thread.handle(), reinterpret_cast<ULONG_PTR>(module.get())))
    module.release();
  // Otherwise the owner releases it here.
}

namespace {

constexpr DWORD kSetThreadNameException = 0x406D1388;

#pragma pack(push, 4)
struct ThreadNameInfo {
  DWORD type;        // 0x1000
  LPCSTR name;
  DWORD threadId;
  DWORD flags;       // 0
};
#pragma pack(pop)

LONG CALLBACK continueAfterThreadName(EXCEPTION_POINTERS* info) {
  if (info->ExceptionRecord->ExceptionCode == kSetThreadNameException) return EXCEPTION_CONTINUE_EXECUTION;
  return EXCEPTION_CONTINUE_SEARCH;
}

// Names the thread for a debugger: a debugger reads the name from the
// exception; without one, our handler lets the exception pass.
void nameThread(DWORD threadId, const char* name) {
  ThreadNameInfo info{0x1000, name, threadId, 0};
  PVOID handler = AddVectoredExceptionHandler(0, &continueAfterThreadName);
  // Without the handler nobody would catch the exception: no name then.
  if (!handler) return;
  RaiseException(kSetThreadNameException, 0, sizeof info / sizeof(ULONG_PTR),
                 reinterpret_cast<const ULONG_PTR*>(&info));
  RemoveVectoredExceptionHandler(handler);
}

unsigned __stdcall threadTrampoline(void* argument) {
  auto* start = static_cast<ThreadStart*>(argument);
  guarded("thread", [start] { start->run(start->call); });
  start->destroy(start->call);
  HMODULE module = start->module;
  delete start;
  if (module) {
    // The threading runtime frees its record of a thread (a handle and an
    // event) as the thread detaches; a thread whose FreeLibrary unloads the
    // module would detach after the runtime is gone, so it frees it now.
    // Doing it twice is harmless: the record is gone after the first.
    if (__xl_f) __xl_f(nullptr, DLL_THREAD_DETACH, nullptr);
    FreeLibraryAndExitThread(module, 0);
  }
  return 0;
}

}  // namespace

HANDLE startThread(ThreadStart* start, const char* name, SECURITY_ATTRIBUTES* security,
                   bool suspended, DWORD* threadId, unsigned stackReserve) {
  ModuleHandle pinned = pinOwnModule();
  start->module = pinned.get();
  unsigned id = 0;
  unsigned flags = suspended ? CREATE_SUSPENDED : 0;
  if (stackReserve) flags |= STACK_SIZE_PARAM_IS_A_RESERVATION;
  const uintptr_t thread = _beginthreadex(security, stackReserve, &threadTrampoline, start, flags, &id);
  if (!thread) {
    start->destroy(start->call);
    delete start;
    return nullptr;  // the pin is released with its owner
  }
  pinned.release();  // the thread releases it as it ends
  if (threadId) *threadId = id;
  if (name && *name) nameThread(id, name);
  return reinterpret_cast<HANDLE>(thread);
}

}  // namespace detail

namespace {

// The timer objects that exist: a completion routine queued for one whose
// timer the platform would not cancel may run after it is gone.
SRWLOCK g_liveTimersLock = SRWLOCK_INIT;
WaitableTimer* g_liveTimers = nullptr;

}  // namespace

WaitableTimer::WaitableTimer() {
  AcquireSRWLockExclusive(&g_liveTimersLock);
  _nextLive = g_liveTimers;
  if (g_liveTimers) g_liveTimers->_previousLive = this;
  g_liveTimers = this;
  ReleaseSRWLockExclusive(&g_liveTimersLock);
}

bool stopTimer(HANDLE timer) {
  if (!timer) return true;
  if (checkCall(CancelWaitableTimer(timer) != FALSE, "CancelWaitableTimer")) return true;
  LARGE_INTEGER farOff;
  farOff.QuadPart = -100LL * 365 * 24 * 3600 * 10000000;  // relative, in 100 ns: a century
  return checkCall(SetWaitableTimer(timer, &farOff, 0, nullptr, nullptr, FALSE) != FALSE, "SetWaitableTimer");
}

bool WaitableTimer::stopTimer() { return Quorlin::stopTimer(_timer.get()); }

WaitableTimer::~WaitableTimer() {
  stopTimer();
  AcquireSRWLockExclusive(&g_liveTimersLock);
  if (_previousLive) _previousLive->_nextLive = _nextLive;
  else g_liveTimers = _nextLive;
  if (_nextLive) _nextLive->_previousLive = _previousLive;
  ReleaseSRWLockExclusive(&g_liveTimersLock);
}

bool WaitableTimer::isLive(const WaitableTimer* object) {
  AcquireSRWLockShared(&g_liveTimersLock);
  const WaitableTimer* found = g_liveTimers;
  while (found && found != object) found = found->_nextLive;
  ReleaseSRWLockShared(&g_liveTimersLock);
  return found != nullptr;
}

void CALLBACK WaitableTimer::apcRoutine(LPVOID object, DWORD lowTime, DWORD highTime) {
  auto* timer = static_cast<WaitableTimer*>(object);
  if (!isLive(timer)) return;
  if (timer->_armed) timer->_armed = false;
  guarded("timer routine", [&] { timer->onTimer((static_cast<uint64_t>(highTime) << 32) | lowTime); });
}

}  // namespace Quorlin
