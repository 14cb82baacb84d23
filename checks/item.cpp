#include "checks/item.h"

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <mutex>
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

// While a pipe's write end is inheritable, no other process may be started:
// its child would inherit the write end too and keep that pipe open until
// it exits. Held from the pipe's creation until our copy of the write end
// is closed.
std::mutex g_inheritWindow;

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
    HANDLE worker = platformCalls().startWorker([self, interactive, command] { self->run(interactive, command, false); });
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
  Quorlin::PipeHandle readEnd;
  Quorlin::ProcessHandle process;
  Quorlin::ThreadHandle thread;
  {
    std::lock_guard<std::mutex> window(g_inheritWindow);
    HANDLE readHandle = nullptr, writeHandle = nullptr;
    if (!platform.createOutputPipe(&readHandle, &writeHandle)) {
      LogIf(kLogError, "%s", Texts::kPipeFailed);
      return -1;
    }
    readEnd.reset(readHandle);
    // Closed at the end of this scope: then the pipe breaks once the child,
    // and whatever inherited the write end from it, has exited.
    Quorlin::PipeHandle writeEnd(writeHandle);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    PROCESS_INFORMATION started{};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (platform.createProcess(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &started)) {
      process.reset(started.hProcess);
      thread.reset(started.hThread);
    }
  }
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
  finishRun();
}

void Item::finishRun() {
  Quorlin::postCall(Quorlin::mainThread, [item = boost::weak_ptr<Item>(shared_from_this())] {
    if (auto alive = item.lock()) alive->runFinished();
  }, false);
}

void Item::runFinished() {
  _running = false;
  if (_interactiveWaiting) {
    _interactiveWaiting = false;
    run(true, std::exchange(_waitingCommand, std::string()), true);
    return;
  }
  rearm();
}

}  // namespace Vardok
