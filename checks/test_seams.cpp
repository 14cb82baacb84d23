#include "checks/test_seams.h"

#include <atomic>

#include "support/threads/child_process.h"
#include "support/threads/threads.h"

namespace Vardok::TestSeams {

namespace {

// A worker needs little stack; the program's default (often 1 or 2 MiB)
// would use up a 32-bit address space quickly.
constexpr unsigned kWorkerStack = 256 * 1024;

HANDLE startWorkerThread(const std::function<void()>& run, bool) {
  return Quorlin::startThread(run, nullptr, nullptr, false, nullptr, kWorkerStack);
}

PlatformCalls defaults() {
  return PlatformCalls{&Quorlin::createOverlappedPipe, &CreateProcessA, &CreateWaitableTimerA, &startWorkerThread};
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
