#include "checks/platform.h"

#include <atomic>
#include <string>

#include "support/threads/threads.h"

namespace Vardok {

namespace {

constexpr DWORD kPipeSize = 250;

// A run's worker needs little stack; the program's default (often 1 or
// 2 MiB) would use up a 32-bit address space at some hundreds of checks
// running at once, and a worker that cannot start leaves its check
// disarmed.
constexpr unsigned kWorkerStack = 256 * 1024;

HANDLE startWorkerThread(const std::function<void()>& run) {
  return Quorlin::startThread(run, nullptr, nullptr, false, nullptr, kWorkerStack);
}

PlatformCalls defaults() {
  return PlatformCalls{&createOverlappedPipe, &CreateProcessA, &CreateWaitableTimerA, &startWorkerThread};
}

PlatformCalls g_calls = defaults();
std::atomic<unsigned> g_pipeSerial{0};

}  // namespace

PlatformCalls& platformCalls() { return g_calls; }
void resetPlatformCalls() { g_calls = defaults(); }

bool createOverlappedPipe(HANDLE* readEnd, HANDLE* writeEnd) {
  // An anonymous pipe cannot be read with a time limit; a named one opened
  // for overlapped reading can, so the run can stop reading once its child
  // has exited even when a descendant still holds the write end.
  const std::string name = "\\\\.\\pipe\\vardok-" + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(g_pipeSerial++) + "-" + std::to_string(GetTickCount());
  HANDLE read = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, kPipeSize, kPipeSize, 0, nullptr);
  if (read == INVALID_HANDLE_VALUE) return false;
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE write = CreateFileA(name.c_str(), GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (write == INVALID_HANDLE_VALUE) {
    CloseHandle(read);
    return false;
  }
  *readEnd = read;
  *writeEnd = write;
  return true;
}

}  // namespace Vardok
