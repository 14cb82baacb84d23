// What a process holds: its open handles, its threads and its children. For the tests and
// benchmarks that check the plug-in gives back what it takes. Any thread.
#pragma once

namespace VardokHost {

// Open handles of this process, counted by asking the system about each
// possible handle value (Wine answers GetProcessHandleCount with 0).
int countOpenHandles();
// Threads of this process.
int countThreads();
// Processes this process started that are still running.
int countChildProcesses();

}  // namespace VardokHost
