// Quorlin::UniqueHandle: the one owner of a Win32 handle.
//
// Each kind of handle has one owner type, fixed by its close function and
// its idea of "invalid". Owners are move-only; closing never disturbs
// GetLastError, so an owner may go out of scope between a failing call and
// the code that reads its error. The handle is held atomically: one thread
// may reset (close) it while another reads it, which is how a blocking
// WinINet call is cancelled; the reader's call then fails on a handle that
// is closed, and the handle is closed exactly once.
#pragma once

#include <atomic>
#include <utility>

#include <windows.h>

namespace Quorlin {

template <typename Traits>
class UniqueHandle {
 public:
  using Type = typename Traits::Type;

  UniqueHandle() noexcept : _handle(Traits::invalid()) {}
  // Takes ownership of handle.
  explicit UniqueHandle(Type handle) noexcept : _handle(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : _handle(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  Type get() const noexcept { return _handle.load(); }
  explicit operator bool() const noexcept { return get() != Traits::invalid(); }

  // Gives up ownership without closing.
  Type release() noexcept { return _handle.exchange(Traits::invalid()); }

  // Closes the owned handle, if any, and takes ownership of handle. Any
  // thread.
  void reset(Type handle = Traits::invalid()) noexcept {
    const Type old = _handle.exchange(handle);
    if (old != Traits::invalid()) {
      const DWORD error = GetLastError();
      Traits::close(old);
      SetLastError(error);
    }
  }

 private:
  std::atomic<Type> _handle;
};

// Threads, processes, timers, events, semaphores, jobs, and pipes made by
// CreatePipe: null is invalid.
struct KernelHandleTraits {
  using Type = HANDLE;
  static Type invalid() noexcept { return nullptr; }
  static void close(Type handle) noexcept { CloseHandle(handle); }
};

// Files, named pipes and snapshots: the functions that open them answer
// INVALID_HANDLE_VALUE on failure, and null is not theirs to answer.
struct FileHandleTraits {
  using Type = HANDLE;
  static Type invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void close(Type handle) noexcept { CloseHandle(handle); }
};

// Loaded modules: FreeLibrary, null is invalid.
struct ModuleHandleTraits {
  using Type = HMODULE;
  static Type invalid() noexcept { return nullptr; }
  static void close(Type module) noexcept { FreeLibrary(module); }
};

using KernelHandle = UniqueHandle<KernelHandleTraits>;
using ThreadHandle = KernelHandle;
using ProcessHandle = KernelHandle;
using TimerHandle = KernelHandle;
using PipeHandle = KernelHandle;
using EventHandle = KernelHandle;
using JobHandle = KernelHandle;
using SemaphoreHandle = KernelHandle;
using FileHandle = UniqueHandle<FileHandleTraits>;
using SnapshotHandle = UniqueHandle<FileHandleTraits>;
using ModuleHandle = UniqueHandle<ModuleHandleTraits>;

}  // namespace Quorlin
