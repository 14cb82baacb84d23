#include "checks/run_control.h"

#include "checks/item.h"
#include "support/threads/child_process.h"
#include "support/threads/thread_slot.h"

namespace Vardok {

namespace {

// The run the calling worker makes.
Quorlin::ThreadSlot g_current;

// What the processes of an ended run exit with.
constexpr UINT kAbandonedExitCode = 0xC000013A;  // as if the console was closed

}  // namespace

RunControl::RunControl(Item* item, bool interactive, std::string command, uint64_t startedMs, uint64_t limitMs)
    : _item(item),
      _interactive(interactive),
      _command(std::move(command)),
      _startedMs(startedMs),
      _limitMs(limitMs) {}

uint32_t RunControl::contact() const { return _item->contact(); }

bool RunControl::holdProcesses(Quorlin::JobHandle job, HANDLE directChild) {
  std::lock_guard<std::mutex> guard(_lock);
  if (_abandoned) return false;
  _job = std::move(job);
  _directChild = _job ? nullptr : directChild;
  return true;
}

void RunControl::releaseProcesses() {
  std::lock_guard<std::mutex> guard(_lock);
  if (_job && !_abandoned) {
    // Kill-on-close is for runs that are ended; one that ends by itself
    // takes nothing with it.
    Quorlin::keepProcessesOnClose(_job.get());
  }
  _job.reset();
  _directChild = nullptr;
}

bool RunControl::setCancel(std::function<void()> cancel) {
  std::lock_guard<std::mutex> guard(_lock);
  if (_abandoned) return false;
  _cancel = std::move(cancel);
  return true;
}

void RunControl::clearCancel() {
  std::lock_guard<std::mutex> guard(_lock);
  _cancel = nullptr;
}

void RunControl::abandon() {
  std::function<void()> cancel;
  {
    std::lock_guard<std::mutex> guard(_lock);
    if (_abandoned) return;
    _abandoned = true;
    if (_job) TerminateJobObject(_job.get(), kAbandonedExitCode);
    if (_directChild) TerminateProcess(_directChild, kAbandonedExitCode);
    cancel = std::move(_cancel);
  }
  if (cancel) cancel();
}

bool RunControl::abandoned() const {
  std::lock_guard<std::mutex> guard(_lock);
  return _abandoned;
}

RunControl* RunControl::current() { return static_cast<RunControl*>(g_current.get()); }

RunControl::Scope::Scope(RunControl* control) : _previous(current()) { g_current.set(control); }
RunControl::Scope::~Scope() { g_current.set(_previous); }

}  // namespace Vardok
