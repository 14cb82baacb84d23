// vardok-fault-host.exe: the plug-in under platform calls that fail on
// purpose.
//
//   vardok-fault-host --row DLL FUNCTION MODE [--result FILE] [--expect-cut]
//       One row: loads Vardok.dll, runs the workload once as it is (the
//       control, which also sets what the process holds at rest), then
//       loads it again with FUNCTION of DLL made to fail in MODE (first,
//       every, nth:N, above:BYTES; FUNCTION "allocations", with any DLL,
//       is every allocation function at once) and runs the workload again. Prints
//       the row's verdict; exit code 0 when it held, 1 when it did not.
//       --expect-cut: the command check's output must also end with the
//       mark of an output cut for want of memory.
//   vardok-fault-host --sweep [--budget SECONDS] [--jobs N] [--only TEXT]
//                             [--row-limit SECONDS] [--part K/N]
//       Every function the DLL imports times every mode, each row in a
//       process of its own (so a crash is contained and counted), within
//       the time budget; prints the table. Exit code 1 when a row failed.
//       --part K/N runs the Kth of N equal parts of the rows (from 0).
//   vardok-fault-host --list
//       The DLL's imports and what is known of each.
//
// The workload: an HTTP check of a loopback page that reports critical,
// and a command check (the test child writing 1 MiB and exiting 1, a
// problem), both every second; the settings page's check button on the
// command check; the command check's removal; HM_DETACH_CORE; FreeLibrary.
//
// What every row must show: the process survives; detach returns within
// 6 s; the DLL is unloaded within 8 s of FreeLibrary; no host call comes
// after detach; no thread, handle or child process is left beyond what the
// control left; no check is ever reported well (neither is, so a report of
// well is one the fault turned into success); and each check is told, by
// a report, a message box or an error line in the host's log.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>

#include "host/lib/contact_host.h"
#include "host/serve/http_server.h"
#include "host/lib/pe_image.h"
#include "host/lib/plugin_module.h"
#include "host/testing/process_info.h"
#include "hostapi/messages.h"
#include "hostapi/protocol.h"
#include "hostapi/texts.h"
#include "tests/fault_host/fault_injection.h"

using namespace VardokFaults;
using VardokHost::ContactHost;
using VardokHost::HostEvent;
using VardokHost::LoopbackHttpServer;

namespace {

constexpr DWORD kDetachLimitMs = 6000;
constexpr DWORD kUnloadLimitMs = 8000;
// How long the workload waits for each step's sign of life: generous, so
// that a busy machine never fails a row; a row only waits this long when
// a check is stopped by its fault.
constexpr DWORD kStepWaitMs = 15000;
// How long the process may take to give back what the DLL held once it is
// gone (threads end and handles close a little after; on a loaded machine
// the control itself has taken over 10 s). Waited for as a state: a row
// that settles goes on at once.
constexpr DWORD kSettleMs = 30000;

// --- message boxes: recorded, never shown ---

std::mutex g_boxLock;
size_t g_boxes = 0;

int WINAPI recordBox(HWND, LPCSTR, LPCSTR, UINT) {
  std::lock_guard<std::mutex> guard(g_boxLock);
  ++g_boxes;
  return IDOK;
}

size_t boxes() {
  std::lock_guard<std::mutex> guard(g_boxLock);
  return g_boxes;
}

// --- one cycle of the workload ---

struct CheckSeen {
  int row = 0;
  size_t reports = 0;
  size_t wellReports = 0;
};

struct Cycle {
  bool loaded = false;
  std::string error;
  bool faultInstalled = false;
  std::string faultRefused;
  DWORD detachMs = 0;
  DWORD unloadMs = 0;
  bool unloaded = false;
  size_t eventsAfterDetach = 0;
  CheckSeen web, command;
  size_t boxes = 0;
  size_t errorLines = 0;
  std::string firstErrorLine;
  // A description of the command check that ends with the mark of an
  // output cut for want of memory.
  bool outputCut = false;
};

size_t reportsOf(const ContactHost& host, int contact) {
  size_t count = 0;
  for (const HostEvent& e : host.messages(Vardok::HM_CONTACT_REFRESH))
    if (e.i32(22) == contact) ++count;
  return count;
}

void readStatuses(const ContactHost& host, CheckSeen* check) {
  check->reports = reportsOf(host, check->row);
  check->wellReports = 0;
  for (const HostEvent& e : host.messages(Vardok::HM_SET_STATUS))
    if (e.i32(22) == check->row && e.u8(26) == 0) ++check->wellReports;
}

std::string testChild() { return "\"" + VardokHost::programFolder() + "vardok-test-child.exe\""; }

Cycle runCycle(LoopbackHttpServer& server, const Fault* fault) {
  Cycle cycle;
  std::unique_ptr<VardokHost::PluginModule> plugin =
      VardokHost::PluginModule::load(VardokHost::programFolder() + "Vardok.dll", &cycle.error);
  if (!plugin) return cycle;
  cycle.loaded = true;
  {
    std::lock_guard<std::mutex> guard(g_boxLock);
    g_boxes = 0;
  }
  VardokHost::replaceImport(plugin->module(), "user32.dll", "MessageBoxA", reinterpret_cast<void*>(&recordBox));
  if (fault) {
    cycle.faultInstalled = install(plugin->module(), *fault, &cycle.faultRefused);
    if (!cycle.faultInstalled) {
      plugin->unload();
      return cycle;
    }
  }

  ContactHost host;
  VardokHost::CheckContact web;
  web.name = "web";
  web.command = server.url("/status");
  web.interval = 1;
  web.enabled = 1;
  host.startChecks(plugin.get(), {web}, [&](const std::vector<int>& rows) { cycle.web.row = rows[0]; });

  VardokHost::CheckContact command;
  command.name = "command";
  command.command = testChild() + " write 1 1";
  command.interval = 1;
  command.enabled = 1;
  cycle.command.row = host.addCheck(command);

  host.pumpUntil([&] { return reportsOf(host, cycle.web.row) > 0 && reportsOf(host, cycle.command.row) > 0; },
                 kStepWaitMs);

  // The settings page's check button on the command check.
  const size_t boxesBefore = boxes();
  const size_t reportsBefore = reportsOf(host, cycle.command.row);
  Vardok::ActionEvent press{30, Vardok::kCheckActionId, Vardok::kPageId, cycle.command.row, Vardok::kEventActivated,
                            {0, 0, 0}};
  host.post(Vardok::HM_ACTION, reinterpret_cast<int32_t>(&press));
  host.pumpUntil([&] { return boxes() > boxesBefore && reportsOf(host, cycle.command.row) > reportsBefore; },
                 kStepWaitMs);

  host.post(Vardok::HM_CONTACT_REMOVING, cycle.command.row);
  readStatuses(host, &cycle.command);
  const std::string mark = Vardok::Texts::kOutputCutNoMemory;
  for (const HostEvent& e : host.columnWrites(cycle.command.row, Vardok::kColumnDescription))
    if (e.text.size() >= mark.size() && e.text.compare(e.text.size() - mark.size(), mark.size(), mark) == 0)
      cycle.outputCut = true;
  host.removeContact(cycle.command.row);
  host.pumpFor(100);

  const DWORD detachStart = GetTickCount();
  host.post(Vardok::HM_DETACH_CORE);
  cycle.detachMs = GetTickCount() - detachStart;
  uint64_t lastSequence = 0;
  for (const HostEvent& e : host.events()) lastSequence = std::max(lastSequence, e.sequence);
  readStatuses(host, &cycle.web);

  const DWORD unloadStart = GetTickCount();
  plugin->unload();
  cycle.unloaded = host.pumpUntil([] { return GetModuleHandleA("Vardok.dll") == nullptr; }, kSettleMs);
  cycle.unloadMs = GetTickCount() - unloadStart;
  host.pumpFor(200);
  for (const HostEvent& e : host.events())
    if (e.sequence > lastSequence) ++cycle.eventsAfterDetach;

  cycle.boxes = boxes();
  for (const HostEvent& e : host.messages(Vardok::HM_LOG)) {
    if (e.i32(26) != Vardok::kLogError) continue;
    if (!cycle.errorLines++) cycle.firstErrorLine = e.text;
    if (fault) std::fprintf(stderr, "  logged: %s\n", e.text.c_str());
  }
  return cycle;
}

// The open handle values of this process.
std::vector<ULONG_PTR> handleValues() {
  std::vector<ULONG_PTR> values;
  for (ULONG_PTR value = 4; value < 0x40000; value += 4) {
    DWORD flags;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) values.push_back(value);
  }
  return values;
}

// The kind of object a handle is ("Semaphore", "Event", ...), from ntdll.
std::string handleKind(ULONG_PTR value) {
  using Query = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  static const auto query =
      reinterpret_cast<Query>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
  struct {
    USHORT length, maximum;
    wchar_t* buffer;
    char rest[512];
  } type{};
  ULONG size = 0;
  if (!query || query(reinterpret_cast<HANDLE>(value), 2, &type, sizeof type, &size) < 0 || !type.buffer) return "?";
  std::string name;
  for (USHORT i = 0; i < type.length / 2; ++i) name += static_cast<char>(type.buffer[i]);
  return name;
}

// What the process holds at rest.
struct Holdings {
  int threads = 0;
  int handles = 0;
  int children = 0;
};

Holdings holdings() { return {VardokHost::countThreads(), VardokHost::countOpenHandles(), VardokHost::countChildProcesses()}; }

// Waits until the process holds no more than at rest (threads and
// children end a little after the DLL has let go); answers what it holds.
Holdings settle(const Holdings& rest) {
  const DWORD start = GetTickCount();
  Holdings now = holdings();
  while ((now.threads > rest.threads || now.children > rest.children || now.handles > rest.handles) &&
         GetTickCount() - start < kSettleMs) {
    SleepEx(100, TRUE);
    now = holdings();
  }
  return now;
}

// --- one row ---

struct Verdict {
  bool held = true;
  std::string notes;
  void fail(const std::string& why) {
    held = false;
    notes += (notes.empty() ? "" : "; ") + why;
  }
  void note(const std::string& what) { notes += (notes.empty() ? "" : "; ") + what; }
};

std::string ms(DWORD value) { return std::to_string(value) + " ms"; }

void judge(const Cycle& cycle, const Holdings& rest, const Holdings& after, bool compareHandles, Verdict* verdict) {
  if (cycle.detachMs > kDetachLimitMs) verdict->fail("detach took " + ms(cycle.detachMs));
  if (!cycle.unloaded || cycle.unloadMs > kUnloadLimitMs) verdict->fail("DLL still loaded after " + ms(cycle.unloadMs));
  if (cycle.eventsAfterDetach) verdict->fail(std::to_string(cycle.eventsAfterDetach) + " host calls after detach");
  if (after.threads > rest.threads)
    verdict->fail("threads " + std::to_string(after.threads) + " (at rest " + std::to_string(rest.threads) + ")");
  if (after.children > rest.children)
    verdict->fail("child processes " + std::to_string(after.children) + " (at rest " + std::to_string(rest.children) + ")");
  if (compareHandles && after.handles > rest.handles)
    verdict->fail("handles " + std::to_string(after.handles) + " (at rest " + std::to_string(rest.handles) + ")");
  for (const CheckSeen* check : {&cycle.web, &cycle.command}) {
    const char* name = check == &cycle.web ? "web check" : "command check";
    if (check->wellReports) verdict->fail(std::string(name) + " reported well");
    if (!check->reports && !cycle.boxes && !cycle.errorLines) verdict->fail(std::string(name) + " never told");
  }
}

int runRow(const Fault& fault, const std::string& resultFile, bool expectCut) {
  Verdict verdict;
  // The platform keeps a mutex for the debugger's output once a line has
  // gone there (as the plug-in's failure lines do while it is detached):
  // part of the process at rest, not of the plug-in.
  OutputDebugStringA("vardok-fault-host\n");
  uint64_t calls = 0, failed = 0;
  LoopbackHttpServer server;
  server.setReply({LoopbackHttpServer::response(200, "web page: down\n", {"Error: 10"})});
  if (!server.listening()) {
    verdict.fail("loopback server: " + server.error());
  } else {
    // The control: the first load sets up what stays (WinINet, Winsock),
    // and what the process then holds is its rest.
    DWORD phase = GetTickCount();
    const auto lap = [&](const char* what) {
      std::fprintf(stderr, "  %s: %lu ms\n", what, static_cast<unsigned long>(GetTickCount() - phase));
      phase = GetTickCount();
    };
    const Cycle control = runCycle(server, nullptr);
    lap("control");
    if (!control.loaded) {
      verdict.fail("Vardok.dll: " + control.error);
    } else {
      const Holdings rest = settle(holdings());
      const std::vector<ULONG_PTR> restHandles = handleValues();
      lap("at rest");
      std::fprintf(stderr, "  rest: %d threads, %d handles, %d children\n", rest.threads, rest.handles, rest.children);
      Verdict controlVerdict;
      judge(control, rest, rest, false, &controlVerdict);
      if (!controlVerdict.held) verdict.fail("control: " + controlVerdict.notes);
      const Cycle faulted = runCycle(server, &fault);
      lap("faulted");
      calls = callsSeen();
      failed = callsFailed();
      if (!faulted.faultInstalled) {
        verdict.fail("not installed: " + faulted.faultRefused);
      } else {
        const Holdings after = settle(rest);
        lap("settled");
        std::fprintf(stderr, "  after: %d threads, %d handles, %d children\n", after.threads, after.handles,
                     after.children);
        const FunctionFacts facts = factsOf(fault.dll, fault.function);
        judge(faulted, rest, after, !facts.release, &verdict);
        if (after.handles > rest.handles) {
          std::string left;
          for (ULONG_PTR value : handleValues())
            if (!std::binary_search(restHandles.begin(), restHandles.end(), value)) left += " " + handleKind(value);
          verdict.note("handles left:" + left);
        }
        if (facts.release) verdict.note("handles not compared: a refused release keeps its handle");
        if (!failed) verdict.note("not reached");
        if (expectCut && !faulted.outputCut) verdict.fail("no output cut for want of memory");
        if (faulted.outputCut) verdict.note("output cut for want of memory");
        if (faulted.errorLines) verdict.note("logged: " + faulted.firstErrorLine.substr(0, 120));
      }
    }
  }
  const std::string line = std::string(verdict.held ? "ok" : "FAIL") + "\t" + std::to_string(calls) + "\t" +
                           std::to_string(failed) + "\t" + verdict.notes;
  std::printf("%s %s %s: %s\n", fault.dll.c_str(), fault.function.c_str(), modeText(fault.mode, fault.n).c_str(),
              line.c_str());
  if (!resultFile.empty()) {
    if (FILE* out = std::fopen(resultFile.c_str(), "wb")) {
      std::fputs(line.c_str(), out);
      std::fclose(out);
    }
  }
  return verdict.held ? 0 : 1;
}

// --- the sweep ---

struct Row {
  Row(std::string dll, std::string function, std::string mode, std::string skipped = std::string())
      : dll(std::move(dll)), function(std::move(function)), mode(std::move(mode)), skipped(std::move(skipped)) {}
  std::string dll, function, mode;
  std::string skipped;  // why the row is not run
  std::string outcome, notes, calls;
  double seconds = 0;
};

std::vector<std::string> kAllocationModes = {"nth:2", "nth:3", "nth:7", "nth:29", "nth:101", "above:1024",
                                              "above:65536", "above:262144", "above:1048576"};

std::vector<Row> plannedRows(HMODULE module) {
  std::vector<Row> rows;
  for (const auto& imported : VardokHost::importedFunctions(module)) {
    const FunctionFacts facts = factsOf(imported.dll, imported.function);
    if (!facts.canFail) {
      rows.push_back({imported.dll, imported.function, "all modes", "skipped: " + facts.why});
      continue;
    }
    rows.push_back({imported.dll, imported.function, "first"});
    rows.push_back({imported.dll, imported.function, "every"});
    if (!facts.allocation) rows.push_back({imported.dll, imported.function, "nth, above", "skipped: not an allocation"});
  }
  for (const auto& allocation : allocationImports(module)) {
    for (const char* mode : {"nth:29", "above:262144"}) rows.push_back({allocation.first, allocation.second, mode});
  }
  for (const std::string& mode : kAllocationModes) rows.push_back({"any", "allocations", mode});
  return rows;
}

std::string tempResultFile(size_t index) {
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  return std::string(folder) + "vardok-fault-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(index) +
         ".txt";
}

std::string readWhole(const std::string& path) {
  std::string text;
  if (FILE* in = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, got);
    std::fclose(in);
  }
  return text;
}

struct Running {
  size_t row;
  HANDLE process;
  DWORD started;
  std::string result;
};

HANDLE startRow(const Row& row, const std::string& result) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string line = "\"" + std::string(self) + "\" --row " + row.dll + " " + row.function + " " + row.mode +
                     " --result \"" + result + "\"";
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                           OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
  PROCESS_INFORMATION process{};
  const BOOL ok = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                                 &startup, &process);
  CloseHandle(nul);
  if (!ok) return nullptr;
  CloseHandle(process.hThread);
  return process.hProcess;
}

std::string exitText(DWORD code) {
  char text[32];
  std::snprintf(text, sizeof text, code > 0xFFFF ? "0x%08lX" : "%lu", static_cast<unsigned long>(code));
  return text;
}

int sweep(unsigned budgetSeconds, unsigned jobs, const std::string& only, DWORD rowLimitMs, unsigned part,
          unsigned parts) {
  std::string error;
  std::vector<Row> rows;
  {
    auto plugin = VardokHost::PluginModule::load(VardokHost::programFolder() + "Vardok.dll", &error);
    if (!plugin) {
      std::fprintf(stderr, "Vardok.dll: %s\n", error.c_str());
      return 2;
    }
    rows = plannedRows(plugin->module());
    plugin->unload();
  }
  if (!only.empty())
    rows.erase(std::remove_if(rows.begin(), rows.end(),
                              [&](const Row& r) { return (r.dll + "!" + r.function + " " + r.mode).find(only) == std::string::npos; }),
               rows.end());
  if (parts > 1) {
    const size_t from = rows.size() * part / parts, to = rows.size() * (part + 1) / parts;
    rows = std::vector<Row>(rows.begin() + from, rows.begin() + to);
  }
  const DWORD start = GetTickCount();
  std::vector<Running> running;
  size_t next = 0;
  for (;;) {
    while (running.size() < jobs && next < rows.size()) {
      Row& row = rows[next];
      if (!row.skipped.empty()) {
        row.outcome = "skipped";
        row.notes = row.skipped;
        ++next;
        continue;
      }
      if (GetTickCount() - start > budgetSeconds * 1000u) {
        row.outcome = "not run";
        row.notes = "time budget spent";
        ++next;
        continue;
      }
      const std::string result = tempResultFile(next);
      DeleteFileA(result.c_str());
      HANDLE process = startRow(row, result);
      if (!process) {
        row.outcome = "FAIL";
        row.notes = "could not start the row's process";
      } else {
        running.push_back({next, process, GetTickCount(), result});
      }
      ++next;
    }
    if (running.empty() && next >= rows.size()) break;
    std::vector<HANDLE> handles;
    for (const Running& r : running) handles.push_back(r.process);
    WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, 200);
    for (size_t i = 0; i < running.size();) {
      Running& r = running[i];
      Row& row = rows[r.row];
      const DWORD elapsed = GetTickCount() - r.started;
      const bool ended = WaitForSingleObject(r.process, 0) == WAIT_OBJECT_0;
      if (!ended && elapsed < rowLimitMs) {
        ++i;
        continue;
      }
      row.seconds = elapsed / 1000.0;
      if (!ended) {
        TerminateProcess(r.process, 1);
        WaitForSingleObject(r.process, 5000);
        row.outcome = "FAIL";
        row.notes = "hung: no verdict within " + std::to_string(rowLimitMs / 1000) + " s";
      } else {
        DWORD code = 0;
        GetExitCodeProcess(r.process, &code);
        const std::string line = readWhole(r.result);
        const size_t a = line.find('\t'), b = line.find('\t', a + 1), c = line.find('\t', b + 1);
        if (code > 1 || line.empty() || c == std::string::npos) {
          row.outcome = "FAIL";
          row.notes = "crashed: exit code " + exitText(code);
          if (!line.empty()) row.notes += "; " + line;
        } else {
          row.outcome = line.substr(0, a);
          row.calls = line.substr(a + 1, b - a - 1) + "/" + line.substr(b + 1, c - b - 1);
          row.notes = line.substr(c + 1);
        }
      }
      CloseHandle(r.process);
      DeleteFileA(r.result.c_str());
      std::printf("%-13s %-32s %-13s %-7s %s\n", row.dll.c_str(), row.function.c_str(), row.mode.c_str(),
                  row.outcome.c_str(), row.notes.substr(0, 150).c_str());
      std::fflush(stdout);
      running.erase(running.begin() + i);
    }
  }
  const double seconds = (GetTickCount() - start) / 1000.0;

  size_t run = 0, failed = 0, skipped = 0, notRun = 0;
  std::printf("\n| function | mode | outcome | calls/failed | s | notes |\n|---|---|---|---|---|---|\n");
  for (const Row& row : rows) {
    if (row.outcome == "skipped") ++skipped;
    else if (row.outcome == "not run") ++notRun;
    else ++run;
    if (row.outcome == "FAIL") ++failed;
    char seconds[16];
    std::snprintf(seconds, sizeof seconds, "%.1f", row.seconds);
    std::printf("| %s!%s | %s | %s | %s | %s | %s |\n", row.dll.c_str(), row.function.c_str(), row.mode.c_str(),
                row.outcome.c_str(), row.calls.c_str(), row.outcome == "skipped" ? "" : seconds, row.notes.c_str());
  }
  std::printf("\n%zu rows: %zu run, %zu skipped, %zu not run (time budget), %zu failed; %.0f s\n", rows.size(), run,
              skipped, notRun, failed, seconds);
  std::printf("%zu passed, %zu failed\n", run - failed, failed);
  return failed ? 1 : 0;
}

int list() {
  std::string error;
  auto plugin = VardokHost::PluginModule::load(VardokHost::programFolder() + "Vardok.dll", &error);
  if (!plugin) {
    std::fprintf(stderr, "Vardok.dll: %s\n", error.c_str());
    return 2;
  }
  for (const auto& imported : VardokHost::importedFunctions(plugin->module())) {
    const FunctionFacts facts = factsOf(imported.dll, imported.function);
    std::printf("%s!%s\t%d bytes\t%s%s%s\n", imported.dll.c_str(), imported.function.c_str(), facts.argumentBytes,
                facts.canFail ? "can fail" : facts.why.c_str(), facts.allocation ? ", allocation" : "",
                facts.release ? ", release" : "");
  }
  plugin->unload();
  return 0;
}

LONG WINAPI crashed(EXCEPTION_POINTERS* info) {
  // A crash ends the row's process with the exception's code, at once: no
  // debugger, no dialog.
  TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

int usage() {
  std::fprintf(stderr,
               "usage: vardok-fault-host --row DLL FUNCTION MODE [--result FILE] [--expect-cut]\n"
               "       vardok-fault-host --sweep [--budget SECONDS] [--jobs N] [--only TEXT] [--row-limit SECONDS]\n"
               "                         [--part K/N]\n"
               "       vardok-fault-host --list\n"
               "MODE: first | every | nth:N | above:BYTES; FUNCTION allocations: every allocation function\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usage();
  if (args[0] == "--list") return list();
  if (args[0] == "--row" && args.size() >= 4) {
    SetUnhandledExceptionFilter(&crashed);
    Fault fault;
    fault.dll = args[1];
    fault.function = args[2];
    if (!parseMode(args[3], &fault.mode, &fault.n)) return usage();
    std::string result;
    bool expectCut = false;
    for (size_t i = 4; i < args.size(); ++i) {
      if (args[i] == "--result" && i + 1 < args.size()) result = args[++i];
      else if (args[i] == "--expect-cut") expectCut = true;
      else return usage();
    }
    return runRow(fault, result, expectCut);
  }
  if (args[0] == "--sweep") {
    unsigned budget = 1800, jobs = 2, rowLimit = 90, part = 0, parts = 1;
    std::string only;
    for (size_t i = 1; i + 1 < args.size(); i += 2) {
      if (args[i] == "--budget") budget = static_cast<unsigned>(std::atoi(args[i + 1].c_str()));
      else if (args[i] == "--jobs") jobs = std::max(1, std::atoi(args[i + 1].c_str()));
      else if (args[i] == "--only") only = args[i + 1];
      else if (args[i] == "--row-limit") rowLimit = static_cast<unsigned>(std::atoi(args[i + 1].c_str()));
      else if (args[i] == "--part" && std::sscanf(args[i + 1].c_str(), "%u/%u", &part, &parts) == 2 && part < parts) {}
      else return usage();
    }
    return sweep(budget, jobs, only, rowLimit * 1000u, part, parts);
  }
  return usage();
}
