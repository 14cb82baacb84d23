#include "support/threads/child_process.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "support/win32_error.h"

namespace Quorlin {

namespace {

// The pipe is read 250 bytes at a time, the size of its buffer.
constexpr DWORD kChunk = 250;
constexpr DWORD kPipeSize = 250;

bool isConsoleHelper(DWORD processId) {
  const ProcessHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process) return false;
  char path[MAX_PATH];
  DWORD size = MAX_PATH;
  if (!QueryFullProcessImageNameA(process.get(), 0, path, &size)) return false;
  const std::string name(path, size);
  const size_t slash = name.find_last_of("\\/");
  return _stricmp(name.c_str() + (slash == std::string::npos ? 0 : slash + 1), "conhost.exe") == 0;
}

// Whether what is left of the job, once the child itself has exited, is
// only the platform's console helper, which holds the write end without
// ever writing to it. Without a job nobody can tell: no.
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

DWORD msUntil(ULONGLONG deadline) {
  if (deadline == INFINITE) return INFINITE;
  const ULONGLONG now = GetTickCount64();
  return deadline > now ? static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1)) : 0;
}

}  // namespace

bool createOverlappedPipe(HANDLE* readEnd, HANDLE* writeEnd) {
  // An anonymous pipe cannot be read with a time limit; a named one opened
  // for overlapped reading can, so the reader can stop once the child has
  // exited even when a descendant still holds the write end.
  static std::atomic<unsigned> serial{0};
  const std::string name = "\\\\.\\pipe\\vardok-" + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(serial++) + "-" + std::to_string(GetTickCount());
  FileHandle read(CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, kPipeSize, kPipeSize, 0, nullptr));
  if (!read) return false;
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  FileHandle write(CreateFileA(name.c_str(), GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!write) return false;
  *readEnd = read.release();
  *writeEnd = write.release();
  return true;
}

std::unique_ptr<ChildProcess> ChildProcess::start(const std::string& commandLine, const ChildOptions& options,
                                                  Failure* failure, DWORD* error) {
  *failure = Failure::None;
  *error = 0;
  if (commandLine.size() > kMaxCommandLine) {
    *failure = Failure::Process;
    *error = ERROR_FILENAME_EXCED_RANGE;
    return nullptr;
  }
  std::unique_ptr<ChildProcess> child(new ChildProcess);
  child->_options = options;
  HANDLE readHandle = nullptr, writeHandle = nullptr;
  if (!options.createPipe(&readHandle, &writeHandle)) {
    *failure = Failure::Pipe;
    *error = GetLastError();
    return nullptr;
  }
  child->_pipe.reset(readHandle);
  // Closed at the end of this function: then the pipe breaks once the
  // child, and whatever inherited the write end from it, has exited.
  const FileHandle writeEnd(writeHandle);
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  const FileHandle nul(
      CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0, nullptr));
  std::vector<HANDLE> inherited{writeEnd.get()};
  if (nul) inherited.push_back(nul.get());
  if (options.errors) inherited.push_back(options.errors);
  const InheritList inherit(inherited);
  STARTUPINFOEXA startup = inherit.startup(nul.get(), writeEnd.get());
  if (options.errors) startup.StartupInfo.hStdError = options.errors;

  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  PROCESS_INFORMATION started{};
  // Suspended until it is in the job, so everything it starts is too.
  const DWORD flags = CREATE_SUSPENDED | options.creationFlags | inherit.creationFlags();
  if (!options.createProcess(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                             &startup.StartupInfo, &started)) {
    *failure = Failure::Process;
    *error = GetLastError();
    return nullptr;
  }
  child->_process.reset(started.hProcess);
  child->_thread.reset(started.hThread);
  if (options.job) child->_job = killOnCloseJob();
  if (child->_job && !checkCall(AssignProcessToJobObject(child->_job.get(), child->_process.get()) != FALSE,
                                "AssignProcessToJobObject"))
    child->_job.reset();
  return child;
}

ChildProcess::~ChildProcess() = default;

void ChildProcess::resume() {
  // A child that cannot be resumed would never run: end it rather than
  // wait for it.
  if (!checkCall(ResumeThread(_thread.get()) != static_cast<DWORD>(-1), "ResumeThread")) endTree(1);
  _thread.reset();
}

bool ChildProcess::read(DWORD timeoutMs) {
  return readFor(timeoutMs == INFINITE ? INFINITE : GetTickCount64() + timeoutMs, false);
}

void ChildProcess::drain() { readFor(GetTickCount64() + _options.drainMs, true); }

bool ChildProcess::readFor(ULONGLONG deadline, bool draining) {
  const EventHandle readDone(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  char buffer[kChunk];
  ULONGLONG drainUntil = draining ? deadline : 0;
  const auto keep = [&](DWORD got) {
    if (_outputCut || _output.size() >= _options.keep) return;
    try {
      _output.append(buffer, std::min<size_t>(got, _options.keep - _output.size()));
    } catch (const std::bad_alloc&) {
      // What is kept stays (append changes nothing when it fails); the
      // rest is read and dropped, so the child is never left blocked.
      _outputCut = true;
    }
  };
  const auto stopReading = [&](OVERLAPPED& overlapped) {
    DWORD got = 0;
    CancelIo(_pipe.get());
    if (GetOverlappedResult(_pipe.get(), &overlapped, &got, TRUE)) keep(got);
  };
  for (;;) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = readDone.get();
    DWORD got = 0;
    if (ReadFile(_pipe.get(), buffer, kChunk, &got, &overlapped)) {
      keep(got);
      continue;
    }
    if (GetLastError() != ERROR_IO_PENDING) return true;  // every writer is gone
    if (!_exited && !draining) {
      HANDLE waits[2] = {readDone.get(), _process.get()};
      const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, msUntil(deadline));
      if (woke == WAIT_TIMEOUT) {
        stopReading(overlapped);
        return false;
      }
      if (woke != WAIT_OBJECT_0) {
        _exited = true;
        drainUntil = GetTickCount64() + (onlyHelpersLeft(_job.get()) ? 0 : _options.drainMs);
      }
    }
    if (_exited || draining) {
      if (WaitForSingleObject(readDone.get(), msUntil(drainUntil)) != WAIT_OBJECT_0) {
        stopReading(overlapped);
        return true;
      }
    }
    if (!GetOverlappedResult(_pipe.get(), &overlapped, &got, FALSE)) return true;
    keep(got);
  }
}

void ChildProcess::endTree(UINT exitCode) {
  if (_job)
    checkCall(TerminateJobObject(_job.get(), exitCode) != FALSE, "TerminateJobObject");
  // A process that has ended already cannot be ended again: no failure.
  else if (WaitForSingleObject(_process.get(), 0) != WAIT_OBJECT_0)
    checkCall(TerminateProcess(_process.get(), exitCode) != FALSE, "TerminateProcess");
}

void ChildProcess::keepDescendants() {
  // Should the platform refuse, closing the job ends what the child left
  // running, which is the safer side.
  if (_job) checkCall(keepProcessesOnClose(_job.get()), "SetInformationJobObject");
}

DWORD ChildProcess::exitCode() const {
  DWORD code = STILL_ACTIVE;
  // Should the platform refuse, STILL_ACTIVE says that nothing is known.
  if (!checkCall(GetExitCodeProcess(_process.get(), &code) != FALSE, "GetExitCodeProcess")) code = STILL_ACTIVE;
  return code;
}

InheritList::InheritList(std::vector<HANDLE> handles) : _handles(std::move(handles)) {
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  _storage.resize(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(_storage.data());
  if (InitializeProcThreadAttributeList(list, 1, 0, &size)) {
    if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, _handles.data(),
                                  _handles.size() * sizeof(HANDLE), nullptr, nullptr))
      _list = list;
    else
      DeleteProcThreadAttributeList(list);
  }
}

InheritList::~InheritList() {
  if (_list) DeleteProcThreadAttributeList(_list);
}

STARTUPINFOEXA InheritList::startup(HANDLE input, HANDLE output) const {
  STARTUPINFOEXA startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input;
  startup.StartupInfo.hStdOutput = output;
  startup.StartupInfo.hStdError = output;
  startup.lpAttributeList = _list;
  return startup;
}

JobHandle killOnCloseJob() {
  JobHandle job(CreateJobObjectA(nullptr, nullptr));
  if (!checkCall(static_cast<bool>(job), "CreateJobObjectA")) return job;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!checkCall(SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits) != FALSE,
                 "SetInformationJobObject"))
    job.reset();
  return job;
}

bool keepProcessesOnClose(HANDLE job) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  return SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) != FALSE;
}

}  // namespace Quorlin
