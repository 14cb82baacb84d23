// The command run: a child process whose standard output and standard
// error reach the check through one pipe.
#include "checks/command_run.h"

#include <atomic>
#include <cstring>
#include <string>
#include <algorithm>
#include <vector>

#include "checks/item.h"
#include "checks/message_box.h"
#include "checks/test_seams.h"
#include "hostapi/host.h"
#include "hostapi/messages.h"
#include "hostapi/texts.h"
#include "support/threads/threads.h"

namespace Vardok {

namespace {

constexpr DWORD kChunk = 250;
constexpr DWORD kPipeSize = 250;

// At most a few children are being created at once. Hundreds of checks
// falling due together would otherwise start hundreds of processes in the
// same instant, which the platform (Wine above all) serves far slower than
// a few at a time. Held from the pipe's creation until the child runs.
class CreationSlot {
 public:
  CreationSlot() : _held(WaitForSingleObject(slots(), INFINITE) == WAIT_OBJECT_0) {}
  ~CreationSlot() { release(); }
  CreationSlot(const CreationSlot&) = delete;
  CreationSlot& operator=(const CreationSlot&) = delete;
  void release() {
    if (_held) ReleaseSemaphore(slots(), 1, nullptr);
    _held = false;
  }

 private:
  static HANDLE slots() {
    static const Quorlin::KernelHandle semaphore(CreateSemaphoreA(nullptr, kSlots, kSlots, nullptr));
    return semaphore.get();
  }
  static constexpr LONG kSlots = 4;
  bool _held;
};

// The handles a child may inherit: one. Without the list a child inherits
// every inheritable handle of the host, among them the write ends of other
// runs' pipes, and would keep those runs waiting until it exits.
class InheritList {
 public:
  explicit InheritList(HANDLE handle) : _handle(handle) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    _storage.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(_storage.data());
    if (InitializeProcThreadAttributeList(list, 1, 0, &size)) {
      if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &_handle, sizeof _handle, nullptr,
                                    nullptr))
        _list = list;
      else
        DeleteProcThreadAttributeList(list);
    }
  }
  ~InheritList() {
    if (_list) DeleteProcThreadAttributeList(_list);
  }
  InheritList(const InheritList&) = delete;
  InheritList& operator=(const InheritList&) = delete;
  // Null when the platform could not build the list.
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return _list; }

 private:
  HANDLE _handle;
  std::vector<char> _storage;
  LPPROC_THREAD_ATTRIBUTE_LIST _list = nullptr;
};

// After the child has exited, how long to wait for output that is still
// on its way when a descendant keeps the pipe open.
constexpr DWORD kDrainMs = 200;

// Appends a chunk up to its first zero byte, keeping at most limit bytes.
void appendChunk(std::string& output, const char* chunk, size_t limit) {
  const size_t length = std::strlen(chunk);
  if (output.size() < limit) output.append(chunk, std::min(length, limit - output.size()));
}

// Waits for a pending read of the child's output. Until the child exits it
// waits for as long as it takes; afterwards only until the drain deadline.
bool waitForRead(HANDLE readDone, HANDLE process, bool& exited, DWORD& drainUntil) {
  if (!exited) {
    HANDLE waits[2] = {readDone, process};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) return true;
    exited = true;
    drainUntil = GetTickCount() + kDrainMs;
  }
  const LONG left = static_cast<LONG>(drainUntil - GetTickCount());
  return WaitForSingleObject(readDone, left > 0 ? left : 0) == WAIT_OBJECT_0;
}

// Reads the child's output in chunks of 250 bytes until the pipe breaks
// (every writer is gone) or, once the child itself has exited, until
// nothing more arrives: a descendant that inherited the pipe does not hold
// the run. At most Item::kMaxOutput bytes are kept; the rest is drained.
void readOutput(HANDLE pipe, HANDLE process, std::string& output) {
  Quorlin::EventHandle readDone(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  char buffer[kChunk + 1];
  bool exited = false;
  DWORD drainUntil = 0;
  for (;;) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = readDone.get();
    buffer[0] = '\0';
    DWORD read = 0;
    if (!ReadFile(pipe, buffer, kChunk, &read, &overlapped)) {
      if (GetLastError() != ERROR_IO_PENDING) return;
      if (!waitForRead(readDone.get(), process, exited, drainUntil)) {
        CancelIo(pipe);
        if (GetOverlappedResult(pipe, &overlapped, &read, TRUE)) {
          buffer[read] = '\0';
          appendChunk(output, buffer, Item::kMaxOutput);
        }
        return;
      }
      if (!GetOverlappedResult(pipe, &overlapped, &read, FALSE)) return;
    }
    buffer[read] = '\0';
    appendChunk(output, buffer, Item::kMaxOutput);
  }
}

}  // namespace

bool createOverlappedPipe(HANDLE* readEnd, HANDLE* writeEnd) {
  // An anonymous pipe cannot be read with a time limit; a named one opened
  // for overlapped reading can, so the run can stop reading once its child
  // has exited even when a descendant still holds the write end.
  static std::atomic<unsigned> serial{0};
  const std::string name = "\\\\.\\pipe\\vardok-" + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(serial++) + "-" + std::to_string(GetTickCount());
  Quorlin::FileHandle read(CreateNamedPipeA(name.c_str(),
                                            PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, kPipeSize, kPipeSize, 0,
                                            nullptr));
  if (!read) return false;
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  Quorlin::FileHandle write(
      CreateFileA(name.c_str(), GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!write) return false;
  *readEnd = read.release();
  *writeEnd = write.release();
  return true;
}

int Item::runCommand(const std::string& commandLine, std::string& output) {
  const TestSeams::PlatformCalls& platform = TestSeams::platformCalls();
  CreationSlot slot;
  HANDLE readHandle = nullptr, writeHandle = nullptr;
  if (!platform.createOutputPipe(&readHandle, &writeHandle)) {
    LogIf(kLogError, "%s", Texts::kPipeFailed);
    return -1;
  }
  Quorlin::PipeHandle readEnd(readHandle);
  Quorlin::ProcessHandle process;
  Quorlin::ThreadHandle thread;
  {
    // Closed at the end of this scope: then the pipe breaks once the child,
    // and whatever inherited the write end from it, has exited.
    Quorlin::PipeHandle writeEnd(writeHandle);
    // The child inherits the write end and nothing else, so it cannot keep
    // another run's pipe open.
    InheritList inherit(writeEnd.get());

    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdOutput = writeEnd.get();
    startup.StartupInfo.hStdError = writeEnd.get();
    startup.lpAttributeList = inherit.get();
    PROCESS_INFORMATION started{};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    const DWORD flags = CREATE_NO_WINDOW | (inherit.get() ? EXTENDED_STARTUPINFO_PRESENT : 0);
    if (platform.createProcess(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                               &startup.StartupInfo, &started)) {
      process.reset(started.hProcess);
      thread.reset(started.hThread);
    }
  }
  slot.release();
  if (!process) {
    readEnd.reset();
    ShowMessageBox(Texts::kBadCommand, kPluginName, MB_ICONERROR);
    return -1;
  }

  readOutput(readEnd.get(), process.get(), output);
  WaitForSingleObject(process.get(), INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.get(), &exitCode);
  return static_cast<int>(exitCode);
}

}  // namespace Vardok
