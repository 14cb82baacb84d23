#include "checks/item.h"

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <utility>
#include <vector>

#include <windows.h>

#include "checks/message_box.h"
#include "checks/platform.h"
#include "checks/registry.h"
#include "checks/result_tags.h"
#include "plugin/columns.h"
#include "plugin/host.h"
#include "plugin/settings_page.h"
#include "plugin/texts.h"
#include "support/assert.h"
#include "support/regex/regex.h"

namespace Vardok {

namespace {

constexpr DWORD kChunk = 250;

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

int64_t dueTime(int32_t intervalSeconds) {
  const uint32_t milliseconds = static_cast<uint32_t>(intervalSeconds) * 1000u;
  return static_cast<int64_t>(static_cast<uint64_t>(milliseconds)) * -10000;
}

bool isHttpCommand(const std::string& command) {
  Quorlin::RegEx regex;
  return regex.match("#http:(//+?)#i", command) > 0;
}

Item::Item(uint32_t contact) : _contact(contact) {
  _timer.reset(platformCalls().createTimer(nullptr, FALSE, nullptr));
}

Item::~Item() = default;

void Item::cancel() {
  _armed = false;
  if (_timer) CancelWaitableTimer(_timer.get());
}

void Item::rearm() {
  if (!Quorlin::mainThread.isCurrent()) {
    Quorlin::postCall(Quorlin::mainThread, [item = boost::weak_ptr<Item>(shared_from_this())] {
      if (auto alive = item.lock()) alive->rearm();
    }, false);
    return;
  }
  if (GetContactInt(_contact, enabledColumn()) == 0) return;
  LARGE_INTEGER due;
  due.QuadPart = dueTime(GetContactInt(_contact, intervalColumn()));
  SetWaitableTimer(_timer.get(), &due, 0, &WaitableTimer::apcRoutine, static_cast<WaitableTimer*>(this), FALSE);
  _armed = true;
}

void Item::onTimer(uint64_t) {
  notifyFiring(_contact);
  run(false, std::string(), true);
}

void Item::run(bool interactive, const std::string& command, bool threaded) {
  cancel();
  if (threaded) {
    QUORLIN_ASSERT(Quorlin::mainThread.isCurrent(), "item");
    if (_running) {
      // The running one re-arms when it ends; an interactive request waits.
      if (interactive) {
        _interactiveWaiting = true;
        _waitingCommand = command;
      }
      return;
    }
    boost::shared_ptr<Item> self = shared_from_this();
    HANDLE worker = platformCalls().startWorker([self, interactive, command]() mutable {
      self->run(interactive, command, false);
      finishRun(std::move(self));
    });
    if (!worker) return;  // stays disarmed until the next ensureItem
    _running = true;
    CloseHandle(worker);
    return;
  }

  // After HM_DETACH_CORE there is no host to read from or report to.
  if (!hasCore()) return;
  const std::string text = command.empty() ? GetContactText(_contact, commandColumn()) : command;
  std::string output;
  const int32_t exitCode = isHttpCommand(text) ? runHttp(text, output) : runCommand(text, output);
  report(exitCode, std::move(output), text, interactive);
}

int Item::runCommand(const std::string& commandLine, std::string& output) {
  const PlatformCalls& platform = platformCalls();
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

void Item::report(int32_t exitCode, std::string output, const std::string& command, bool interactive) {
  normalizeLineEndings(output);
  const bool well = exitCode == 0;
  const std::string info = getTagValue(output, "info", well ? Texts::kInfoOk : Texts::kInfoProblem);
  const std::string notify = getTagValue(output, "notify", well ? Texts::kNotifyOk : Texts::kNotifyProblem);
  const int32_t icon = parseNumber(getTagValue(output, "icon", std::string()), 255);

  if (interactive && !output.empty())
    ShowMessageBox(output, command, MB_ICONINFORMATION);
  else
    SetContactText(_contact, kColumnDescription, output);

  LogIf(kLogResult, Texts::kResultLog, exitCode, errno, output.c_str());

  const uint8_t status = statusOf(exitCode);
  const uint8_t previous = static_cast<uint8_t>(GetContactInt(_contact, kColumnStatus));
  if (status != previous || status == kStatusCritical) {
    if (status == kStatusProblem) RaiseNotification(Texts::kFailedName, _contact);
    if (status == kStatusCritical) RaiseNotification(Texts::kCriticalName, _contact);
    if (SendRouted(HM_ID_NET, kPopupRouteType, kPopupRouteTarget, 0, 0) != 0) {
      const std::string text = notify + " (" + GetContactText(_contact, kColumnDisplay) + ")";
      NotifyShow popup{};
      popup.size = sizeof popup;
      popup.id = HM_NOTIFY_SHOW;
      popup.routeType = kPopupRouteType;
      popup.routeTarget = kPopupRouteTarget;
      popup.text = text.c_str();
      popup.okFlag = well ? 0x10 : 0;
      popup.wellFlag = status == kStatusOk ? 1 : 0;
      popup.iconId = StatusIconId(status);
      popup.minusTwo = -2;
      Send(reinterpret_cast<HostMessage*>(&popup));
    }
  }

  SetContactInt(_contact, kColumnIcon, icon, -1);
  SetContactStatus(_contact, status, info.c_str());
  SendSimple(HM_CONTACT_REFRESH, static_cast<int32_t>(_contact), 0);
  // The re-arming follows on the main thread: the worker hands the item
  // over with finishRun.
}

void Item::finishRun(boost::shared_ptr<Item> item) {
  // The worker's reference goes to the main thread with the call, so an
  // item is only ever destroyed there, never while its timer routine runs.
  // (The queueing fails only when the main thread is gone, and with it
  // every timer routine.)
  Quorlin::postCall(Quorlin::mainThread, [held = std::move(item)] { held->runFinished(); }, false);
}

void Item::runFinished() {
  _running = false;
  // A contact removed during the run keeps no schedule.
  const auto registered = items().find(_contact);
  if (registered == items().end() || registered->second.get() != this) return;
  if (_interactiveWaiting) {
    _interactiveWaiting = false;
    run(true, std::exchange(_waitingCommand, std::string()), true);
    return;
  }
  rearm();
}

}  // namespace Vardok
