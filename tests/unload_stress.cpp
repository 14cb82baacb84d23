// vardok-unload-stress.exe: the plug-in unloaded under load, over and over.
//
//   vardok-unload-stress [ROUNDS] [--seconds S] [--contacts N] [--limit S]
//       Runs ROUNDS (100) rounds, each in a process of its own inside a job
//       object, as a host's process may be. A round that has not ended
//       within --limit seconds (90) is a hang: every thread of it is
//       dumped (where it stands and the return addresses on its stack,
//       each as module+offset), then the job is ended. Prints a line per
//       round and the count; exit code 1 when a round failed.
//   vardok-unload-stress --round [--seconds S] [--contacts N]
//       One round: N contacts (200) checked every second for S seconds
//       (20), with the host's calls served on the main thread; then the
//       session's unload: HM_DETACH_CORE, FreeLibrary, and the main thread
//       in an alertable wait that serves nothing sent (SleepEx(5, TRUE) in
//       a loop) for 3 s, then serving until the DLL is gone. Exit code 0
//       when all of it came back.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include "host/lib/host_session.h"
#include "hostapi/messages.h"

namespace {

struct Options {
  int rounds = 100;
  int seconds = 20;
  int contacts = 200;
  int limitSeconds = 90;
  bool round = false;
};

bool parse(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--round") {
      options->round = true;
    } else if (arg == "--seconds" && hasValue) {
      options->seconds = std::atoi(argv[++i]);
    } else if (arg == "--contacts" && hasValue) {
      options->contacts = std::atoi(argv[++i]);
    } else if (arg == "--limit" && hasValue) {
      options->limitSeconds = std::atoi(argv[++i]);
    } else if (!arg.empty() && arg[0] != '-') {
      options->rounds = std::atoi(arg.c_str());
    } else {
      return false;
    }
  }
  return options->rounds > 0 && options->seconds >= 0 && options->contacts > 0 && options->limitSeconds > 0;
}

// --- one round ---

// The main thread as a host's: it serves sent messages (the plug-in's
// calls into the host), posted messages and APCs for ms.
void pumpMessagesFor(DWORD ms) {
  const DWORD start = GetTickCount();
  for (DWORD passed = 0; passed < ms; passed = GetTickCount() - start) {
    MsgWaitForMultipleObjectsEx(0, nullptr, std::min<DWORD>(ms - passed, 20), QS_ALLINPUT, MWMO_ALERTABLE);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  }
}

int runRound(const Options& options) {
  std::string error;
  VardokHost::HostSession session;
  if (!session.loadPlugin(&error)) {
    std::printf("round: %s\n", error.c_str());
    return 1;
  }
  const std::string child = "\"" + VardokHost::programFolder() + "vardok-test-child.exe\" sleep 0";
  std::vector<VardokHost::CheckContact> checks;
  for (int i = 0; i < options.contacts; ++i) {
    VardokHost::CheckContact check;
    check.name = "Check " + std::to_string(i + 1);
    check.command = child;
    check.interval = 1;
    check.enabled = 1;
    checks.push_back(check);
  }
  VardokHost::ContactHost& host = session.host();
  host.setEventLimits(10000, 1 << 20);
  host.serveCallsOnThisThread(true);
  host.startChecks(session.plugin(), checks, [](const std::vector<int>&) {});
  pumpMessagesFor(static_cast<DWORD>(options.seconds) * 1000);
  const size_t reports = host.messages(Vardok::HM_CONTACT_REFRESH).size();

  // The plug-in's last threads and queued calls hold it a little longer
  // than the 3 s; the host goes on serving what is sent to it.
  const bool gone = session.detachAndWait(23000, 3000);
  host.serveCallsOnThisThread(false);
  std::printf("round: %zu reports in %d s; %s\n", reports, options.seconds,
              gone ? "unloaded" : "the DLL is still loaded 23 s after FreeLibrary");
  // A round in which nothing ran has not tested the unload under load.
  return gone && reports > 0 ? 0 : 1;
}

// --- the driver ---

std::string moduleOffset(HANDLE process, DWORD address) {
  HMODULE modules[256];
  DWORD bytes = 0;
  if (EnumProcessModules(process, modules, sizeof(modules), &bytes)) {
    for (DWORD i = 0; i < bytes / sizeof(HMODULE); ++i) {
      MODULEINFO info;
      if (!GetModuleInformation(process, modules[i], &info, sizeof(info))) continue;
      const DWORD base = static_cast<DWORD>(reinterpret_cast<uintptr_t>(info.lpBaseOfDll));
      if (address >= base && address - base < info.SizeOfImage) {
        char name[MAX_PATH] = "";
        GetModuleBaseNameA(process, modules[i], name, sizeof(name));
        char text[MAX_PATH + 16];
        std::snprintf(text, sizeof(text), "%s+0x%lx", name, static_cast<unsigned long>(address - base));
        return text;
      }
    }
  }
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08lx", static_cast<unsigned long>(address));
  return text;
}

// Every thread of the process: where it stands and what its frame chain
// (EBP) returns to. Code built without frame pointers shortens the chain;
// the first entry is always right.
void dumpThreads(HANDLE process, DWORD processId) {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    std::printf("  no thread list (error %lu)\n", GetLastError());
    return;
  }
  THREADENTRY32 entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != processId) continue;
    const HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE,
                                     entry.th32ThreadID);
    if (!thread) continue;
    SuspendThread(thread);
    CONTEXT context;
    context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
    std::string line = "  thread " + std::to_string(entry.th32ThreadID) + ":";
    if (GetThreadContext(thread, &context)) {
      line += " at " + moduleOffset(process, context.Eip);
      DWORD frame = context.Ebp;
      for (int depth = 0; depth < 16 && frame; ++depth) {
        DWORD pair[2] = {0, 0};  // the caller's frame, the return address
        SIZE_T read = 0;
        if (!ReadProcessMemory(process, reinterpret_cast<void*>(static_cast<uintptr_t>(frame)), pair, sizeof(pair),
                               &read) ||
            read != sizeof(pair) || pair[1] == 0)
          break;
        line += " < " + moduleOffset(process, pair[1]);
        if (pair[0] <= frame) break;
        frame = pair[0];
      }
    } else {
      line += " (no context: error " + std::to_string(GetLastError()) + ")";
    }
    ResumeThread(thread);
    CloseHandle(thread);
    std::printf("%s\n", line.c_str());
  }
  CloseHandle(snapshot);
}

enum class Outcome { Passed, Failed, Hung, NotStarted };

Outcome runOneRound(const Options& options, int index) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof(self));
  std::string line = "\"" + std::string(self) + "\" --round --seconds " + std::to_string(options.seconds) +
                     " --contacts " + std::to_string(options.contacts);
  const HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (!job) return Outcome::NotStarted;
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  std::vector<char> commandLine(line.begin(), line.end());
  commandLine.push_back('\0');
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr,
                      &startup, &process)) {
    CloseHandle(job);
    return Outcome::NotStarted;
  }
  // In a job as a host's process may be; without one the round still runs,
  // and is ended by itself.
  const bool inJob = AssignProcessToJobObject(job, process.hProcess) != FALSE;
  ResumeThread(process.hThread);
  const DWORD start = GetTickCount();
  const DWORD waited = WaitForSingleObject(process.hProcess, static_cast<DWORD>(options.limitSeconds) * 1000);
  Outcome outcome;
  if (waited == WAIT_OBJECT_0) {
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    outcome = code == 0 ? Outcome::Passed : Outcome::Failed;
    std::printf("round %d: %s (exit code %lu) in %.1f s\n", index, code == 0 ? "passed" : "FAILED",
                static_cast<unsigned long>(code), (GetTickCount() - start) / 1000.0);
  } else {
    outcome = Outcome::Hung;
    std::printf("round %d: HUNG (no end in %d s); its threads:\n", index, options.limitSeconds);
    dumpThreads(process.hProcess, process.dwProcessId);
  }
  std::fflush(stdout);
  if (inJob)
    TerminateJobObject(job, 1);
  else
    TerminateProcess(process.hProcess, 1);
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(job);
  return outcome;
}

int drive(const Options& options) {
  int passed = 0, failed = 0, hung = 0, notStarted = 0;
  const DWORD start = GetTickCount();
  for (int i = 1; i <= options.rounds; ++i) {
    switch (runOneRound(options, i)) {
      case Outcome::Passed: ++passed; break;
      case Outcome::Failed: ++failed; break;
      case Outcome::Hung: ++hung; break;
      case Outcome::NotStarted: ++notStarted; break;
    }
  }
  std::printf("unload under load: %d of %d rounds passed (%d failed, %d hung, %d not started); %d contacts at 1 s "
              "for %d s each; %lu s in all\n",
              passed, options.rounds, failed, hung, notStarted, options.contacts, options.seconds,
              static_cast<unsigned long>((GetTickCount() - start) / 1000));
  return passed == options.rounds ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  setvbuf(stdout, nullptr, _IONBF, 0);
  Options options;
  if (!parse(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: vardok-unload-stress [ROUNDS] [--seconds S] [--contacts N] [--limit S]\n"
                 "       vardok-unload-stress --round [--seconds S] [--contacts N]\n");
    return 2;
  }
  return options.round ? runRound(options) : drive(options);
}
