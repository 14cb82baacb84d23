// The platform calls of a run that can fail, behind one seam, so the tests
// can make each of them fail. Defaults call the platform. Set them only
// while no run is in progress.
#pragma once

#include <functional>

#include <windows.h>

namespace Vardok {

// The output pipe of a child: an inheritable write end for the child and an
// overlapped read end for the run.
using CreateOutputPipe = bool (*)(HANDLE* readEnd, HANDLE* writeEnd);
using CreateProcessFunction = BOOL(WINAPI*)(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                                             LPVOID, LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION);
using CreateTimerFunction = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR);
// Starts a run's worker thread; answers its handle or null.
using StartWorker = HANDLE (*)(const std::function<void()>& run);

struct PlatformCalls {
  CreateOutputPipe createOutputPipe;
  CreateProcessFunction createProcess;
  CreateTimerFunction createTimer;
  StartWorker startWorker;
};

PlatformCalls& platformCalls();
// Puts the platform's own calls back.
void resetPlatformCalls();

// The default output pipe: a named pipe of this process, one instance,
// overlapped on the read side.
bool createOverlappedPipe(HANDLE* readEnd, HANDLE* writeEnd);

}  // namespace Vardok
