// Vardok::Item: one check, kept for one contact of network 82.
//
// The item stores only the contact id; command, interval and enabled flag
// are read from the contact's columns whenever they are needed. Its timer
// is set and fires on the main thread; each run happens on a worker thread
// of its own, which holds the item (a shared reference) for the whole run.
// Runs of one item never overlap: a scheduled firing during a run is
// dropped (the run re-arms the timer when it ends), and an interactive
// request made during a run starts when that run ends (at most one waits).
//
// Created and owned by the registry through boost::shared_ptr.
#pragma once

#include <cstdint>
#include <string>

#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>

#include "support/threads/threads.h"

namespace Vardok {

class Item : public Quorlin::WaitableTimer, public boost::enable_shared_from_this<Item> {
 public:
  // Creates the item's unnamed auto-reset timer; if that fails the item
  // keeps no timer and only interactive runs happen.
  explicit Item(uint32_t contact);
  ~Item() override;

  uint32_t contact() const { return _contact; }

  // Disarms: clears _armed and cancels the timer. Any thread.
  void cancel();

  // Arms the timer for the contact's interval when the check is enabled.
  // Main thread; from any other thread the call is queued to it.
  void rearm();

  // The timer fired: starts a scheduled run. Main thread.
  void onTimer(uint64_t firingTime) override;

  // threaded: main thread, starts the run on a worker thread and returns.
  // Otherwise (on the worker): reads the stored command when command is
  // empty, runs it as an HTTP request or a child process, and reports.
  void run(bool interactive, const std::string& command, bool threaded);

  // Starts command as a child process with standard output and standard
  // error in one pipe; appends what it writes (at most kMaxOutput bytes;
  // the rest is read and dropped). Answers its exit code, or -1 when the
  // pipe or the process cannot be created.
  int runCommand(const std::string& commandLine, std::string& output);

  // Requests url with HTTP GET: the body becomes the output (at most
  // kMaxOutput bytes kept), the "Error" response header the exit code.
  int runHttp(const std::string& url, std::string& output);

  // Turns a finished run into the contact's description, status, icon,
  // notifications and pop-up. Worker thread; the re-arming follows on the
  // main thread (finishRun).
  void report(int32_t exitCode, std::string output, const std::string& command, bool interactive);

  static constexpr size_t kMaxOutput = 16u << 20;

 private:
  // Main thread: starts the run on a worker thread and returns.
  void startRun(bool interactive, const std::string& command);
  // Worker thread: reads the stored command when command is empty, runs
  // it and reports.
  void runOnWorker(bool interactive, const std::string& command);
  // Hands a worker's reference to the main thread, where the run ends.
  static void finishRun(boost::shared_ptr<Item> item);
  // Main thread: starts a waiting interactive run, or re-arms, unless the
  // contact was removed meanwhile.
  void runFinished();

  const uint32_t _contact;
  // Main thread only.
  bool _running = false;
  bool _interactiveWaiting = false;
  std::string _waitingCommand;
};

// The due time of an interval, in 100-nanosecond units, negative meaning
// relative: interval x 1000 in 32 bits, taken unsigned, widened without
// sign and multiplied by -10 000. 120 gives -1 200 000 000; 0 gives 0 (at
// once); -1 wraps to about 49.7 days.
int64_t dueTime(int32_t intervalSeconds);

// True when the command is an HTTP URL for the HTTP check: "http:" and at
// least two slashes, anywhere, in any letter case.
bool isHttpCommand(const std::string& command);

}  // namespace Vardok
