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
// As the DLL's first static object is made, the runtime's index is found:
// the one whose value on this thread is the runtime's record of this thread.
// As the DLL's last static object goes at unload, the runtime's own
// thread-exit routine frees the calling thread's record, and the index is
// freed.
#include <pthread.h>

#include <windows.h>

#include "plugin/threading_runtime.h"

// winpthreads' TLS callback, which frees the calling thread's record on
// DLL_THREAD_DETACH, and its record of a thread.
extern "C" PIMAGE_TLS_CALLBACK __xl_f;
extern "C" void* __pth_gpointer_locked(pthread_t thread);

namespace Vardok {

namespace {

bool g_processEnding = false;

// TLS_MINIMUM_AVAILABLE plus the expansion slots: every index there is.
constexpr DWORD kTlsIndexes = 1088;

class RuntimeSlot {
 public:
  RuntimeSlot() {
    // The runtime takes its index (if it has not yet) and records this thread.
    void* const record = __pth_gpointer_locked(pthread_self());
    if (!record) return;
    for (DWORD index = 0; index < kTlsIndexes; ++index) {
      if (TlsGetValue(index) == record) {
        _index = index;
        return;
      }
    }
  }
  ~RuntimeSlot() {
    // At process exit the system frees it all.
    if (_index == TLS_OUT_OF_INDEXES || g_processEnding) return;
    if (TlsGetValue(_index) && __xl_f) __xl_f(nullptr, DLL_THREAD_DETACH, nullptr);
    TlsFree(_index);
  }
  RuntimeSlot(const RuntimeSlot&) = delete;
  RuntimeSlot& operator=(const RuntimeSlot&) = delete;

 private:
  DWORD _index = TLS_OUT_OF_INDEXES;
};

// Made before, and destroyed after, every other static object of the DLL.
RuntimeSlot g_runtimeSlot __attribute__((init_priority(101)));

}  // namespace

void threadingRuntimeProcessEnding(bool ending) { g_processEnding = ending; }

}  // namespace Vardok
