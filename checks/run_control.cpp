#include "checks/run_control.h"

#include "checks/item.h"
#include "checks/message_box.h"
#include "checks/run_queue.h"
#include "support/win32_error.h"

namespace Vardok {

namespace {

// What the processes of an ended run exit with.
constexpr UINT kAbandonedExitCode = 0xC000013A;  // as if the console was closed

}  // namespace

RunControl::RunControl(boost::shared_ptr<Item> item, bool interactive, std::string command, uint64_t limitMs,
                       RunQueue* queue)
    : _item(std::move(item)), _contact(_item->contact()), _interactive(interactive), _command(std::move(command)), _limitMs(limitMs), _queue(queue) {}

void RunControl::started(uint64_t id, uint64_t startedMs, HANDLE workerThread) {
  _id = id;
  _startedMs = startedMs;
  std::lock_guard<std::mutex> guard(_lock);
  _worker = workerThread;
}

bool RunControl::beginWrite() { return !_queue || _queue->beginWrite(_id); }

void RunControl::endWrite() {
  if (_queue) _queue->endWrite(_id);
}

RunControl::~RunControl() {
  if (_callsBack) CloseHandle(_callsBack);
}

void RunControl::showBox(const std::string& text, const std::string& caption, unsigned type) {
  std::lock_guard<std::mutex> guard(_lock);
  _box = Box{text, caption, type};
}

void RunControl::deliverBox() {
  std::optional<Box> box;
  {
    std::lock_guard<std::mutex> guard(_lock);
    box.swap(_box);
  }
  if (!box) return;
  if (_queue)
    _queue->showBox(_id, _contact, std::move(*box));
  else
    ShowMessageBox(box->text, box->caption, box->type);
}

bool RunControl::enter() {
  std::lock_guard<std::mutex> guard(_lock);
  if (_silenced) return false;
  ++_callsIn;
  return true;
}

void RunControl::leave() {
  std::lock_guard<std::mutex> guard(_lock);
  if (--_callsIn == 0 && _callsBack) SetEvent(_callsBack);
}

bool RunControl::silence(DWORD timeoutMs) {
  {
    std::lock_guard<std::mutex> guard(_lock);
    _silenced = true;
    _box.reset();
    if (_callsIn == 0) return true;
    if (!_callsBack) _callsBack = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!_callsBack) return false;
  }
  return waitServingHost(
      _callsBack,
      [](void* self) {
        RunControl& control = *static_cast<RunControl*>(self);
        std::lock_guard<std::mutex> guard(control._lock);
        return control._callsIn == 0;
      },
      this, timeoutMs);
}

void RunControl::waiting() {
  if (_queue) _queue->waiting(_id);
}

bool RunControl::holdProcesses(HANDLE job, HANDLE directChild) {
  std::lock_guard<std::mutex> guard(_lock);
  if (_stopped) return false;
  _job = job;
  _directChild = job ? nullptr : directChild;
  return true;
}

void RunControl::releaseProcesses() {
  std::lock_guard<std::mutex> guard(_lock);
  _job = nullptr;
  _directChild = nullptr;
}

bool RunControl::enterBlockingCalls() {
  std::lock_guard<std::mutex> guard(_lock);
  if (_stopped) return false;
  _inBlockingCalls = true;
  return true;
}

void RunControl::leaveBlockingCalls() {
  std::lock_guard<std::mutex> guard(_lock);
  _inBlockingCalls = false;
}

void RunControl::stop() {
  std::lock_guard<std::mutex> guard(_lock);
  if (_stopped) return;
  _stopped = true;
  if (_job) Quorlin::checkCall(TerminateJobObject(_job, kAbandonedExitCode) != FALSE, "TerminateJobObject");
  // A direct child that has ended by itself cannot be ended: no failure.
  if (_directChild && WaitForSingleObject(_directChild, 0) != WAIT_OBJECT_0)
    Quorlin::checkCall(TerminateProcess(_directChild, kAbandonedExitCode) != FALSE, "TerminateProcess");
  // Nothing pending (ERROR_NOT_FOUND) is no failure: see poke.
  if (_inBlockingCalls && _worker) CancelSynchronousIo(_worker);
}

bool RunControl::stopped() const {
  std::lock_guard<std::mutex> guard(_lock);
  return _stopped;
}

void RunControl::poke() {
  std::lock_guard<std::mutex> guard(_lock);
  // Nothing pending is no failure: the call may not have begun yet, or be
  // over, which is why the watchdog pokes again until the worker is done.
  if (_stopped && _inBlockingCalls && _worker) CancelSynchronousIo(_worker);
}

}  // namespace Vardok
