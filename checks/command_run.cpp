// The command run: a child process in a job object of its own, whose
// standard output and standard error reach the check through one pipe and
// whose standard input is the NUL device.
#include "checks/command_run.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "checks/item.h"
#include "checks/run_control.h"
#include "checks/test_seams.h"
#include "hostapi/host.h"
#include "hostapi/messages.h"
#include "hostapi/texts.h"
#include "support/threads/child_process.h"
#include "support/threads/threads.h"

namespace Vardok {

namespace {

constexpr DWORD kChunk = 250;
constexpr DWORD kPipeSize = 250;

// After the child has exited while a descendant of its own still holds
// the pipe: how long to wait for output that is still on its way.
constexpr DWORD kDrainMs = 200;

void logNoJobOnce() {
  static std::atomic<bool> logged{false};
  if (!logged.exchange(true)) Log("%s", Texts::kNoJob);
}

bool isConsoleHelper(DWORD processId) {
  const Quorlin::ProcessHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process) return false;
  char path[MAX_PATH];
  DWORD size = MAX_PATH;
  if (!QueryFullProcessImageNameA(process.get(), 0, path, &size)) return false;
  const std::string name(path, size);
  const size_t slash = name.find_last_of("\\/");
  return _stricmp(name.c_str() + (slash == std::string::npos ? 0 : slash + 1), "conhost.exe") == 0;
}

// Whether what is left of the run's tree, once its direct child has
// exited, is only the platform's console helper, which holds the write
// end without ever writing to it. Without a job nobody can tell: no.
bool onlyHelpersLeft(HANDLE job) {
  if (!job) return false;
  struct {
    JOBOBJECT_BASIC_PROCESS_ID_LIST list;
    ULONG_PTR more[31];
  } ids{};
  ids.list.NumberOfAssignedProcesses = 32;
  if (!QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr)) return false;
  if (ids.list.NumberOfProcessIdsInList < ids.list.NumberOfAssignedProcesses) return false;
  for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList; ++i)
    if (!isConsoleHelper(static_cast<DWORD>(ids.list.ProcessIdList[i]))) return false;
  return true;
}

// Reads the child's output in chunks of 250 bytes, keeping at most
// Item::kMaxOutput bytes (the rest is read and dropped), until the pipe
// breaks (every writer is gone) or, once the child itself has exited, until
// a read would wait: at once when only the platform's helpers are left,
// after the drain time when a descendant of the run still holds the pipe.
void readOutput(HANDLE pipe, HANDLE process, HANDLE job, std::string& output) {
  Quorlin::EventHandle readDone(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  char buffer[kChunk];
  bool exited = false;
  ULONGLONG drainUntil = 0;
  auto keep = [&](DWORD read) {
    if (output.size() < Item::kMaxOutput) output.append(buffer, std::min<size_t>(read, Item::kMaxOutput - output.size()));
  };
  for (;;) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = readDone.get();
    DWORD read = 0;
    if (ReadFile(pipe, buffer, kChunk, &read, &overlapped)) {
      keep(read);
      continue;
    }
    if (GetLastError() != ERROR_IO_PENDING) return;
    if (!exited) {
      HANDLE waits[2] = {readDone.get(), process};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        exited = true;
        drainUntil = GetTickCount64() + (onlyHelpersLeft(job) ? 0 : kDrainMs);
      }
    }
    if (exited) {
      const ULONGLONG now = GetTickCount64();
      const DWORD left = drainUntil > now ? static_cast<DWORD>(drainUntil - now) : 0;
      if (WaitForSingleObject(readDone.get(), left) != WAIT_OBJECT_0) {
        CancelIo(pipe);
        if (GetOverlappedResult(pipe, &overlapped, &read, TRUE)) keep(read);
        return;
      }
    }
    if (!GetOverlappedResult(pipe, &overlapped, &read, FALSE)) return;
    keep(read);
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

int Item::runCommand(const std::string& commandLine, std::string& output, RunControl& run) {
  const TestSeams::PlatformCalls& platform = TestSeams::platformCalls();

  HANDLE readHandle = nullptr, writeHandle = nullptr;
  if (!platform.createOutputPipe(&readHandle, &writeHandle)) {
    LogIf(kLogError, "%s", Texts::kPipeFailed);
    return -1;
  }
  const Quorlin::PipeHandle readEnd(readHandle);
  Quorlin::ProcessHandle process;
  Quorlin::ThreadHandle thread;
  Quorlin::JobHandle job = Quorlin::killOnCloseJob();
  {
    // Closed at the end of this scope: then the pipe breaks once the child,
    // and whatever inherited the write end from it, has exited.
    const Quorlin::PipeHandle writeEnd(writeHandle);
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    // A command that reads its input ends at once instead of waiting.
    const Quorlin::FileHandle nul(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                              OPEN_EXISTING, 0, nullptr));
    std::vector<HANDLE> inherited{writeEnd.get()};
    if (nul) inherited.push_back(nul.get());
    const Quorlin::InheritList inherit(inherited);

    STARTUPINFOEXA startup = inherit.startup(nul.get(), writeEnd.get());
    PROCESS_INFORMATION started{};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    // Suspended until it is in the job, so everything it starts is too.
    const DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED | inherit.creationFlags();
    if (platform.createProcess(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                               &startup.StartupInfo, &started)) {
      process.reset(started.hProcess);
      thread.reset(started.hThread);
    }
  }
  if (!process) {
    run.showBox(Texts::kBadCommand, kPluginName, MB_ICONERROR);
    return -1;
  }
  if (job && !AssignProcessToJobObject(job.get(), process.get())) job.reset();
  if (!job) logNoJobOnce();
  if (!run.holdProcesses(std::move(job), process.get())) {
    // Ended before it began.
    TerminateProcess(process.get(), 1);
    return -1;
  }
  ResumeThread(thread.get());

  readOutput(readEnd.get(), process.get(), run.job(), output);
  WaitForSingleObject(process.get(), INFINITE);
  run.releaseProcesses();
  DWORD exitCode = 0;
  GetExitCodeProcess(process.get(), &exitCode);
  return static_cast<int>(exitCode);
}

}  // namespace Vardok
