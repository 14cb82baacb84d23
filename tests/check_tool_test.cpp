// vardok-check.exe against real things on this machine: the disk, a
// loopback server, files with set times, this test's own process, a service
// that Wine runs, and check programs of the classic convention.
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include "host/serve/certificates.h"
#include "host/serve/http_server.h"
#include "support/threads/unique_handle.h"
#include "tests/plugin_fixture.h"

using VardokHost::LoopbackHttpServer;
using VardokTest::ProgramRun;
using VardokTest::writeFile;

namespace {

constexpr int kWell = 0, kProblem = 1, kCritical = 10;

ProgramRun check(const std::string& arguments) {
  return VardokTest::runProgram("\"" + VardokTest::programFolder() + "vardok-check.exe\" " + arguments);
}

// The value of the first tag of key in output, or "<none>".
std::string tag(const std::string& output, const std::string& key) {
  const std::string open = "<velkaro:" + key + ">", close = "</velkaro:" + key + ">";
  const size_t start = output.find(open);
  if (start == std::string::npos) return "<none>";
  const size_t end = output.find(close, start);
  return output.substr(start + open.size(), end - start - open.size());
}

// A check that all is well carries an info tag and no notify tag; a
// problem carries both.
void expectLevel(const ProgramRun& run, int level, const std::string& arguments) {
  EXPECT_EQ(run.exitCode, level) << arguments << "\n" << run.output << run.errors;
  EXPECT_NE(tag(run.output, "info"), "<none>") << run.output;
  EXPECT_EQ(tag(run.output, "notify") == "<none>", level == kWell) << run.output;
  // One line, ended by its line feed.
  EXPECT_EQ(run.output.find('\n'), run.output.size() - 1) << run.output;
}

ProgramRun expectCheck(const std::string& arguments, int level) {
  const ProgramRun run = check(arguments);
  expectLevel(run, level, arguments);
  return run;
}

TEST(CheckTool, SetUpWronglyIsCriticalWithUsageAndTheReason) {
  const struct {
    const char* arguments;
    const char* reason;
  } table[] = {
      {"", "no command given"},
      {"bogus", "unknown command \"bogus\""},
      {"disk --warn 80", "--crit is missing"},
      {"disk --warn 80 --crit", "--crit needs a value"},
      {"disk --warn 101 --crit 90", "--warn needs a whole number from 0 to 100"},
      {"disk --warn -5 --crit 90", "--warn needs a whole number from 0 to 100, not \"-5\""},
      {"disk --warn 95 --crit 90", "--warn must not be above --crit"},
      {"disk --warn 1 --crit 2 --wran 3", "unknown option --wran"},
      {"tcp 127.0.0.1", "needs HOST and PORT"},
      {"tcp 127.0.0.1 0", "PORT must be a number from 1 to 65535, not \"0\""},
      {"http", "needs one URL"},
      {"http http://x --status 99", "--status needs a whole number from 100 to 599"},
      {"file-age x --warn 10", "--crit is missing"},
      {"process a b", "needs one process name"},
      {"process x --min 3 --max 2", "--min must not be above --max"},
      {"service", "needs one service name"},
      {"run cmd", "takes the program after --"},
      {"run --timeout 5", "needs -- PROGRAM [ARGS...]"},
      {"run --timeout 0 -- cmd", "--timeout needs a whole number from 1 to 86400"},
      // An empty value, as an unset %VARIABLE% gives, never looks healthy.
      {"tcp \"\" 47311", "the host is missing"},
      {"http \"\"", "the URL is missing"},
      {"process x --max 0", "--max 0 is below the least count, 1: to check that none runs, give --min 0 too"},
      {"disk \"\" --warn 80 --crit 90", "argument 1 is empty"},
      {"file-age \" \" --warn 1 --crit 2", "argument 1 is empty"},
  };
  for (const auto& row : table) {
    const ProgramRun run = expectCheck(row.arguments, kCritical);
    EXPECT_EQ(tag(run.output, "info").rfind(std::string("Set up wrongly: ") + row.reason, 0), 0u)
        << row.arguments << ": " << run.output;
    EXPECT_NE(run.errors.find("usage: vardok-check"), std::string::npos) << row.arguments;
  }
}

TEST(CheckTool, DiskAtAndAboveItsLimits) {
  ULARGE_INTEGER available, total, free;
  ASSERT_TRUE(GetDiskFreeSpaceExA("C:\\", &available, &total, &free));
  const ULONGLONG used = total.QuadPart - free.QuadPart;
  // The exact share is compared: the whole percent below it is already
  // passed (36.13% used is above --warn 36), the one at or above it not.
  const int floor = static_cast<int>(used * 100 / total.QuadPart);
  const bool whole = used * 100 % total.QuadPart == 0;
  ASSERT_GE(floor, 2);
  const std::string up = std::to_string(whole ? floor : floor + 1), down = std::to_string(whole ? floor - 1 : floor);
  const ProgramRun well = expectCheck("disk --warn " + up + " --crit 100", kWell);
  char share[16];
  snprintf(share, sizeof share, "%.1f", static_cast<double>(used) * 100 / static_cast<double>(total.QuadPart));
  EXPECT_EQ(tag(well.output, "info"), "C: " + std::string(share) + "% used");
  expectCheck("disk C: --warn " + down + " --crit 100", kProblem);
  expectCheck("disk c --warn " + std::to_string(std::stoi(down) - 1) + " --crit " + down, kCritical);
  expectCheck("disk C:\\ --warn 0 --crit " + up, kProblem);
  // Limits on the free space, in bytes with a unit; free exactly at a limit is well.
  const ULONGLONG freeKb = free.QuadPart / 1024;
  expectCheck("disk C: --warn-free " + std::to_string(freeKb + 1048576) + "KB", kProblem);
  expectCheck("disk C: --warn-free " + std::to_string(freeKb + 2097152) + "KB --crit-free " +
                  std::to_string(freeKb + 1048576) + "KB",
              kCritical);
  expectCheck("disk C: --warn-free 1KB --crit-free 1kb", kWell);
  expectCheck("disk C: --warn 100 --crit 100 --warn-free 10XB", kCritical);  // set up wrongly
  const ProgramRun missing = expectCheck("disk Q: --warn 80 --crit 90", kCritical);
  EXPECT_EQ(tag(missing.output, "info"), "Q: cannot be read");
}

TEST(CheckTool, TcpPortOpenAndRefused) {
  LoopbackHttpServer server;
  ASSERT_TRUE(server.listening());
  const ProgramRun open = expectCheck("tcp " + server.address() + " 80 --warn 5000 --crit 10000", kWell);
  EXPECT_EQ(tag(open.output, "info").rfind("port 80 open, ", 0), 0u) << open.output;
  const ProgramRun refused = expectCheck("tcp " + LoopbackHttpServer::unusedAddress() + " 80", kCritical);
  EXPECT_EQ(tag(refused.output, "info"), "port 80 refused");
  LoopbackHttpServer::Options six;
  six.address = "::1";
  six.port = 0;
  LoopbackHttpServer v6(six);
  if (v6.listening()) expectCheck("tcp [::1] " + std::to_string(v6.port()), kWell);
  const ProgramRun unknown = expectCheck("tcp no-such-host.invalid 80", kCritical);

  // A port whose backlog is full: the connection is never answered.
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof at;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size), 0);
  std::vector<SOCKET> fillers;
  for (int i = 0; i < 8; ++i) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    connect(s, reinterpret_cast<sockaddr*>(&at), sizeof at);
    fillers.push_back(s);
  }
  Sleep(200);
  const std::string port = std::to_string(ntohs(at.sin_port));
  const ProgramRun silent = expectCheck("tcp 127.0.0.1 " + port + " --timeout 500", kCritical);
  EXPECT_EQ(tag(silent.output, "info"), "port " + port + " no answer") << silent.output;
  EXPECT_LT(silent.processMs, 5000u);
  for (SOCKET s : fillers) closesocket(s);
  closesocket(listener);
  EXPECT_EQ(tag(unknown.output, "info"), "no-such-host.invalid not found");
}

TEST(CheckTool, EveryMeasurementCarriesPerformanceData) {
  LoopbackHttpServer server;
  ASSERT_TRUE(server.listening());
  server.setReply({LoopbackHttpServer::response(200, "fine")});
  const struct {
    std::string arguments;
    const char* perfdata;  // how the data after the '|' begins
  } table[] = {
      {"disk C: --warn 100 --crit 100", "used="},
      {"tcp " + server.address() + " 80 --warn 5000 --crit 9000", "time="},
      {"http " + server.url("/") + " --warn 5000", "time="},
      {"file-age C:\\windows\\win.ini --warn 999999999 --crit 999999999", "age="},
      // Other runs of this program may be counted too: the count is not compared.
      {"process check_tool_test --min 1", "count="},
      {"service PlugPlay", "running=1;;;0;1"},
  };
  for (const auto& row : table) {
    const ProgramRun run = check(row.arguments);
    const std::string line = run.output.substr(0, run.output.find(" <velkaro:"));
    const size_t bar = line.find(" | ");
    ASSERT_NE(bar, std::string::npos) << row.arguments << ": " << run.output;
    EXPECT_EQ(line.compare(bar + 3, std::strlen(row.perfdata), row.perfdata), 0) << run.output;
    // The status text stays without it.
    EXPECT_EQ(tag(run.output, "info").find('|'), std::string::npos) << run.output;
  }
  const ProgramRun counted = check("process check_tool_test --min 1");
  EXPECT_NE(counted.output.find(";;1:;0 <velkaro:"), std::string::npos) << counted.output;
  const ProgramRun timed = check("http " + server.url("/") + " --warn 300 --crit 1000");
  EXPECT_NE(timed.output.find(";0.3;1;0 size=4B;;;0"), std::string::npos) << timed.output;
}

// A socket bound to a free loopback port (Winsock started); its address.
SOCKET boundLoopbackSocket(sockaddr_in* address) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET bound = socket(AF_INET, SOCK_STREAM, 0);
  *address = sockaddr_in{};
  address->sin_family = AF_INET;
  address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(bound, reinterpret_cast<sockaddr*>(address), sizeof *address);
  int length = sizeof *address;
  getsockname(bound, reinterpret_cast<sockaddr*>(address), &length);
  return bound;
}

TEST(CheckTool, HttpTimeoutHoldsAgainstAServerThatNeverAnswers) {
  // A port that takes connections (into its backlog) and never answers.
  sockaddr_in address;
  SOCKET silent = boundLoopbackSocket(&address);
  ASSERT_EQ(listen(silent, 8), 0);
  const ProgramRun run =
      expectCheck("http http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/ --timeout 2000", kCritical);
  EXPECT_EQ(tag(run.output, "info"), "no answer within 2000 ms") << run.output;
  // Within the timeout and a second, under Wine too.
  EXPECT_LT(run.processMs, 3000u + 1000u) << run.output;
  closesocket(silent);
  WSACleanup();
}

TEST(CheckTool, RetriesReportAProblemOnlyWhenEveryAttemptFails) {
  // A loopback port that is free now and will listen in a moment.
  sockaddr_in address;
  closesocket(boundLoopbackSocket(&address));
  const std::string port = std::to_string(ntohs(address.sin_port));

  const ProgramRun refused = expectCheck("tcp 127.0.0.1 " + port + " --retries 3 --retry-delay 100", kCritical);
  EXPECT_NE(refused.output.find("(attempt 3 of 3)"), std::string::npos) << refused.output;
  EXPECT_GE(refused.processMs, 200u);

  // Wrong at the first attempt, right at the second: a server that answers
  // its first connection with another word, then with the expected one.
  // It counts the connections itself, so nothing here depends on when the
  // check's attempts come.
  SOCKET server = boundLoopbackSocket(&address);
  ASSERT_EQ(listen(server, 8), 0);
  const std::string serverPort = std::to_string(ntohs(address.sin_port));
  std::thread answering([server] {
    for (const char* word : {"BUSY\r\n", "READY\r\n"}) {
      const SOCKET client = accept(server, nullptr, nullptr);
      if (client == INVALID_SOCKET) return;
      send(client, word, static_cast<int>(std::strlen(word)), 0);
      shutdown(client, SD_SEND);
      char rest[256];
      while (recv(client, rest, sizeof rest, 0) > 0) {
      }
      closesocket(client);
    }
  });
  const ProgramRun recovered =
      expectCheck("tcp 127.0.0.1 " + serverPort + " --expect READY --retries 3 --retry-delay 100", kWell);
  closesocket(server);
  answering.join();
  EXPECT_NE(recovered.output.find("(attempt 2 of 3)"), std::string::npos) << recovered.output;
  expectCheck("tcp 127.0.0.1 " + port + " --retries 11", kCritical);  // set up wrongly
  WSACleanup();
}

TEST(CheckTool, HttpJudgesAPatternAHeaderAndAskingWithHead) {
  LoopbackHttpServer server;
  ASSERT_TRUE(server.listening());
  server.setReply({LoopbackHttpServer::response(200, "up 42 users", {"X-State: green"})});
  const std::string url = server.url("/state");
  expectCheck("http " + url + " --regex \"/up \\d+ users/\"", kWell);
  const ProgramRun unmatched = expectCheck("http " + url + " --regex /down/i", kCritical);
  EXPECT_EQ(tag(unmatched.output, "info"), "HTTP 200, no match") << unmatched.output;
  expectCheck("http " + url + " --regex /[/", kCritical);  // set up wrongly
  expectCheck("http " + url + " --header X-State:green", kWell);
  expectCheck("http " + url + " --header \"X-State: green\"", kWell);
  const ProgramRun wrong = expectCheck("http " + url + " --header X-State:red", kCritical);
  EXPECT_EQ(tag(wrong.output, "info"), "HTTP 200, X-State wrong") << wrong.output;
  const ProgramRun missing = expectCheck("http " + url + " --header X-Other:1", kCritical);
  EXPECT_EQ(tag(missing.output, "info"), "HTTP 200, X-Other missing") << missing.output;
  expectCheck("http " + url + " --header nothing", kCritical);  // set up wrongly
  const size_t before = server.requests().size();
  expectCheck("http " + url + " --method HEAD", kWell);
  ASSERT_GT(server.requests().size(), before);
  EXPECT_EQ(server.requests().back().rfind("HEAD /state ", 0), 0u) << server.requests().back();
  expectCheck("http " + url + " --method HEAD --contains up", kCritical);  // set up wrongly
  expectCheck("http " + url + " --method POST", kCritical);  // set up wrongly
}

TEST(CheckTool, TcpSendsAndExpectsAnAnswer) {
  LoopbackHttpServer server;
  ASSERT_TRUE(server.listening());
  server.setReply({LoopbackHttpServer::response(200, "hi")});
  const std::string target = "tcp " + server.address() + " 80 --send \"GET / HTTP/1.0\\r\\n\\r\\n\"";
  const ProgramRun well = expectCheck(target + " --expect \"HTTP/1.\"", kWell);
  EXPECT_NE(well.output.find(" answered in "), std::string::npos) << well.output;
  const ProgramRun wrong = expectCheck(target + " --expect SSH- --timeout 3000", kCritical);
  EXPECT_NE(wrong.output.find("\"SSH-\" not received (got \"HTTP/1.1 200 OK\")"), std::string::npos) << wrong.output;
  EXPECT_EQ(tag(wrong.output, "info"), "port 80, answer wrong");
  expectCheck("tcp " + server.address() + " 80 --expect \"\"", kCritical);  // set up wrongly
}

TEST(CheckTool, PingJudgesRoundTripAndLoss) {
  const ProgramRun four = expectCheck("ping 127.0.0.1 --count 3 --warn 500,20 --crit 1000,50", kWell);
  EXPECT_EQ(tag(four.output, "info").rfind("rta ", 0), 0u) << four.output;
  EXPECT_NE(tag(four.output, "info").find("loss 0%"), std::string::npos) << four.output;
  EXPECT_NE(four.output.find(" | rta="), std::string::npos) << four.output;
  EXPECT_NE(four.output.find(" pl=0%;20;50;0;100"), std::string::npos) << four.output;
  // Any round trip takes some time: above a limit of 0 ms, a problem.
  expectCheck("ping 127.0.0.1 --count 2 --warn 0,100 --crit 1000,100", kProblem);
  // IPv6, where the loopback has it.
  const ProgramRun six = check("ping ::1 --count 2");
  if (six.exitCode == kWell) EXPECT_NE(tag(six.output, "info").find("loss 0%"), std::string::npos) << six.output;
  expectCheck("ping 127.0.0.1 --warn 10", kCritical);                         // set up wrongly: no loss
  expectCheck("ping 127.0.0.1 --warn 500,60 --crit 1000,50", kCritical);      // set up wrongly: warn above crit
  expectCheck("ping no-such-host.invalid", kCritical);
}

TEST(CheckTool, JsonJudgesAValueAtAPath) {
  LoopbackHttpServer server;
  ASSERT_TRUE(server.listening());
  server.setReply({LoopbackHttpServer::response(
      200, "{\"service\": {\"load\": [0.7, 1.5], \"state\": \"ok\", \"users\": 42}}", {"Content-Type: application/json"})});
  const std::string url = server.url("/status.json");
  const struct {
    std::string arguments;
    int level;
    const char* info;
  } table[] = {
      {"service.users --warn 50 --crit 100", kWell, "service.users 42"},
      {"service.users --warn 42 --crit 100", kWell, "service.users 42"},  // at the limit
      {"service.users --warn 41", kProblem, "service.users 42"},
      {"service.users --warn 10 --crit 41", kCritical, "service.users 42"},
      {"service.load[1] --crit 1", kCritical, "service.load[1] 1.5"},
      {"service.state --equals ok", kWell, "service.state ok"},
      {"service.state --equals down", kCritical, "service.state ok"},
      {"service.state --matches /^O/i", kWell, "service.state ok"},
      {"service.missing --equals x", kCritical, "service.missing missing"},
      {"service.state --warn 1", kCritical, "service.state not a number"},
  };
  for (const auto& row : table) {
    const ProgramRun run = expectCheck("json " + url + " " + row.arguments, row.level);
    EXPECT_EQ(tag(run.output, "info"), row.info) << row.arguments << ": " << run.output;
  }
  server.setReply({LoopbackHttpServer::response(200, "<html>no</html>")});
  EXPECT_EQ(tag(expectCheck("json " + url + " a --equals b", kCritical).output, "info"), "not JSON");
  expectCheck("json " + url + " a..b --equals b", kCritical);        // set up wrongly: the path
  expectCheck("json " + url + " a", kCritical);                      // set up wrongly: no judge
  expectCheck("json " + url + " a --equals b --warn 1", kCritical);  // set up wrongly: two
}

TEST(CheckTool, HttpNamesWhyItGotNoConnection) {
  const ProgramRun unknown = expectCheck("http http://no-such-host.invalid/", kCritical);
  EXPECT_NE(unknown.output.find("Failed send: name not resolved"), std::string::npos) << unknown.output;
  const ProgramRun refused = expectCheck("http http://" + LoopbackHttpServer::unusedAddress() + "/", kCritical);
  EXPECT_NE(refused.output.find("Failed send: refused or unreachable"), std::string::npos) << refused.output;
}

TEST(CheckTool, HttpJudgesStatusBodyAndTime) {
  LoopbackHttpServer server;
  ASSERT_TRUE(server.listening());
  server.setReply({LoopbackHttpServer::response(200, "all systems go")});
  const ProgramRun well = expectCheck("http " + server.url("/health") + " --contains \"systems go\"", kWell);
  EXPECT_EQ(tag(well.output, "info").rfind("HTTP 200, ", 0), 0u) << well.output;
  expectCheck("http " + server.url("/health") + " --contains absent", kCritical);
  expectCheck("http " + server.url("/health") + " --status 204", kCritical);

  server.setReply({LoopbackHttpServer::response(503, "down")});
  const ProgramRun down = expectCheck("http " + server.url("/"), kCritical);
  EXPECT_EQ(tag(down.output, "info"), "HTTP 503");
  expectCheck("http " + server.url("/") + " --status 503", kWell);

  // Redirects are followed to the final page.
  server.setHandler([&](const std::string& head) {
    if (head.rfind("GET /old ", 0) == 0)
      return LoopbackHttpServer::Reply{LoopbackHttpServer::response(301, "", {"Location: /new"})};
    return LoopbackHttpServer::Reply{LoopbackHttpServer::response(200, "new page")};
  });
  expectCheck("http " + server.url("/old") + " --contains \"new page\"", kWell);

  // A slow answer: above --warn, above --crit, and past --timeout.
  LoopbackHttpServer::Reply slow{LoopbackHttpServer::response(200, "late")};
  slow.stallMs = 400;
  server.setReply(slow);
  expectCheck("http " + server.url("/") + " --warn 200 --crit 5000", kProblem);
  expectCheck("http " + server.url("/") + " --warn 100 --crit 200", kCritical);
  slow.stallMs = 2500;
  server.setReply(slow);
  const ProgramRun late = expectCheck("http " + server.url("/") + " --timeout 500", kCritical);
  EXPECT_EQ(tag(late.output, "info"), "no answer within 500 ms") << late.output;
}

TEST(CheckTool, HttpsAsWinInetAllows) {
  std::string error;
  ASSERT_TRUE(VardokHost::trustRootCertificate(VardokHost::certificateFolder() + "ca.pem", &error)) << error;
  for (const char* name : {"server", "untrusted"}) {
    LoopbackHttpServer::Options options;
    options.address = "127.0.0.1";
    options.port = 0;
    options.certificateFile = VardokHost::certificateFolder() + name + ".pem";
    options.keyFile = VardokHost::certificateFolder() + name + ".key";
    LoopbackHttpServer server(options);
    ASSERT_TRUE(server.listening()) << server.error();
    server.setReply({LoopbackHttpServer::response(200, "secure")});
    const bool trusted = std::string(name) == "server";
    const ProgramRun run = expectCheck("http " + server.url("/"), trusted ? kWell : kCritical);
    if (!trusted) {
      EXPECT_EQ(tag(run.output, "info"), "Certificate: unknown issuer");
    }
  }
}

TEST(CheckTool, FileAgeAtAndAboveItsLimits) {
  const std::string path = writeFile(VardokTest::uniqueTempFile("vardok-backup", ".zip"), "backup");
  // Written exactly 100 s ago; the check sees 100 s for the next second.
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER written{{now.dwLowDateTime, now.dwHighDateTime}};
  written.QuadPart -= 100ull * 10000000ull;
  const FILETIME then{written.LowPart, written.HighPart};
  {
    const Quorlin::FileHandle file(CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &then));
  }
  const ProgramRun at = expectCheck("file-age \"" + path + "\" --warn 100 --crit 200", kWell);
  EXPECT_NE(tag(at.output, "info").find("1 min 40 s old"), std::string::npos) << at.output;
  expectCheck("file-age \"" + path + "\" --warn 99 --crit 200", kProblem);
  expectCheck("file-age \"" + path + "\" --warn 50 --crit 99", kCritical);
  DeleteFileA(path.c_str());
  const ProgramRun missing = expectCheck("file-age \"" + path + "\" --warn 50 --crit 99", kCritical);
  EXPECT_NE(missing.output.find("is missing"), std::string::npos);
}

TEST(CheckTool, ProcessCountsARunningProgram) {
  // The test child under a name of its own: other tests may run theirs.
  const std::string stem = "vardok-counted-" + std::to_string(GetCurrentProcessId());
  const std::string program = VardokTest::uniqueTempFile("vardok-counted", ".exe");
  ASSERT_TRUE(CopyFileA((VardokTest::programFolder() + "vardok-test-child.exe").c_str(), program.c_str(), FALSE));
  expectCheck("process " + stem, kCritical);
  expectCheck("process " + stem + " --min 0", kWell);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::string line = "\"" + program + "\" sleep 60000";
  ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
  const Quorlin::ProcessHandle child(process.hProcess);
  const Quorlin::ThreadHandle thread(process.hThread);
  const ProgramRun one = expectCheck("process " + stem + ".exe", kWell);
  EXPECT_EQ(tag(one.output, "info"), "1 x " + stem + ".exe");
  expectCheck("process " + stem + " --min 1 --max 1", kWell);
  expectCheck("process " + stem + " --max 0", kCritical);
  expectCheck("process " + stem + " --min 2", kCritical);
  // A warning band inside the critical bounds.
  expectCheck("process " + stem + " --warn-min 2", kProblem);
  expectCheck("process " + stem + " --min 0 --warn-max 0", kProblem);
  expectCheck("process " + stem + " --min 1 --warn-min 1 --warn-max 1", kWell);
  expectCheck("process " + stem + " --min 2 --warn-min 3", kCritical);
  TerminateProcess(child.get(), 0);
  WaitForSingleObject(child.get(), 5000);
  DeleteFileA(program.c_str());
}

TEST(CheckTool, ServicesThatWineRunsAndDoesNot) {
  const ProgramRun running = expectCheck("service PlugPlay", kWell);
  EXPECT_EQ(tag(running.output, "info"), "PlugPlay running");
  const ProgramRun stopped = expectCheck("service Spooler", kCritical);
  EXPECT_EQ(tag(stopped.output, "info"), "Spooler stopped");
  const ProgramRun missing = expectCheck("service no-such-service-vardok", kCritical);
  EXPECT_EQ(tag(missing.output, "info"), "no-such-service-vardok not installed");
}

// A classic check script that prints its lines and exits with code.
std::string classicScript(const std::string& name, const std::string& lines, int code) {
  std::string script = "@echo off\r\n";
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);) script += "echo " + line + "\r\n";
  script += "exit /b " + std::to_string(code) + "\r\n";
  return writeFile(VardokTest::uniqueTempFile(name, ".cmd"), script);
}

TEST(CheckTool, BridgeMapsTheClassicExitCodes) {
  const struct {
    int code;
    const char* lines;
    int level;
    const char* info;
  } table[] = {
      {0, "OK - 3 users^|users=3;5;10\nsecond line", kWell, "OK - 3 users"},
      {1, "WARNING - load 4.2^|load=4.2", kProblem, "WARNING - load 4.2"},
      {2, "CRITICAL - disk full", kCritical, "CRITICAL - disk full"},
      {3, "UNKNOWN - no sensor", kCritical, "UNKNOWN - no sensor"},
      {3, "sensor missing", kCritical, "UNKNOWN: sensor missing"},
      {4, "odd", kCritical, "UNKNOWN (exit 4): odd"},
      {0, "", kWell, "OK"},
  };
  for (const auto& row : table) {
    const std::string script = classicScript("vardok-classic", row.lines, row.code);
    const ProgramRun run = check("run -- cmd /c \"" + script + "\"");
    EXPECT_EQ(run.exitCode, row.level) << row.lines;
    EXPECT_EQ(tag(run.output, "info"), row.info) << run.output;
    EXPECT_EQ(tag(run.output, "notify") == "<none>", row.level == kWell) << run.output;
    // All it printed stays, performance data and later lines included.
    std::string printed = row.lines;
    for (size_t at = printed.find('^'); at != std::string::npos; at = printed.find('^')) printed.erase(at, 1);
    for (size_t at = printed.find('\n'); at != std::string::npos; at = printed.find('\n', at + 2))
      printed.replace(at, 1, "\r\n");
    EXPECT_EQ(run.output.rfind(printed, 0), 0u) << run.output;
    DeleteFileA(script.c_str());
  }
}

TEST(CheckTool, BridgeEndsAProgramPastItsTimeWithItsTree) {
  using VardokTest::CheckTest;
  const std::string pids = VardokTest::uniqueTempFile("vardok-bridge-tree");
  const ProgramRun run = check("run --timeout 2 -- \"" + VardokTest::programFolder() + "vardok-test-child.exe\" tree \"" +
                               pids + "\" 60000");
  EXPECT_LT(run.processMs, 10000u);
  EXPECT_EQ(run.exitCode, kCritical) << run.output;
  EXPECT_EQ(tag(run.output, "info"), "timed out after 2 s");
  const std::vector<DWORD> tree = VardokTest::treePids(VardokTest::readFile(pids));
  ASSERT_EQ(tree.size(), 2u);
  EXPECT_TRUE(CheckTest::processGone(tree[0], 2000));
  EXPECT_TRUE(CheckTest::processGone(tree[1], 2000));
  DeleteFileA(pids.c_str());

  // A program that ends while what it started still holds its output: the
  // bridge reports without waiting for that.
  const ProgramRun left = check("run -- \"" + VardokTest::programFolder() + "vardok-test-child.exe\" spawn 8000");
  EXPECT_LT(left.processMs, 5000u);
  EXPECT_EQ(left.exitCode, kCritical);
  EXPECT_EQ(tag(left.output, "info"), "UNKNOWN: direct") << left.output;

  const ProgramRun missing = expectCheck("run -- no-such-program-vardok.exe", kCritical);
  EXPECT_EQ(tag(missing.output, "info"), "cannot start no-such-program-vardok.exe");

  // A command line past the platform's limit is refused, never run cut
  // short: here the program's %VARIABLE% makes it long.
  SetEnvironmentVariableA("VARDOK_LONG_PATH", std::string(32000, 'x').c_str());
  const ProgramRun tooLong = check("run -- %VARDOK_LONG_PATH% " + std::string(1000, 'y'));
  SetEnvironmentVariableA("VARDOK_LONG_PATH", nullptr);
  EXPECT_EQ(tooLong.exitCode, kCritical) << tooLong.output.substr(0, 200);
  EXPECT_EQ(tag(tooLong.output, "info"), "cannot start %VARDOK_LONG_PATH%");
}

TEST(CheckTool, BridgeVerdictLeadsAProgramsOwnTags) {
  // A program of the classic convention that prints a result tag of its own
  // and exits 2: critical, whatever its tag says.
  const std::string script =
      classicScript("vardok-tagged", "^<velkaro:info^>All fine^</velkaro:info^>", 2);
  const ProgramRun run = check("run -- cmd /c \"" + script + "\"");
  EXPECT_EQ(run.exitCode, kCritical) << run.output;
  EXPECT_EQ(tag(run.output, "info"), "CRITICAL: (velkaro:info)All fine(/velkaro:info)") << run.output;
  EXPECT_EQ(run.output.find("<velkaro:info>"), run.output.find("<velkaro:info>CRITICAL")) << run.output;
  DeleteFileA(script.c_str());
}

}  // namespace
