// What the threading runtime linked into the DLL leaves behind at unload,
// given back.
//
// The DLL links the mingw-w64 winpthreads library statically (the C++
// runtime's mutexes, thread-specific data and exceptions use it). On its
// first use it takes a TLS index with TlsAlloc, and for each thread that
// uses it a record holding a duplicated thread handle and an event; it
// frees a thread's record when the thread ends, but never the index, and
// never the record of a thread that outlives the DLL (the host's main
// thread). So every load and unload of the plug-in cost the host one TLS
// index and two handles, and after about a thousand the host would run out
// of TLS indexes.
//
// The runtime also makes semaphores that it never closes: those of its own
// static locks (the lock of its thread-specific keys, taken the first time
// the C++ runtime keeps a per-thread value, as when something is first
// thrown) and of the C++ runtime's static condition (the first time two
// threads meet at the initialization of one function-local static). Each
// load and unload left them behind in the host. So the DLL's imports of
// CreateSemaphoreA and CloseHandle go through a record of the semaphores
// the DLL made and has not closed, and the last exit function closes what
// is left in it; by then nothing of the DLL runs any more.
//
// And the C++ runtime keeps each thread's exception state (what is being
// caught, how many are in flight) in emulated thread-local storage, which
// takes it from the heap the first time a thread throws, and ends the
// process when the heap refuses: just when a std::bad_alloc is on its way.
// So the DLL answers the runtime's __cxa_get_globals itself: a TLS slot of
// its own points at the thread's state, taken from a pool in the DLL's
// data (the heap only once the pool is used up, and one shared state when
// even that fails), and given back as the thread ends.
//
// As the DLL's first static object is made, the runtime's index is found:
// the one whose value on this thread is the runtime's record of this thread.
// The host's thread gives its record back as it detaches the plug-in, each
// of the plug-in's own threads as it lets the module go, and the thread
// that unloads the DLL as the last of the DLL's exit functions runs; then
// the index is freed.
#include <pthread.h>
#include <stdlib.h>

#include <windows.h>

#include "plugin/threading_runtime.h"

// winpthreads' TLS callback, which frees the calling thread's record on
// DLL_THREAD_DETACH, and its record of a thread.
extern "C" PIMAGE_TLS_CALLBACK __xl_f;
extern "C" void* __pth_gpointer_locked(pthread_t thread);

// The DLL's import-table entries of the two calls.
using CreateSemaphoreFunction = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCSTR);
using CloseHandleFunction = BOOL(WINAPI*)(HANDLE);
extern "C" CreateSemaphoreFunction g_importCreateSemaphore __asm__("__imp__CreateSemaphoreA@16");
extern "C" CloseHandleFunction g_importCloseHandle __asm__("__imp__CloseHandle@4");

namespace Vardok {

namespace {

bool g_processEnding = false;

// TLS_MINIMUM_AVAILABLE plus the expansion slots: every index there is.
constexpr DWORD kTlsIndexes = 1088;

// winpthreads' index, once found.
DWORD g_index = TLS_OUT_OF_INDEXES;

// --- each thread's exception state ---

// The C++ runtime's record (abi::__cxa_eh_globals on this platform).
struct ExceptionState {
  void* caughtExceptions;
  unsigned int uncaughtExceptions;
};

constexpr unsigned kPooledStates = 256;
ExceptionState g_states[kPooledStates];
LONG g_stateTaken[kPooledStates];
// For a thread that got none: shared, which only matters when two such
// threads handle exceptions at once.
ExceptionState g_lastResortState;
LONG g_stateIndex = static_cast<LONG>(TLS_OUT_OF_INDEXES);

DWORD stateIndex() {
  const LONG index = g_stateIndex;
  if (index != static_cast<LONG>(TLS_OUT_OF_INDEXES)) return static_cast<DWORD>(index);
  const DWORD fresh = TlsAlloc();
  if (fresh == TLS_OUT_OF_INDEXES) return fresh;
  const LONG earlier = InterlockedCompareExchange(&g_stateIndex, static_cast<LONG>(fresh),
                                                  static_cast<LONG>(TLS_OUT_OF_INDEXES));
  if (earlier == static_cast<LONG>(TLS_OUT_OF_INDEXES)) return fresh;
  TlsFree(fresh);
  return static_cast<DWORD>(earlier);
}

ExceptionState* newState() {
  for (unsigned i = 0; i < kPooledStates; ++i) {
    if (InterlockedCompareExchange(&g_stateTaken[i], 1, 0) != 0) continue;
    g_states[i] = ExceptionState{};
    return &g_states[i];
  }
  return static_cast<ExceptionState*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(ExceptionState)));
}

ExceptionState* threadState() {
  const DWORD error = GetLastError();
  const DWORD index = stateIndex();
  if (index == TLS_OUT_OF_INDEXES) return &g_lastResortState;
  auto* state = static_cast<ExceptionState*>(TlsGetValue(index));
  if (!state) {
    state = newState();
    if (!state) state = &g_lastResortState;
    TlsSetValue(index, state);
  }
  SetLastError(error);
  return state;
}

void releaseState() {
  const LONG index = g_stateIndex;
  if (index == static_cast<LONG>(TLS_OUT_OF_INDEXES)) return;
  auto* state = static_cast<ExceptionState*>(TlsGetValue(static_cast<DWORD>(index)));
  if (!state || state == &g_lastResortState) return;
  TlsSetValue(static_cast<DWORD>(index), nullptr);
  if (state >= g_states && state < g_states + kPooledStates)
    InterlockedExchange(&g_stateTaken[state - g_states], 0);
  else
    HeapFree(GetProcessHeap(), 0, state);
}

void NTAPI onThreadEvent(PVOID, DWORD reason, PVOID) {
  if (reason == DLL_THREAD_DETACH) releaseState();
}

// Called by the loader as each thread ends, as winpthreads' own is.
extern "C" __attribute__((section(".CRT$XLF"), used)) const PIMAGE_TLS_CALLBACK vardokExceptionStateCallback =
    &onThreadEvent;

// --- the semaphores the DLL made and has not closed ---

constexpr size_t kSemaphores = 64;
SRWLOCK g_semaphoreLock = SRWLOCK_INIT;
HANDLE g_semaphores[kSemaphores];
CreateSemaphoreFunction g_createSemaphore = nullptr;
CloseHandleFunction g_closeHandle = nullptr;

HANDLE WINAPI createRecordedSemaphore(LPSECURITY_ATTRIBUTES security, LONG initial, LONG maximum, LPCSTR name) {
  const HANDLE semaphore = g_createSemaphore(security, initial, maximum, name);
  if (!semaphore) return semaphore;
  AcquireSRWLockExclusive(&g_semaphoreLock);
  // A full record only means that one more is left behind.
  for (HANDLE& slot : g_semaphores) {
    if (slot) continue;
    slot = semaphore;
    break;
  }
  ReleaseSRWLockExclusive(&g_semaphoreLock);
  return semaphore;
}

BOOL WINAPI closeRecordedHandle(HANDLE handle) {
  if (handle) {
    AcquireSRWLockExclusive(&g_semaphoreLock);
    for (HANDLE& slot : g_semaphores)
      if (slot == handle) slot = nullptr;
    ReleaseSRWLockExclusive(&g_semaphoreLock);
  }
  return g_closeHandle(handle);
}

template <typename Function>
void redirect(Function* entry, Function replacement, Function* original) {
  DWORD protection;
  if (!VirtualProtect(entry, sizeof *entry, PAGE_READWRITE, &protection)) return;
  *original = *entry;
  *entry = replacement;
  VirtualProtect(entry, sizeof *entry, protection, &protection);
}

void closeSemaphoresLeft() {
  for (HANDLE& slot : g_semaphores) {
    if (slot && g_closeHandle) g_closeHandle(slot);
    slot = nullptr;
  }
}

// Gives back the calling thread's record and the index. Runs last of all
// at unload: the C runtime's exit functions run in the reverse order of
// their registration, and this one is registered before any other (the
// C++ runtime's own, which may still use the threading runtime, among
// them).
void giveBack() {
  if (g_processEnding) return;
  if (g_index != TLS_OUT_OF_INDEXES) {
    if (TlsGetValue(g_index) && __xl_f) __xl_f(nullptr, DLL_THREAD_DETACH, nullptr);
    TlsFree(g_index);
  }
  closeSemaphoresLeft();
  if (g_stateIndex != static_cast<LONG>(TLS_OUT_OF_INDEXES)) TlsFree(static_cast<DWORD>(g_stateIndex));
}

int registerGiveBack() {
  // Before anything of the runtime can make a semaphore.
  redirect(&g_importCloseHandle, &closeRecordedHandle, &g_closeHandle);
  redirect(&g_importCreateSemaphore, &createRecordedSemaphore, &g_createSemaphore);
  return atexit(&giveBack);
}

// A C initializer: these run before the C++ runtime's constructors, which
// register its own exit functions.
extern "C" __attribute__((section(".CRT$XIB"), used)) int (*vardokRegisterGiveBack)() = &registerGiveBack;

class RuntimeSlot {
 public:
  RuntimeSlot() {
    // The runtime takes its index (if it has not yet) and records this thread.
    void* const record = __pth_gpointer_locked(pthread_self());
    if (!record) return;
    for (DWORD index = 0; index < kTlsIndexes; ++index) {
      if (TlsGetValue(index) == record) {
        g_index = index;
        return;
      }
    }
  }
  RuntimeSlot(const RuntimeSlot&) = delete;
  RuntimeSlot& operator=(const RuntimeSlot&) = delete;
};

// Made before every other static object of the DLL.
RuntimeSlot g_runtimeSlot __attribute__((init_priority(101)));

}  // namespace

void threadingRuntimeProcessEnding(bool ending) { g_processEnding = ending; }

}  // namespace Vardok

// The C++ runtime's per-thread exception state, answered by the DLL (see
// the top of this file).
extern "C" void* __cxa_get_globals() noexcept { return Vardok::threadState(); }
extern "C" void* __cxa_get_globals_fast() noexcept { return Vardok::threadState(); }

namespace Vardok {

void threadingRuntimeThreadDone() {
  if (g_index != TLS_OUT_OF_INDEXES && TlsGetValue(g_index) && __xl_f) __xl_f(nullptr, DLL_THREAD_DETACH, nullptr);
}

}  // namespace Vardok
