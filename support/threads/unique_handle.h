// Quorlin::UniqueHandle: the one owner of a Win32 handle.
//
// Each kind of handle has one owner type, fixed by its close function, its
// idea of "invalid" and what it holds: a thread's handle cannot be passed
// where a process's is wanted. Owners are move-only; closing never disturbs
// GetLastError, so an owner may go out of scope between a failing call and
// the code that reads its error.
//
// An owner is used by one thread at a time. Closing a handle that another
// thread may still pass to a call is never safe (the platform hands the
// value to the next handle opened), so nothing here offers it: a thread
// that uses a handle closes it, and others ask it to stop.
#pragma once

#include <utility>

#include <windows.h>

namespace Quorlin {

// Tag tells apart owners of handles that close alike but hold different things.
template <typename Traits, typename Tag = Traits>
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

  Type get() const noexcept { return _handle; }
  explicit operator bool() const noexcept { return get() != Traits::invalid(); }

  // Gives up ownership without closing.
  Type release() noexcept { return std::exchange(_handle, Traits::invalid()); }

  // Closes the owned handle, if any, and takes ownership of handle.
  void reset(Type handle = Traits::invalid()) noexcept {
    const Type old = std::exchange(_handle, handle);
    if (old != Traits::invalid()) {
      const DWORD error = GetLastError();
      Traits::close(old);
      SetLastError(error);
    }
  }

 private:
  Type _handle;
};

// Kernel objects that CreateX answers null for on failure, closed with
// CloseHandle.
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

using ThreadHandle = UniqueHandle<KernelHandleTraits, struct ThreadTag>;
using ProcessHandle = UniqueHandle<KernelHandleTraits, struct ProcessTag>;
using JobHandle = UniqueHandle<KernelHandleTraits, struct JobTag>;
using TimerHandle = UniqueHandle<KernelHandleTraits, struct TimerTag>;
using EventHandle = UniqueHandle<KernelHandleTraits, struct EventTag>;
// Both ends of a pipe made by CreatePipe (a named pipe is a FileHandle).
using AnonymousPipeHandle = UniqueHandle<KernelHandleTraits, struct AnonymousPipeTag>;
// Files and named pipes (CreateFileA, CreateNamedPipeA).
using FileHandle = UniqueHandle<FileHandleTraits, struct FileTag>;
// Tool-help snapshots (CreateToolhelp32Snapshot).
using SnapshotHandle = UniqueHandle<FileHandleTraits, struct SnapshotTag>;
using ModuleHandle = UniqueHandle<ModuleHandleTraits>;

}  // namespace Quorlin
