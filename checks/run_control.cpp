#include "checks/run_control.h"

#include "checks/message_box.h"
#include "checks/run_queue.h"
#include "support/threads/child_process.h"

namespace Vardok {

namespace {

// What the processes of an ended run exit with.
constexpr UINT kAbandonedExitCode = 0xC000013A;  // as if the console was closed

}  // namespace

RunControl::RunControl(boost::shared_ptr<Item> item, bool interactive, std::string command, uint64_t limitMs,
                       RunQueue* queue)
    : _item(std::move(item)), _interactive(interactive), _command(std::move(command)), _limitMs(limitMs), _queue(queue) {}

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

int RunControl::showBox(const std::string& text, const std::string& caption, unsigned type) {
  if (_queue && !_queue->beginBox(_id)) return 0;
  const int answer = ShowMessageBox(text, caption, type);
  if (_queue) _queue->endBox(_id);
  return answer;
}

bool RunControl::holdProcesses(Quorlin::JobHandle job, HANDLE directChild) {
  std::lock_guard<std::mutex> guard(_lock);
  if (_stopped) return false;
  _job = std::move(job);
  _directChild = _job ? nullptr : directChild;
  return true;
}

void RunControl::releaseProcesses() {
  std::lock_guard<std::mutex> guard(_lock);
  if (_job && !_stopped) {
    // Kill-on-close is for runs that are ended; one that ends by itself
    // takes nothing with it. Should the platform refuse, closing the job
    // ends what the run left running, which is the safer side.
    Quorlin::keepProcessesOnClose(_job.get());
  }
  _job.reset();
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
  if (_job) TerminateJobObject(_job.get(), kAbandonedExitCode);
  if (_directChild) TerminateProcess(_directChild, kAbandonedExitCode);
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
