// run [--timeout S] -- PROGRAM ARGS...: a check program of the classic
// monitoring convention (exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN; one
// line of text, performance data after a '|') made into a Vardok check.
#include <windows.h>

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "support/threads/child_process.h"
#include "support/threads/unique_handle.h"
#include "tools/check/checks.h"
#include "tools/check/command_line.h"

namespace VardokCheck {

namespace {

constexpr int64_t kDefaultTimeoutS = 30;
// Of what the program prints, this much is kept.
constexpr size_t kKeepOutput = 1u << 20;
// How long the output is read after the program ended: whatever it
// started may hold the pipe open.
constexpr DWORD kDrainMs = 1000;

// One argument as the C runtime splits a command line back into argv.
std::string quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The program's output, read on a thread of its own until the pipe ends.
// The thread shares what it reads with the reader object; a thread still
// blocked when the object goes (something the program started holds the
// pipe) is left behind with its share and ends with the process.
class OutputReader {
 public:
  explicit OutputReader(Quorlin::PipeHandle pipe) : _shared(std::make_shared<Shared>()) {
    _shared->pipe = std::move(pipe);
    _shared->ended.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    _thread = std::thread([shared = _shared] { read(*shared); });
  }
  ~OutputReader() {
    if (waitForEnd(0)) _thread.join();
    else _thread.detach();
  }
  OutputReader(const OutputReader&) = delete;
  OutputReader& operator=(const OutputReader&) = delete;

  bool waitForEnd(DWORD ms) { return WaitForSingleObject(_shared->ended.get(), ms) == WAIT_OBJECT_0; }
  std::string text() {
    std::lock_guard<std::mutex> guard(_shared->lock);
    return _shared->text;
  }

 private:
  struct Shared {
    Quorlin::PipeHandle pipe;
    Quorlin::EventHandle ended;
    std::mutex lock;
    std::string text;
  };

  static void read(Shared& shared) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(shared.pipe.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
      std::lock_guard<std::mutex> guard(shared.lock);
      if (shared.text.size() < kKeepOutput)
        shared.text.append(buffer, std::min<size_t>(got, kKeepOutput - shared.text.size()));
    }
    SetEvent(shared.ended.get());
  }

  std::shared_ptr<Shared> _shared;
  std::thread _thread;
};

// PROGRAM as written, or, when it names no folder and is not in the
// current one, the file of that name beside vardok-check.exe (where check
// scripts may be kept).
std::string locateProgram(const std::string& written) {
  const std::string program = expandEnvironment(written);
  if (program.find_first_of("\\/:") != std::string::npos) return program;
  if (GetFileAttributesA(program.c_str()) != INVALID_FILE_ATTRIBUTES) return program;
  char self[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string beside(self, length);
  beside.erase(beside.find_last_of("\\/") + 1);
  beside += program;
  return GetFileAttributesA(beside.c_str()) != INVALID_FILE_ATTRIBUTES ? beside : program;
}

bool isBatchFile(const std::string& program) {
  const size_t dot = program.find_last_of('.');
  if (dot == std::string::npos) return false;
  const std::string extension = program.substr(dot);
  return _stricmp(extension.c_str(), ".cmd") == 0 || _stricmp(extension.c_str(), ".bat") == 0;
}

Outcome judgeExit(DWORD code, const std::string& output, const std::string& program) {
  const std::string all = trimmed(output);
  std::string first = all.substr(0, all.find_first_of("\r\n"));
  first = trimmed(first.substr(0, first.find('|')));
  Outcome outcome;
  outcome.line = all.empty() ? program + " printed nothing (exit " + std::to_string(static_cast<int>(code)) + ")" : all;
  switch (code) {
    case 0:
      outcome.level = Level::Well;
      outcome.info = first.empty() ? "OK" : first;
      break;
    case 1:
      outcome.level = Level::Problem;
      outcome.info = first.empty() ? "WARNING" : first;
      break;
    case 2:
      outcome.level = Level::Critical;
      outcome.info = first.empty() ? "CRITICAL" : first;
      break;
    default:
      // UNKNOWN, and any code the convention does not know, is critical: a
      // check that cannot tell must not look well.
      outcome.level = Level::Critical;
      if (code != 3) first = "UNKNOWN (exit " + std::to_string(static_cast<int>(code)) + ")" + (first.empty() ? "" : ": " + first);
      else if (first.find("UNKNOWN") == std::string::npos) first = "UNKNOWN" + (first.empty() ? "" : ": " + first);
      outcome.info = first;
  }
  outcome.notify = outcome.info;
  return outcome;
}

}  // namespace

Outcome runClassic(const Args& args) {
  const Arguments arguments(args, {"--timeout"});
  if (!arguments.positional().empty()) throw UsageError("takes the program after --");
  if (arguments.rest().empty()) throw UsageError("needs -- PROGRAM [ARGS...]");
  const int64_t timeoutS = arguments.number("--timeout", 1, 86400, false, kDefaultTimeoutS);
  const std::string program = arguments.rest()[0];
  const std::string located = locateProgram(program);
  std::string commandLine = quoted(located);
  for (size_t i = 1; i < arguments.rest().size(); ++i) commandLine += " " + quoted(arguments.rest()[i]);
  // A batch file runs in the command interpreter; /s keeps the quoted line
  // as it stands.
  if (isBatchFile(located)) commandLine = "cmd.exe /s /c \"" + commandLine + "\"";

  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0))
    return {Level::Critical, "run: no pipe (error " + std::to_string(GetLastError()) + ")", "cannot run"};
  Quorlin::PipeHandle reading(readEnd), writing(writeEnd);
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  const Quorlin::FileHandle nothing(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                                OPEN_EXISTING, 0, nullptr));
  // The program inherits the pipe and NUL and nothing else, never
  // vardok-check's own standard handles: what it leaves running must not
  // hold the output of whoever runs vardok-check.
  std::vector<HANDLE> inherited{writeEnd};
  if (nothing) inherited.push_back(nothing.get());
  const Quorlin::InheritList inherit(inherited);

  STARTUPINFOEXA startup = inherit.startup(nothing.get(), writeEnd);
  PROCESS_INFORMATION process{};
  const DWORD flags = CREATE_SUSPENDED | inherit.creationFlags();
  if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                      &startup.StartupInfo, &process)) {
    const DWORD error = GetLastError();
    return {Level::Critical, "run: cannot start " + program + " (error " + std::to_string(error) + ")",
            "cannot start " + program.substr(program.find_last_of("\\/") + 1)};
  }
  const Quorlin::ProcessHandle child(process.hProcess);
  const Quorlin::ThreadHandle mainThread(process.hThread);
  writing.reset();  // only the child writes now: the pipe ends when it and its children do

  // The program and all it starts live in a job, so that a run past its
  // time ends with the whole tree.
  const Quorlin::JobHandle job = Quorlin::killOnCloseJob();
  const bool inJob = job && AssignProcessToJobObject(job.get(), child.get());
  ResumeThread(mainThread.get());
  OutputReader reader(std::move(reading));

  if (WaitForSingleObject(child.get(), static_cast<DWORD>(timeoutS * 1000)) == WAIT_TIMEOUT) {
    if (inJob) TerminateJobObject(job.get(), 1);
    else TerminateProcess(child.get(), 1);
    reader.waitForEnd(kDrainMs);
    const std::string printed = trimmed(reader.text());
    Outcome outcome{Level::Critical, program + " ran longer than " + std::to_string(timeoutS) + " s and was ended",
                    "timed out after " + std::to_string(timeoutS) + " s"};
    if (!printed.empty()) outcome.line = printed + "\n" + outcome.line;
    outcome.notify = outcome.info;
    return outcome;
  }
  DWORD code = 0;
  GetExitCodeProcess(child.get(), &code);
  reader.waitForEnd(kDrainMs);
  // What the program started on purpose outlives it.
  if (inJob) Quorlin::keepProcessesOnClose(job.get());
  return judgeExit(code, reader.text(), program);
}

}  // namespace VardokCheck
