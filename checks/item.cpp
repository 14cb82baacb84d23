#include "checks/item.h"

#include <utility>

#include <windows.h>

#include "checks/output_text.h"
#include "checks/registry.h"
#include "checks/run_control.h"
#include "checks/test_seams.h"
#include "hostapi/column_ids.h"
#include "hostapi/host.h"
#include "support/assert.h"
#include "support/regex/regex.h"
#include "support/win32_error.h"

namespace Vardok {

uint64_t intervalMs(int32_t intervalSeconds) {
  // Every negative interval means what -1 always meant; the 32-bit product
  // of other negative values wrapped to periods as short as 0 ms.
  constexpr uint64_t kNegativeMs = static_cast<uint32_t>(-1000);
  if (intervalSeconds < 0) return kNegativeMs;
  return static_cast<uint64_t>(intervalSeconds) * 1000u;
}

int64_t dueTime(int32_t intervalSeconds) { return static_cast<int64_t>(intervalMs(intervalSeconds)) * -10000; }

std::string httpUrlOf(const std::string& command) {
  // Only a command that begins with the URL is one: "vardok-check http
  // http://..." and "ping http://host" are command lines.
  const size_t start = command.find_first_not_of(' ');
  if (start == std::string::npos) return std::string();
  const char* const text = command.c_str() + start;
  if (_strnicmp(text, "http://", 7) == 0 || _strnicmp(text, "https://", 8) == 0) return text;
  return std::string();
}

bool isHttpCommand(const std::string& command) { return !httpUrlOf(command).empty(); }

Item::Item(uint32_t contact) : _contact(contact) {
  _timer.reset(TestSeams::platformCalls().createTimer(nullptr, FALSE, nullptr));
}

Item::~Item() = default;  // the timer's base cancels it, with a firing already queued

void Item::cancel() {
  // Only rearm sets the timer, and it marks the item armed as it does; the
  // timer routine clears the mark as the timer fires. A disarmed item has
  // nothing to cancel, which spares the platform a call on every firing.
  if (_armed.exchange(false)) stopTimer();
}

void Item::disarm() {
  _armed = false;
  stopTimer();
}

void Item::rearm() {
  if (!Quorlin::mainThread.isCurrent()) {
    Quorlin::postCall(Quorlin::mainThread, [item = boost::weak_ptr<Item>(shared_from_this())] {
      if (auto alive = item.lock()) alive->rearm();
    }, false);
    return;
  }
  // Detached: nothing is scheduled until the next attach (a re-arming call
  // queued by a run may come after detach disarmed the items).
  if (!hasCore() || GetContactInt(_contact, enabledColumn()) == 0) return;
  LARGE_INTEGER due;
  due.QuadPart = dueTime(GetContactInt(_contact, intervalColumn()));
  // Marked armed only when it is: a timer that could not be set fires never.
  _armed = _timer && Quorlin::checkCall(SetWaitableTimer(_timer.get(), &due, 0, &WaitableTimer::apcRoutine,
                                                         static_cast<WaitableTimer*>(this), FALSE) != FALSE,
                                        "SetWaitableTimer");
}

void Item::onTimer(uint64_t) {
  // A firing that was already queued when the item was removed, or
  // replaced by a new item for its contact, runs nothing.
  if (!isRegistered()) return;
  TestSeams::notifyFiring(_contact);
  run(false, std::string(), true);
}

bool Item::isRegistered() const {
  QUORLIN_ASSERT(Quorlin::mainThread.isCurrent(), "item");
  const auto registered = items().find(_contact);
  return registered != items().end() && registered->second.get() == this;
}

void Item::run(bool interactive, const std::string& command, bool threaded) {
  cancel();
  if (threaded) {
    startRun(interactive, command);
    return;
  }
  RunControl control(shared_from_this(), interactive, command, 0);
  runOnWorker(control);
  control.deliverBox();
}

void Item::startRun(bool interactive, const std::string& command) {
  QUORLIN_ASSERT(Quorlin::mainThread.isCurrent(), "item");
  runQueue().push(shared_from_this(), interactive, command);
}

void Item::runOnWorker(RunControl& run) {
  // After HM_DETACH_CORE there is no host to read from or report to.
  if (!hasCore()) return;
  const std::string text = run.command().empty() ? GetContactText(_contact, commandColumn()) : run.command();
  std::string output;
  const std::string url = httpUrlOf(text);
  const int32_t exitCode = !url.empty() ? runHttp(url, output, run) : runCommand(text, output, run);
  report(exitCode, decodeOutput(std::move(output)), text, run.interactive(), run);
}

void Item::finishRun(boost::shared_ptr<Item> item) {
  // The worker's reference goes to the main thread with the call, so an
  // item is only ever destroyed there, never while its timer routine runs.
  // (The queueing fails only when the main thread is gone, and with it
  // every timer routine.)
  try {
    Quorlin::postCall(Quorlin::mainThread, [held = std::move(item)] { held->runFinished(); }, false);
  } catch (...) {
    // No memory for the call: the check waits for its next change.
    LogPlatformFailure("a finished run could not be handed back to the main thread");
  }
}

void Item::runFinished() {
  // A contact removed during the run keeps no schedule.
  if (isRegistered()) rearm();
}

}  // namespace Vardok
