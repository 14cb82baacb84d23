#include "checks/test_seams.h"

#include <atomic>

#include "support/threads/child_process.h"
#include "support/threads/threads.h"
#include "support/win32_error.h"

namespace Vardok::TestSeams {

namespace {

// A worker needs little stack; the program's default (often 1 or 2 MiB)
// would use up a 32-bit address space quickly.
constexpr unsigned kWorkerStack = 256 * 1024;

// Whether the last start of a queue's thread failed: the queue tries again
// every second, and the log hears of it once until a start succeeds.
std::atomic<bool> g_workerStartFailed{false};

HANDLE startWorkerThread(const std::function<void()>& run, bool) {
  const HANDLE thread = Quorlin::startThread(run, nullptr, nullptr, false, nullptr, kWorkerStack);
  if (thread)
    g_workerStartFailed = false;
  else if (!g_workerStartFailed.exchange(true))
    Quorlin::reportFailure("_beginthreadex", GetLastError());
  return thread;
}

// The platform's calls, each made through the import table as it is made:
// a pointer to the platform's function taken once at load would keep
// whatever the table held then, out of reach of a host that redirects the
// table later (as the fault-injecting test host does).
BOOL WINAPI createProcess(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                          LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags, LPVOID environment,
                          LPCSTR folder, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION process) {
  return CreateProcessA(application, commandLine, processAttributes, threadAttributes, inherit, flags, environment,
                        folder, startup, process);
}

// An item without its timer runs only when asked for: the failure is told.
HANDLE WINAPI createTimer(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, LPCSTR name) {
  const HANDLE timer = CreateWaitableTimerA(attributes, manualReset, name);
  Quorlin::checkCall(timer != nullptr, "CreateWaitableTimerA");
  return timer;
}

PlatformCalls defaults() {
  return PlatformCalls{&Quorlin::createOverlappedPipe, &createProcess, &createTimer, &startWorkerThread};
}

int systemMessageBox(const std::string& text, const std::string& caption, unsigned type) {
  return MessageBoxA(nullptr, text.c_str(), caption.c_str(), type);
}

PlatformCalls g_calls = defaults();
std::atomic<FiringObserver> g_firingObserver{nullptr};
std::atomic<MessageBoxFunction> g_messageBox{&systemMessageBox};
std::atomic<RunStartObserver> g_runStartObserver{nullptr};

}  // namespace

PlatformCalls& platformCalls() { return g_calls; }
void resetPlatformCalls() { g_calls = defaults(); }

void setFiringObserver(FiringObserver observer) { g_firingObserver = observer; }

void notifyFiring(uint32_t contact) {
  if (FiringObserver observer = g_firingObserver.load()) observer(contact);
}

void setRunStartObserver(RunStartObserver observer) { g_runStartObserver = observer; }

void notifyRunStart(uint32_t contact) {
  if (RunStartObserver observer = g_runStartObserver.load()) observer(contact);
}

MessageBoxFunction setMessageBoxFunction(MessageBoxFunction function) {
  return g_messageBox.exchange(function ? function : &systemMessageBox);
}

MessageBoxFunction messageBoxFunction() { return g_messageBox.load(); }

}  // namespace Vardok::TestSeams
