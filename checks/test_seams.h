// Seams for tests, in one place: the platform calls of a run (so a test
// can make each of them fail), an observer of timer firings, and the
// function that shows the plug-in's message boxes. The defaults are the
// platform's own; production code never changes them. Set them only while
// no run is in progress.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <windows.h>

namespace Vardok::TestSeams {

// The output pipe of a child: an inheritable write end for the child and an
// overlapped read end for the run.
using CreateOutputPipe = bool (*)(HANDLE* readEnd, HANDLE* writeEnd);
using CreateProcessFunction = BOOL(WINAPI*)(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                                             LPVOID, LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION);
using CreateTimerFunction = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR);
// Starts a thread of the check engine (a worker, or the watchdog); answers
// its handle or null.
using StartWorker = HANDLE (*)(const std::function<void()>& run, bool watchdog);

struct PlatformCalls {
  CreateOutputPipe createOutputPipe;
  CreateProcessFunction createProcess;
  CreateTimerFunction createTimer;
  StartWorker startWorker;
};

PlatformCalls& platformCalls();
// Puts the platform's own calls back.
void resetPlatformCalls();

// Called on the main thread each time an item's timer fires, before the
// run is queued. Null: nobody is told.
using FiringObserver = void (*)(uint32_t contact);
void setFiringObserver(FiringObserver observer);
void notifyFiring(uint32_t contact);

// Called on a worker of the run queue as each run starts. Null: nobody is
// told.
using RunStartObserver = void (*)(uint32_t contact);
void setRunStartObserver(RunStartObserver observer);
void notifyRunStart(uint32_t contact);

// Replaces the function that shows message boxes (null restores
// MessageBoxA with no owner window). Answers the previous one.
using MessageBoxFunction = int (*)(const std::string& text, const std::string& caption, unsigned type);
MessageBoxFunction setMessageBoxFunction(MessageBoxFunction function);
MessageBoxFunction messageBoxFunction();

}  // namespace Vardok::TestSeams
