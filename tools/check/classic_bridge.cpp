// run [--timeout S] -- PROGRAM ARGS...: a check program of the classic
// monitoring convention (exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN; one
// line of text, performance data after a '|') made into a Vardok check.
#include <windows.h>

#include <memory>
#include <vector>

#include "support/text/program_output.h"
#include "support/threads/child_process.h"
#include "tools/check/error_words.h"
#include "tools/check/checks.h"
#include "tools/check/command_line.h"
#include "tools/check/remote_text.h"

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
  const std::string all = trimmed(withoutTags(output));
  std::string first = all.substr(0, all.find_first_of("\r\n"));
  first = trimmed(first.substr(0, first.find('|')));
  Outcome outcome;
  outcome.line = all.empty() ? program + " printed nothing (exit " + std::to_string(static_cast<int>(code)) + ")" : all;
  switch (code) {
    case 0:
      outcome.level = Level::Well;
      outcome.info = first.empty() ? "OK" : first;
      break;
    // The verdict leads: a first line that does not name it gets it before.
    case 1:
      outcome.level = Level::Problem;
      outcome.info = first.empty() ? "WARNING" : first.find("WARNING") == std::string::npos ? "WARNING: " + first : first;
      break;
    case 2:
      outcome.level = Level::Critical;
      outcome.info =
          first.empty() ? "CRITICAL" : first.find("CRITICAL") == std::string::npos ? "CRITICAL: " + first : first;
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

  // The program inherits the pipe and NUL and nothing else, never
  // vardok-check's own standard handles: what it leaves running must not
  // hold the output of whoever runs vardok-check. It and all it starts
  // live in a job, so that a run past its time ends with the whole tree.
  Quorlin::ChildOptions options;
  options.keep = kKeepOutput;
  options.drainMs = kDrainMs;
  Quorlin::ChildProcess::Failure failure;
  DWORD error;
  const std::unique_ptr<Quorlin::ChildProcess> child = Quorlin::ChildProcess::start(commandLine, options, &failure, &error);
  if (!child && failure == Quorlin::ChildProcess::Failure::Pipe)
    return {Level::Critical, "run: no pipe: " + errorWords(error), "cannot run"};
  if (!child)
    return {Level::Critical, "run: cannot start " + program + ": " + errorWords(error),
            "cannot start " + program.substr(program.find_last_of("\\/") + 1)};
  child->resume();
  if (!child->read(static_cast<DWORD>(timeoutS * 1000))) {
    child->endTree(1);
    child->drain();
    const std::string printed = trimmed(withoutTags(Quorlin::narrowOutput(child->output())));
    Outcome outcome{Level::Critical, program + " ran longer than " + std::to_string(timeoutS) + " s and was ended",
                    "timed out after " + std::to_string(timeoutS) + " s"};
    if (!printed.empty()) outcome.line = printed + "\n" + outcome.line;
    outcome.notify = outcome.info;
    return outcome;
  }
  // What the program started on purpose outlives it.
  child->keepDescendants();
  // The program's bytes as the plug-in would read them (zero bytes dropped,
  // UTF-16 made narrow), so that its tags are made harmless as the plug-in
  // would find them.
  return judgeExit(child->exitCode(), Quorlin::narrowOutput(child->output()), program);
}

}  // namespace VardokCheck
