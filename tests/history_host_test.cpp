// The hosts' history end to end: vardok-host.exe keeps its checks' history
// across a restart, and serves them to a real Prometheus at --metrics.
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <windows.h>
#include <winsock2.h>

#include "tests/local_servers.h"
#include "tests/plugin_fixture.h"

namespace {

using HostRun = VardokTest::ProgramRun;

class HostHistoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    dir = std::string(folder) + "vardok-history-" + name + "\\";
    CreateDirectoryA(dir.c_str(), nullptr);
    contacts = dir + "contacts.txt";
    script = dir + "script.txt";
    for (const char* stale : {"history.db", "history.db-wal", "history.db-shm", "contacts.txt.lock", "down"})
      DeleteFileA((dir + stale).c_str());
  }
  HostRun host(const std::string& program, const std::string& arguments) {
    SetEnvironmentVariableA("DISPLAY", nullptr);
    return VardokTest::runProgram("\"" + program + "\" --no-color --log \"" + dir + "host.log\" --contacts \"" +
                                      contacts + "\" --script \"" + script + "\" " + arguments,
                                  true, 120000);
  }
  std::string dir, contacts, script;
};

// A free port on 127.0.0.1 (free when asked; the host takes it next).
int freePort() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof at;
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&at), &size) == 0)
    port = ntohs(at.sin_port);
  closesocket(s);
  return port;
}

TEST_F(HostHistoryTest, AContactsResultsAndChangesOfStateOutliveTheHost) {
  VardokTest::writeFile(contacts, "Flaky | 82 | 1 | yes | cmd /c if exist \"" + dir + "down\" (echo down & exit 10) else (echo fine ^| time=0.012s)\n");
  VardokTest::writeFile(script, "wait 1 30\nwait 1 30\nquit\n");
  const std::string program = VardokTest::programFolder() + "vardok-host.exe";
  HostRun first = host(program, "");
  ASSERT_EQ(first.exitCode, 0) << first.output;

  // The second run finds them, and adds a change of state of its own.
  VardokTest::writeFile(dir + "down", "");
  VardokTest::writeFile(script, "wait 1 30\nwait 1 30\nhistory 1\nquit\n");
  HostRun second = host(program, "");
  ASSERT_EQ(second.exitCode, 0) << second.output;
  const std::string& out = second.output;
  EXPECT_NE(out.find("History of Flaky: uptime "), std::string::npos) << out;
  EXPECT_NE(out.find("Now critical for "), std::string::npos) << out;
  // Two well results of the first run, then the critical ones: a text
  // sparkline with bars, then "!".
  const size_t line = out.find("results (oldest first; ? problem, ! critical): ");
  ASSERT_NE(line, std::string::npos) << out;
  const size_t from = out.find(": ", line) + 2;
  const std::string bars = out.substr(from, out.find('\n', from) - from);
  EXPECT_NE(bars.find("\xE2\x96"), std::string::npos) << bars;
  EXPECT_NE(bars.find("!!"), std::string::npos) << bars;
  EXPECT_LT(bars.find("\xE2\x96"), bars.find('!')) << "the first run's results come first: " << bars;
  EXPECT_NE(out.find("critical"), std::string::npos);
  EXPECT_NE(out.find("well"), std::string::npos);
  EXPECT_NE(out.find("down"), std::string::npos) << "the incident's text: " << out;
  // The list file kept its bytes: the contact's history goes by its name.
  EXPECT_EQ(VardokTest::readFile(contacts).find("#id"), std::string::npos);
}

TEST_F(HostHistoryTest, PrometheusScrapesTheChecksAtMetricsAndPromtoolPassesThePage) {
  VardokTest::writeFile(contacts,
                        "Well | 82 | 1 | yes | cmd /c echo fine ^| time=12ms;100;200 used=36.1%;80;90 free=2KB\n"
                        "Down | 82 | 1 | yes | cmd /c echo database down & exit 10\n"
                        "Quote \"it\" | 82 | 1 | yes | cmd /c echo fine\n"
                        "Off | 82 | 1 | no | cmd /c echo never\n");
  VardokTest::writeFile(script, "wait 1 30\nwait 2 30\nwait 3 30\nsleep 120000\n");
  const int port = freePort();
  ASSERT_GT(port, 0);
  const std::string target = "127.0.0.1:" + std::to_string(port);
  // A copy of the host under a name of its own, so that its end reaches it
  // alone.
  const std::string copy = VardokTest::programFolder() + "vardok-host-metrics-" + std::to_string(GetCurrentProcessId()) + ".exe";
  ASSERT_TRUE(CopyFileA((VardokTest::programFolder() + "vardok-host.exe").c_str(), copy.c_str(), FALSE));
  HostRun run;
  std::thread hostThread([&] { run = host(copy, "--metrics " + target); });
  struct Ender {
    std::thread& thread;
    std::string name;
    ~Ender() {
      VardokTest::runUnix("/usr/bin/pkill -INT -f " + name, 20000, Sleep);
      thread.join();
    }
  } ender{hostThread, "vardok-host-metrics-" + std::to_string(GetCurrentProcessId())};

  VardokTest::LocalServer prometheus("prometheus", target);
  ASSERT_TRUE(prometheus.error().empty()) << prometheus.error();
  const std::string api = prometheus.address() + "/api/v1/query?query=";
  // Waits until Prometheus holds each expected value (a state, not a time).
  const std::string waitFor = R"PY(
import json, sys, time, urllib.parse, urllib.request
api, expected = sys.argv[1], sys.argv[2:]
deadline = time.time() + 90
while time.time() < deadline:
    got = {}
    for pair in expected:
        query, value = pair.rsplit('=', 1)
        try:
            answer = json.load(urllib.request.urlopen(api + urllib.parse.quote(query), timeout=2))
            result = answer['data']['result']
            got[query] = result[0]['value'][1] if result else None
        except Exception as e:
            got[query] = repr(e)
    def matches(got, value):
        try:
            return abs(float(got) - float(value)) < 1e-9
        except (TypeError, ValueError):
            return False
    if all(matches(got[q], v) for q, v in (p.rsplit('=', 1) for p in expected)):
        sys.exit(0)
    time.sleep(0.5)
print(got)
sys.exit(1)
)PY";
  VardokTest::writeFile(prometheus.folder() + "wait.py", waitFor);
  std::string unixFolder = prometheus.folder().substr(2);
  for (char& c : unixFolder)
    if (c == '\\') c = '/';
  const std::string queries =
      " 'vardok_check_status{contact=\"Down\"}=2' 'vardok_check_up{contact=\"Down\"}=0'"
      " 'vardok_check_status{contact=\"Well\"}=0' 'vardok_check_up{contact=\"Well\"}=1'"
      " 'vardok_check_perf{contact=\"Well\",label=\"time\",unit=\"seconds\"}=0.012'"
      " 'vardok_check_perf{contact=\"Well\",label=\"used\",unit=\"ratio\"}=0.361'"
      " 'vardok_check_perf{contact=\"Well\",label=\"free\",unit=\"bytes\"}=2048'"
      " 'vardok_check_status{contact=\"Quote \\\"it\\\"\"}=0'"
      " 'count(vardok_check_uptime_ratio{contact=\"Down\"})=3' 'vardok_check_uptime_ratio{contact=\"Down\",window=\"24h\"}=0'"
      " 'count(vardok_check_status)=3'";
  EXPECT_EQ(VardokTest::runUnix("python3 " + unixFolder + "wait.py '" + api + "'" + queries + " > " + unixFolder +
                                    "wait.out 2>&1",
                                120000, Sleep),
            0)
      << VardokTest::readFile(prometheus.folder() + "wait.out");

  // The page as served passes Prometheus's own linter.
  EXPECT_EQ(VardokTest::runUnix("python3 -c \"import urllib.request, sys; sys.stdout.write(urllib.request.urlopen("
                                "'http://" + target + "/metrics', timeout=5).read().decode())\" > " + unixFolder +
                                    "page.txt && promtool check metrics < " + unixFolder + "page.txt > " +
                                    unixFolder + "lint.txt 2>&1",
                                60000, Sleep),
            0)
      << VardokTest::readFile(prometheus.folder() + "lint.txt") << VardokTest::readFile(prometheus.folder() + "page.txt");
  const std::string page = VardokTest::readFile(prometheus.folder() + "page.txt");
  EXPECT_NE(page.find("# TYPE vardok_check_duration_seconds gauge"), std::string::npos) << page;
  EXPECT_NE(page.find("vardok_check_last_run_timestamp_seconds{contact=\"Well\"} 1"), std::string::npos) << page;
  EXPECT_EQ(page.find("Off"), std::string::npos) << "a disabled check with no result is not shown: " << page;
}

}  // namespace
