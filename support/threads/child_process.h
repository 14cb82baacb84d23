// Starting a child process the way a check runs one, for the plug-in's
// command run, vardok-check's bridge and the tests alike: ChildProcess,
// and the pieces it is made of (the list of the only handles a child may
// inherit, a job that ends its whole tree, the output pipe).
// Any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include "support/threads/unique_handle.h"

namespace Quorlin {

// The handles a child may inherit (PROC_THREAD_ATTRIBUTE_HANDLE_LIST), for
// STARTUPINFOEX with EXTENDED_STARTUPINFO_PRESENT. Without the list a child
// inherits every inheritable handle of its parent, among them the write
// ends of other children's pipes and the parent's own standard handles,
// and whatever it leaves running would hold those open.
class InheritList {
 public:
  explicit InheritList(std::vector<HANDLE> handles);
  ~InheritList();
  InheritList(const InheritList&) = delete;
  InheritList& operator=(const InheritList&) = delete;
  // Null when the platform could not build the list.
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return _list; }
  // Start-up information that gives a child input as its standard input
  // and output as its standard output and error, and this list; pass it
  // with creationFlags().
  STARTUPINFOEXA startup(HANDLE input, HANDLE output) const;
  // EXTENDED_STARTUPINFO_PRESENT when there is a list, else 0.
  DWORD creationFlags() const { return _list ? EXTENDED_STARTUPINFO_PRESENT : 0; }

 private:
  std::vector<HANDLE> _handles;
  std::vector<char> _storage;
  LPPROC_THREAD_ATTRIBUTE_LIST _list = nullptr;
};

// A job that ends every process in it when it is closed; null when the
// platform makes none.
JobHandle killOnCloseJob();

// Clears kill-on-close, so that closing the job leaves its processes
// running: for a run that ended by itself, whose processes started on
// purpose outlive it. False (with the error set) when the platform refuses.
bool keepProcessesOnClose(HANDLE job);

// The default output pipe of a child: a named pipe of this process, one
// instance, overlapped on the read side (so it can be read with a time
// limit); the write end is inheritable. Answers false (and no handles)
// when either end cannot be made.
bool createOverlappedPipe(HANDLE* readEnd, HANDLE* writeEnd);

// How a ChildProcess is made and read. The defaults are the plug-in's.
struct ChildOptions {
  // Bytes of output kept; the rest is read and dropped (so is everything
  // after an append for which there was no memory: outputCut()).
  size_t keep = static_cast<size_t>(-1);
  // Once the child itself has exited while a process it started still
  // holds the pipe: how long output may still arrive.
  DWORD drainMs = 200;
  // Added to CREATE_SUSPENDED (CREATE_NO_WINDOW, for one).
  DWORD creationFlags = 0;
  // An inheritable handle for standard error; null: the output pipe.
  HANDLE errors = nullptr;
  // Whether the child goes into a job of its own (without one, ending it
  // ends the direct child only, and nobody can tell the console helper
  // from a descendant that holds the pipe).
  bool job = true;
  // The platform calls, which tests may replace.
  bool (*createPipe)(HANDLE* readEnd, HANDLE* writeEnd) = &createOverlappedPipe;
  BOOL(WINAPI* createProcess)(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                              LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION) = &CreateProcessA;
};

// One child process with its output captured: standard input from the NUL
// device (a command that reads input ends at once), standard output and
// standard error through one pipe, and nothing else inherited. It starts
// suspended in a job of its own that ends the whole tree when the job is
// closed, so everything it starts belongs to it; where the platform makes
// no job, it runs alone and ending it ends the direct child only.
//
// The thread that made it reads it; endTree may come from any thread.
class ChildProcess {
 public:
  enum class Failure { None, Pipe, Process };
  static constexpr size_t kMaxCommandLine = 32767;

  // Starts commandLine suspended; resume lets it run. Null, with failure
  // and the platform's error set, when the pipe or the process cannot be
  // made. A command line longer than the platform takes (kMaxCommandLine
  // characters) is refused as a process that cannot be made
  // (ERROR_FILENAME_EXCED_RANGE), never run cut short.
  static std::unique_ptr<ChildProcess> start(const std::string& commandLine, const ChildOptions& options,
                                             Failure* failure, DWORD* error);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void resume();
  // Reads the output until every writer of the pipe is gone, or until the
  // child has exited and the drain rule ends the reading: at once when
  // only the platform's console helper is left in the job (Wine starts one
  // for every child, and it holds the pipe without writing), after drainMs
  // when a process the child started still holds it. False when timeoutMs
  // passed first: the child still runs.
  bool read(DWORD timeoutMs = INFINITE);
  // Reads what is still on its way for at most drainMs (after endTree).
  void drain();
  // Ends the child and everything it started. Any thread.
  void endTree(UINT exitCode);
  // The child ended by itself: closing the job leaves what it started on
  // purpose running.
  void keepDescendants();

  // The exit code once the child has ended; STILL_ACTIVE before.
  DWORD exitCode() const;
  const std::string& output() const { return _output; }
  // Whether the output stopped growing because memory ran out: what had
  // been read until then is kept, the rest was read and dropped.
  bool outputCut() const { return _outputCut; }
  std::string takeOutput() { return std::move(_output); }
  // The job (null without one) and the process, for whoever ends the run.
  HANDLE job() const { return _job.get(); }
  HANDLE process() const { return _process.get(); }

 private:
  ChildProcess() = default;
  bool readFor(ULONGLONG deadline, bool draining);

  ChildOptions _options;
  FileHandle _pipe;
  ProcessHandle _process;
  ThreadHandle _thread;
  JobHandle _job;
  std::string _output;
  bool _outputCut = false;
  bool _exited = false;
};

}  // namespace Quorlin
