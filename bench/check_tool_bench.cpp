// What each vardok-check command costs of its own. The commands are called
// in this process, as vardok-check's main calls them (the program's start,
// the same for every command, is timed apart), interleaved in random order
// each round. The bridge is set against starting and waiting for the same
// program directly, so its figure is what the bridge adds.
//   check_tool_bench.exe [ROUNDS]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <windows.h>

#include "bench/measure.h"
#include "host/lib/http_server.h"
#include "host/lib/plugin_module.h"
#include "support/threads/unique_handle.h"
#include "tools/check/checks.h"

using namespace VardokBench;
using namespace VardokCheck;

namespace {

// Wall time of one run of a command line to its end, output discarded.
// Started as the bridge starts its program (no window flag: under Wine that
// would add a console helper), so the two can be set against each other.
double processMs(const std::string& commandLine) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const Quorlin::FileHandle nothing(CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                                OPEN_EXISTING, 0, nullptr));
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = nothing.get();
  PROCESS_INFORMATION process{};
  std::string line = commandLine;
  const int64_t start = now();
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) return -1;
  const Quorlin::ProcessHandle child(process.hProcess);
  const Quorlin::ThreadHandle thread(process.hThread);
  WaitForSingleObject(child.get(), INFINITE);
  return milliseconds(now() - start);
}

double callMs(Outcome (*command)(const Args&), const Args& args) {
  const int64_t start = now();
  const Outcome outcome = command(args);
  const double ms = milliseconds(now() - start);
  return outcome.line.empty() ? -1 : ms;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 40;
  constexpr double kTargetMs = 5;
  const std::string child = VardokHost::programFolder() + "vardok-test-child.exe";
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string file = std::string(temp) + "vardok-bench-age.txt";
  { const Quorlin::FileHandle f(CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr)); }
  VardokHost::LoopbackHttpServer server;
  server.setReply({VardokHost::LoopbackHttpServer::response(200, "ok")});

  struct Command {
    const char* name;
    Outcome (*check)(const Args&);
    Args args;
  };
  const std::vector<Command> commands = {
      {"disk", checkDisk, {"C:", "--warn", "99", "--crit", "100"}},
      {"file-age", checkFileAge, {file, "--warn", "1000", "--crit", "2000"}},
      {"process", checkProcess, {"services"}},
      {"service", checkService, {"PlugPlay"}},
      {"tcp", checkTcp, {server.address(), "80"}},
      {"http", checkHttp, {server.url("/")}},
      {"run", runClassic, {"--", child, "sleep", "0"}},
  };
  std::vector<std::function<double()>> variants;
  const std::string direct = "\"" + child + "\" sleep 0";
  variants.push_back([&] { return processMs(direct); });
  variants.push_back([&] { return processMs("\"" + VardokHost::programFolder() + "vardok-check.exe\" --version"); });
  for (const Command& command : commands) variants.push_back([&] { return callMs(command.check, command.args); });

  std::printf("vardok-check's commands called in process, %d rounds interleaved\n", rounds);
  const auto samples = interleave(rounds, variants);
  std::printf("    (vardok-check --version as a whole process: median %.1f ms, min %.1f ms; the same for every command)\n",
              median(samples[1]), minimum(samples[1]));
  bool all = true;
  for (size_t i = 0; i < commands.size(); ++i) {
    std::vector<double> own = samples[i + 2];
    const bool bridge = std::string(commands[i].name) == "run";
    // The bridge: what it adds to starting and waiting for the program.
    if (bridge)
      for (size_t r = 0; r < own.size(); ++r) own[r] -= samples[0][r];
    const double m = median(own);
    const bool met = m <= kTargetMs;
    all &= met;
    std::printf("    %-9s %s median %6.2f ms, min %6.2f ms, n %zu   target <= %.0f ms   %s\n", commands[i].name,
                bridge ? "adds  " : "costs ", m, minimum(own), own.size(), kTargetMs, met ? "met" : "MISSED");
  }
  printVerdict("every command within a few milliseconds of its own", all);
  DeleteFileA(file.c_str());
  return 0;
}
