// What vardok-check costs beyond starting a process: each command is timed
// as the plug-in runs it (a process to its end), side by side with
// vardok-check doing nothing but print its version, interleaved in random
// order; the difference per round is the command's own cost. The bridge
// is set against the program it runs started directly.
//   check_tool_bench.exe [ROUNDS]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <windows.h>

#include "bench/measure.h"
#include "host/lib/http_server.h"
#include "support/threads/unique_handle.h"

using namespace VardokBench;

namespace {

std::string folder() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text(path, length);
  return text.substr(0, text.find_last_of("\\/") + 1);
}

// Wall time of one run of a command line to its end, output discarded.
double runMs(const std::string& commandLine) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const Quorlin::FileHandle nothing(CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                                OPEN_EXISTING, 0, nullptr));
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = nothing.get();
  startup.hStdInput = nullptr;
  PROCESS_INFORMATION process{};
  std::string line = commandLine;
  const int64_t start = now();
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) return -1;
  const Quorlin::ProcessHandle child(process.hProcess);
  const Quorlin::ThreadHandle thread(process.hThread);
  WaitForSingleObject(child.get(), INFINITE);
  return milliseconds(now() - start);
}

std::vector<double> differences(const std::vector<double>& a, const std::vector<double>& b, const std::vector<double>* c = nullptr) {
  std::vector<double> out;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) out.push_back(a[i] - b[i] - (c ? (*c)[i] : 0.0));
  return out;
}

bool printCost(const char* what, const std::vector<double>& costs, double targetMs) {
  const double m = median(costs);
  const bool met = m <= targetMs;
  std::printf("    %-9s own cost median %6.2f ms, min %6.2f ms, n %zu   target <= %.0f ms   %s\n", what, m,
              minimum(costs), costs.size(), targetMs, met ? "met" : "MISSED");
  return met;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 40;
  constexpr double kTargetMs = 5;
  const std::string check = "\"" + folder() + "vardok-check.exe\" ";
  const std::string child = "\"" + folder() + "vardok-test-child.exe\" sleep 0";
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string file = std::string(temp) + "vardok-bench-age.txt";
  { const Quorlin::FileHandle f(CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr)); }
  VardokHost::LoopbackHttpServer server;
  server.setReply({VardokHost::LoopbackHttpServer::response(200, "ok")});

  struct Command {
    const char* name;
    std::string arguments;
  };
  const std::vector<Command> commands = {
      {"disk", "disk C: --warn 99 --crit 100"},
      {"file-age", "file-age \"" + file + "\" --warn 1000 --crit 2000"},
      {"process", "process services"},
      {"service", "service PlugPlay"},
      {"tcp", "tcp " + server.address() + " 80"},
      {"http", "http " + server.url("/")},
      {"run", "run -- " + child},
  };
  std::vector<std::function<double()>> variants;
  variants.push_back([&] { return runMs(check + "--version"); });  // the process's own start and end
  variants.push_back([&] { return runMs(child); });  // what the bridge runs, started directly
  for (const Command& command : commands) variants.push_back([&] { return runMs(check + command.arguments); });

  std::printf("vardok-check, %d rounds, each command against vardok-check --version\n", rounds);
  const auto samples = interleave(rounds, variants);
  std::printf("    baseline  median %6.2f ms, min %6.2f ms (a process that starts and ends)\n", median(samples[0]),
              minimum(samples[0]));
  bool all = true;
  for (size_t i = 0; i < commands.size(); ++i) {
    const bool bridge = std::string(commands[i].name) == "run";
    all &= printCost(commands[i].name, differences(samples[i + 2], samples[0], bridge ? &samples[1] : nullptr),
                     kTargetMs);
  }
  printVerdict("every command within a few milliseconds of its own", all);
  DeleteFileA(file.c_str());
  return 0;
}
