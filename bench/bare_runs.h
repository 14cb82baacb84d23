// What a check costs without the plug-in: a child process started and read
// as the plug-in does it, by hand, and a WinINet GET. The ceilings the
// benchmarks hold the plug-in against.
#pragma once

#include <functional>
#include <string>

#include <windows.h>

namespace VardokBench {

// CreateProcessA of command with an anonymous pipe for its output, NUL for
// its input, the same inherit list as the plug-in (those two handles),
// CREATE_NO_WINDOW; reads until the pipe breaks, then waits for the child.
void bareProcessRun(const char* command);
// Runs per second that `threads` threads reach with bare runs for seconds.
double bareProcessRate(int threads, double seconds, const char* command);
// GET of path from host:80 with WinINet in session (kept open by the caller,
// as the host keeps the session it gives the plug-in), asked as the check
// asks (no cache, no cookies), the body read in 500-byte chunks and the
// "Error" header queried.
void bareHttpGet(void* session, const std::string& host, const std::string& path);

// A thread of its own that does one piece of work at a time for its
// caller: the bare side of a comparison then runs on a worker as the check
// does, hand-over included, so that which processor the main thread shares
// with the Wine server cannot decide the ratio.
class WorkerThread {
 public:
  // Its sockets are made as the plug-in's workers make theirs
  // (Quorlin::CancellableCalls: synchronous, so that a run can be ended).
  WorkerThread();
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;
  // Runs work there and waits for it to end.
  void run(const std::function<void()>& work);

 private:
  static DWORD WINAPI main(void* self);
  HANDLE _start, _done, _thread;
  const std::function<void()>* _work = nullptr;
};

}  // namespace VardokBench
