// What each vardok-check command costs of its own. The commands are called
// in this process, as vardok-check's main calls them (the program's start,
// the same for every command, is timed apart), interleaved in random order
// each round. The bridge is set against starting and waiting for the same
// program directly, so its figure is what the bridge adds.
//   check_tool_bench.exe [ROUNDS]
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <windows.h>

#include "bench/measure.h"
#include "host/serve/certificates.h"
#include "host/serve/http_server.h"
#include "host/lib/plugin_module.h"
#include "support/threads/unique_handle.h"
#include "tests/local_servers.h"
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
  using VardokHost::LoopbackHttpServer;
  LoopbackHttpServer server;
  // A page, a JSON document, and the two Prometheus API answers.
  server.setHandler([](const std::string& head) {
    const auto reply = [](const std::string& body) { return LoopbackHttpServer::Reply{LoopbackHttpServer::response(200, body)}; };
    if (head.find("/api/v1/query?") != std::string::npos)
      return reply("{\"status\":\"success\",\"data\":{\"resultType\":\"vector\",\"result\":"
                   "[{\"metric\":{\"__name__\":\"up\",\"job\":\"web\"},\"value\":[1,\"1\"]}]}}");
    if (head.find("/api/v1/alerts") != std::string::npos)
      return reply("{\"status\":\"success\",\"data\":{\"alerts\":[{\"labels\":{\"alertname\":\"Down\"},"
                   "\"state\":\"firing\"}]}}");
    if (head.find("/status.json") != std::string::npos) return reply("{\"service\": {\"users\": 42}}");
    return reply("ok");
  });
  // The HTTPS page of the test certificates, for the certificate check.
  std::string trustError;
  VardokHost::trustRootCertificate(VardokHost::certificateFolder() + "ca.pem", &trustError);
  LoopbackHttpServer::Options tls;
  tls.address = "127.0.0.1";
  tls.port = 0;
  tls.certificateFile = VardokHost::certificateFolder() + "server.pem";
  tls.keyFile = VardokHost::certificateFolder() + "server.key";
  LoopbackHttpServer secure(tls);
  const std::string secureUrl = secure.url("/");
  // dnsmasq on a loopback address of its own, answering from a hosts file.
  const std::string dnsAddress = "127.53.250." + std::to_string(GetCurrentProcessId() % 250 + 1);
  VardokTest::LocalServer dnsmasq("dnsmasq", dnsAddress, [](const std::string& folder) {
    std::string unixFolder = folder.substr(2);
    for (char& c : unixFolder)
      if (c == '\\') c = '/';
    std::ofstream(folder + "hosts") << "10.1.2.3 web.vardok.test\n";
    std::ofstream(folder + "dnsmasq.conf") << "addn-hosts=" << unixFolder << "hosts\nlocal=/vardok.test/\n";
  });
  if (dnsmasq.address().empty()) std::printf("    (no dnsmasq: %s)\n", dnsmasq.error().c_str());

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
      {"ping", checkPing, {"127.0.0.1", "--count", "1"}},
      {"json", checkJson, {server.url("/status.json"), "service.users", "--warn", "50"}},
      {"dns", checkDns, {"web.vardok.test", "--server", dnsAddress}},
      {"cert", checkCert, {secureUrl.substr(8, secureUrl.size() - 9)}},
      {"https", checkHttp, {secureUrl}},  // the same handshake, through WinINet
      {"prom", checkProm, {server.url(""), "up", "--crit", "1:"}},
      {"alerts", checkAlerts, {server.url("")}},
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
  // A TLS handshake costs far more than 5 ms under Wine whoever makes it:
  // the certificate check is held to the HTTPS page's check of the same
  // server, which is shown beside it and judged by nothing of its own.
  const auto indexOf = [&](const char* name) {
    for (size_t i = 0; i < commands.size(); ++i)
      if (std::string(commands[i].name) == name) return i;
    return commands.size();
  };
  const double httpsMedian = median(samples[indexOf("https") + 2]);
  bool all = true;
  for (size_t i = 0; i < commands.size(); ++i) {
    std::vector<double> own = samples[i + 2];
    const std::string name = commands[i].name;
    const bool bridge = name == "run";
    // The bridge: what it adds to starting and waiting for the program.
    if (bridge)
      for (size_t r = 0; r < own.size(); ++r) own[r] -= samples[0][r];
    const double m = median(own);
    std::printf("    %-9s %s median %6.2f ms, min %6.2f ms, n %zu", commands[i].name, bridge ? "adds  " : "costs ", m,
                minimum(own), own.size());
    if (name == "https") {
      std::printf("   (the reference for cert)\n");
      continue;
    }
    const bool tls = name == "cert";
    const double target = tls ? httpsMedian * 1.10 : kTargetMs;
    const bool met = m <= target;
    all &= met;
    std::printf("   target <= %.0f ms%s   %s\n", target, tls ? " (1.10 x https)" : "", met ? "met" : "MISSED");
  }
  printVerdict("every command within a few milliseconds of its own", all);
  DeleteFileA(file.c_str());
  return 0;
}
