// Quorlin::ThreadSlot: one pointer-sized value per thread, in a Win32 TLS
// slot of its own.
//
// Unlike C++ thread_local (which mingw emulates with heap blocks found
// through the threading runtime), the value lives in the thread's own TLS
// cell: nothing is allocated, nothing runs at thread exit, and when the
// module is unloaded the slot is freed and cleared in every thread, so a
// thread that outlives the module, or a module loaded again, never meets
// stale memory. Any thread.
#pragma once

#include <cstdint>

#include <windows.h>

namespace Quorlin {

class ThreadSlot {
 public:
  ThreadSlot() : _index(TlsAlloc()) {}
  ~ThreadSlot() {
    if (_index != TLS_OUT_OF_INDEXES) TlsFree(_index);
  }
  ThreadSlot(const ThreadSlot&) = delete;
  ThreadSlot& operator=(const ThreadSlot&) = delete;

  // The calling thread's value; null (0) until it sets one.
  void* get() const { return _index == TLS_OUT_OF_INDEXES ? nullptr : TlsGetValue(_index); }
  void set(void* value) {
    if (_index != TLS_OUT_OF_INDEXES) TlsSetValue(_index, value);
  }
  intptr_t getInt() const { return reinterpret_cast<intptr_t>(get()); }
  void setInt(intptr_t value) { set(reinterpret_cast<void*>(value)); }

 private:
  const DWORD _index;
};

}  // namespace Quorlin
