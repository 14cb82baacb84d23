// vardok-check's time limits with a name server that never answers. The
// system's resolver waits seconds per server and try, and no call cuts it
// short; every command that looks a name up (tcp, ping, cert, http, json,
// prom, alerts, dns) must still give its verdict within its --timeout and
// a second. Run by tests/servers/with-private-resolver.sh, which gives this
// program an /etc/resolv.conf of its own to point at a silent stand-in.
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "host/serve/http_server.h"
#include "tests/local_servers.h"
#include "tests/check_runs.h"
#include "tests/plugin_fixture.h"

using VardokHost::LoopbackHttpServer;
using VardokTest::LocalServer;
using VardokTest::ProgramRun;

namespace {

constexpr int kCritical = 10;
constexpr int kTimeoutMs = 2000;

using Timed = VardokTest::TimedRun;

Timed check(const std::string& arguments) { return VardokTest::runCheck(arguments); }

std::string windowsPath(const std::string& unixPath) {
  std::string path = "Z:" + unixPath;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

TEST(CheckResolver, EveryLimitHoldsWithASilentNameServer) {
  const char* conf = std::getenv("VARDOK_RESOLV_CONF");
  if (!conf || !*conf) GTEST_SKIP() << "no private /etc/resolv.conf here (with-private-resolver.sh needs root and unshare)";
  const std::string silent = "127.54." + std::to_string(GetCurrentProcessId() % 250 + 1) + ".53";
  const LocalServer mute("dns-stand-in", silent);
  ASSERT_FALSE(mute.address().empty()) << mute.error();
  const std::string settings = "nameserver " + silent + "\noptions timeout:5 attempts:2\n";
  std::ofstream(windowsPath(conf), std::ios::binary) << settings;
  // The file this process's children read is the one just written (a
  // Linux program asks: under Wine this process's own file calls go
  // through the Wine server, outside the namespace).
  ASSERT_EQ(VardokTest::runUnix("grep -q 'nameserver " + silent + "' /etc/resolv.conf", 60000, Sleep), 0)
      << "the private /etc/resolv.conf is not the one this program's children read";

  // What starting a check costs here, with no name to look up.
  const Timed control = check("tcp 127.0.0.1 1 --timeout " + std::to_string(kTimeoutMs));
  ASSERT_EQ(control.run.exitCode, kCritical) << control.run.output;
  const std::string timeout = " --timeout " + std::to_string(kTimeoutMs);
  const std::string name = "silent.vardok.test";
  const char* commands[] = {
      "tcp silent.vardok.test 80",
      "ping silent.vardok.test",
      "cert silent.vardok.test:443",
      "http http://silent.vardok.test/",
      "json http://silent.vardok.test/ a --equals 1",
      "prom http://silent.vardok.test:9090/ up",
      "alerts http://silent.vardok.test:9090/",
      "dns silent.vardok.test",
  };
  for (const char* command : commands) {
    const Timed timed = check(command + timeout);
    EXPECT_EQ(timed.run.exitCode, kCritical) << command << "\n" << timed.run.output;
    EXPECT_NE(timed.run.output.find(std::to_string(kTimeoutMs) + " ms"), std::string::npos)
        << command << "\n" << timed.run.output;
    EXPECT_LT(timed.ms, control.ms + kTimeoutMs + 1000u) << command << " (starting a check took " << control.ms
                                                         << " ms)\n" << timed.run.output;
  }
  // With a second server that answers, dns moves on to it within the limit.
  const std::string odd = "127.54." + std::to_string(GetCurrentProcessId() % 250 + 1) + ".54";
  const LocalServer answering("dns-stand-in", odd + " odd");
  ASSERT_FALSE(answering.address().empty()) << answering.error();
  std::ofstream(windowsPath(conf), std::ios::binary) << "nameserver " << silent << "\nnameserver " << odd << "\n";
  const Timed second = check("dns nx.vardok.test" + timeout);
  EXPECT_EQ(second.run.exitCode, kCritical) << second.run.output;
  EXPECT_NE(second.run.output.find("does not exist (NXDOMAIN)"), std::string::npos) << second.run.output;
  EXPECT_LT(second.ms, control.ms + kTimeoutMs + 1000u) << second.run.output;
  std::ofstream(windowsPath(conf), std::ios::binary) << settings;

  // A server that answers with a redirect to a name that is never looked
  // up: WinINet's own look-up is left behind at the limit, and the next
  // attempt still runs.
  LoopbackHttpServer redirecting;
  ASSERT_TRUE(redirecting.listening());
  redirecting.setReply({LoopbackHttpServer::response(302, "", {"Location: http://" + name + "/"})});
  const Timed redirected = check("http " + redirecting.url("/") + " --retries 2 --retry-delay 0" + timeout);
  EXPECT_EQ(redirected.run.exitCode, kCritical) << redirected.run.output;
  EXPECT_NE(redirected.run.output.find("(attempt 2 of 2)"), std::string::npos) << redirected.run.output;
  EXPECT_LT(redirected.ms, control.ms + 2 * (kTimeoutMs + 500) + 1000u) << redirected.run.output;

  // Under --retries the limit holds for each attempt.
  const Timed retried = check("tcp silent.vardok.test 80 --retries 2 --retry-delay 0" + timeout);
  EXPECT_EQ(retried.run.exitCode, kCritical) << retried.run.output;
  EXPECT_NE(retried.run.output.find("(attempt 2 of 2)"), std::string::npos) << retried.run.output;
  EXPECT_LT(retried.ms, control.ms + 2 * kTimeoutMs + 1000u) << retried.run.output;
}

}  // namespace
