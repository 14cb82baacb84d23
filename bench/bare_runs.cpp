#include "bench/bare_runs.h"

#include <atomic>
#include <thread>
#include <vector>

#include <windows.h>
#include <wininet.h>

#include "bench/measure.h"
#include "support/internet/cancellable_calls.h"
#include "support/internet/internet.h"
#include "support/threads/unique_handle.h"

namespace VardokBench {

void bareProcessRun(const char* command) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE readHandle = nullptr, writeHandle = nullptr;
  if (!CreatePipe(&readHandle, &writeHandle, &inheritable, 250)) return;
  const Quorlin::AnonymousPipeHandle readEnd(readHandle);
  Quorlin::AnonymousPipeHandle writeEnd(writeHandle);
  SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
  const Quorlin::FileHandle nul(
      CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0, nullptr));
  HANDLE handles[2] = {writeEnd.get(), nul.get()};
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> storage(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  InitializeProcThreadAttributeList(list, 1, 0, &size);
  UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, sizeof handles, nullptr, nullptr);

  STARTUPINFOEXA startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = nul.get();
  startup.StartupInfo.hStdOutput = writeEnd.get();
  startup.StartupInfo.hStdError = writeEnd.get();
  startup.lpAttributeList = list;
  PROCESS_INFORMATION process{};
  std::string line = command;
  const bool started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                      &startup.StartupInfo, &process);
  DeleteProcThreadAttributeList(list);
  writeEnd.reset();
  if (!started) return;
  const Quorlin::ProcessHandle child(process.hProcess);
  const Quorlin::ThreadHandle childThread(process.hThread);
  char buffer[250];
  DWORD read;
  while (ReadFile(readEnd.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
  }
  WaitForSingleObject(child.get(), INFINITE);
}

double bareProcessRate(int threads, double seconds, const char* command) {
  std::atomic<int> runs{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  const int64_t start = now();
  for (int i = 0; i < threads; ++i)
    workers.emplace_back([&] {
      while (!stop) {
        bareProcessRun(command);
        ++runs;
      }
    });
  Sleep(static_cast<DWORD>(seconds * 1000));
  stop = true;
  for (auto& w : workers) w.join();
  return runs / (milliseconds(now() - start) / 1000.0);
}

void bareHttpGet(void* session, const std::string& host, const std::string& path) {
  const Quorlin::InternetHandle connection(
      InternetConnectA(session, host.c_str(), 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 1));
  const Quorlin::InternetHandle request(
      HttpOpenRequestA(connection.get(), "GET", path.c_str(), nullptr, nullptr, nullptr,
                       INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTO_REDIRECT |
                           INTERNET_FLAG_NO_COOKIES,
                       1));
  // The same asking as the check's: the server itself, nothing cached, and
  // the status code and length that tell a whole answer.
  if (HttpSendRequestA(request.get(), "", 0, nullptr, 0)) {
    char status[16];
    DWORD statusLength = sizeof status;
    HttpQueryInfoA(request.get(), HTTP_QUERY_STATUS_CODE, status, &statusLength, nullptr);
    char buffer[500];
    DWORD read = 0;
    while (InternetReadFile(request.get(), buffer, sizeof buffer, &read) && read > 0) {
    }
    char value[101] = "Error";
    DWORD length = 100;
    HttpQueryInfoA(request.get(), HTTP_QUERY_CUSTOM, value, &length, nullptr);
  }
}

WorkerThread::WorkerThread()
    : _start(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
      _done(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
      _thread(CreateThread(nullptr, 0, main, this, 0, nullptr)) {}

WorkerThread::~WorkerThread() {
  _work = nullptr;
  SetEvent(_start);
  WaitForSingleObject(_thread, INFINITE);
  CloseHandle(_thread);
  CloseHandle(_start);
  CloseHandle(_done);
}

void WorkerThread::run(const std::function<void()>& work) {
  _work = &work;
  SetEvent(_start);
  WaitForSingleObject(_done, INFINITE);
}

DWORD WINAPI WorkerThread::main(void* self) {
  auto* worker = static_cast<WorkerThread*>(self);
  const Quorlin::CancellableCalls asTheWorkersDo;
  for (;;) {
    WaitForSingleObject(worker->_start, INFINITE);
    if (!worker->_work) return 0;
    (*worker->_work)();
    SetEvent(worker->_done);
  }
}

}  // namespace VardokBench
