// Vardok::Item: one check, kept for one contact of network 82.
//
// The item stores only the contact id; command, interval and enabled flag
// are read from the contact's columns whenever they are needed. Its timer
// is set and fires on the main thread, where the timer routine only queues
// the item (RunQueue); a worker of the queue makes the run and holds the
// item (a shared reference) until it hands it back to the main thread at
// the end. A contact never has two runs at once: a scheduled firing while
// its run is queued or in progress is dropped (the run re-arms the timer
// when it ends), and an interactive request waits for the run in progress,
// or ends it when it is overdue.
//
// Created and owned by the registry through boost::shared_ptr; destroyed
// only on the main thread.
#pragma once

#include <cstdint>
#include <string>

#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>

#include "checks/run_queue.h"
#include "protocol/result_protocol.h"
#include "support/threads/threads.h"

namespace Vardok {

class RunControl;

class Item : public Quorlin::WaitableTimer, public boost::enable_shared_from_this<Item> {
 public:
  // Creates the item's unnamed auto-reset timer; if that fails the item
  // keeps no timer and only interactive runs happen.
  explicit Item(uint32_t contact);
  ~Item() override;

  uint32_t contact() const { return _contact; }

  // Disarms: clears _armed and cancels the timer. Any thread.
  void cancel();
  // Stops the timer whatever _armed says (a timer whose setting failed may
  // still hold an earlier due time). Main thread.
  void disarm();

  // Arms the timer for the contact's interval when the check is enabled.
  // Main thread; from any other thread the call is queued to it.
  void rearm();

  // The timer fired: queues a scheduled run. Main thread.
  void onTimer(uint64_t firingTime) override;

  // threaded: main thread, queues the run and returns. Otherwise the run
  // is made at once on the calling thread, outside the queue: it reads the
  // stored command when command is empty, runs it as an HTTP request or a
  // child process, and reports.
  void run(bool interactive, const std::string& command, bool threaded);

  // Starts command as a child process, in a job object of its own, with
  // standard output and standard error in one pipe and standard input
  // from NUL; appends what it writes (at most kMaxOutput bytes; the rest is
  // read and dropped). Answers its exit code, or -1 when the pipe or the
  // process cannot be created. Stopping the run ends its process tree.
  int runCommand(const std::string& commandLine, std::string& output, RunControl& run);

  // Requests url with HTTP GET: the body becomes the output (at most
  // kMaxOutput bytes kept), the "Error" response header the exit code.
  // Stopping the run cancels the request's wait.
  int runHttp(const std::string& url, std::string& output, RunControl& run);

  // Turns a finished run into the contact's description, status, icon,
  // notifications and pop-up; writes nothing for a run that was ended. The
  // re-arming follows on the main thread (finishRun).
  void report(int32_t exitCode, std::string output, const std::string& command, bool interactive, RunControl& run);

 private:
  friend struct RunQueue::State;

  // Main thread: queues the run.
  void startRun(bool interactive, const std::string& command);
  // Worker thread: reads the stored command when the run asks for none,
  // runs it and reports.
  void runOnWorker(RunControl& run);
  // Watchdog, with the run's turn to write: the run has gone on past its
  // limit; reports the contact critical with how long it has been running.
  void reportOverdue(const RunControl& run);
  // Watchdog (or main thread), with the request's turn to write: the run
  // has waited past its limit without starting; reports the contact
  // critical with how long and why.
  void reportStarved(unsigned seconds, const char* reason);
  // Main thread: whether the registry still holds this item for its contact.
  bool isRegistered() const;
  // Hands a worker's reference to the main thread, where the run ends.
  static void finishRun(boost::shared_ptr<Item> item);
  // Main thread: re-arms, unless the contact was removed meanwhile.
  void runFinished();

  const uint32_t _contact;
};

// The interval in milliseconds, in 64 bits. A negative interval keeps the
// meaning of -1, a very long time: 4 294 966 296 ms, about 49.7 days
// (what -1 x 1000 gave in 32 bits taken unsigned); no negative value
// means a short period.
uint64_t intervalMs(int32_t intervalSeconds);

// The due time of an interval for SetWaitableTimer, in 100-nanosecond
// units, negative meaning relative: -intervalMs x 10 000. 120 gives
// -1 200 000 000; 0 gives 0 (at once); 4294968 gives about 49.7 days
// (computed in 64 bits, it does not wrap).
int64_t dueTime(int32_t intervalSeconds);

// The URL of an HTTP check: the command without its leading spaces when it
// then begins with "http://" or "https://" (any letter case); empty for a
// command line (which may hold a URL further on: "vardok-check http
// http://host/", "ping http://host").
std::string httpUrlOf(const std::string& command);
bool isHttpCommand(const std::string& command);

}  // namespace Vardok
