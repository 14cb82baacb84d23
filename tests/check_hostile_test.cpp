// vardok-check against servers that misbehave on purpose: values that hold
// result tags and line breaks, JSON nested without end, answers of the
// wrong shape, long greetings, bodies that never finish, certificates not
// yet valid. Whatever a server sends, the verdict is vardok-check's own,
// given within the limit, and never a bare exit.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/serve/certificates.h"
#include "host/serve/http_server.h"
#include "tests/check_runs.h"
#include "tests/plugin_fixture.h"
#include "tools/check/error_words.h"
#include "tools/check/outcome.h"

using VardokHost::LoopbackHttpServer;
using VardokTest::ProgramRun;

namespace {

constexpr int kWell = 0, kProblem = 1, kCritical = 10;

using Timed = VardokTest::TimedRun;

Timed check(const std::string& arguments) { return VardokTest::runCheck(arguments); }

std::string tag(const std::string& output, const std::string& key) { return VardokTest::checkTag(output, key); }

// What every verdict must be whatever the server sent: the level, one line
// ended by its line feed, and the first info tag vardok-check's own (it
// comes after the line, so no tag may open inside the line).
void expectVerdict(const Timed& timed, int level, const std::string& what) {
  const std::string& output = timed.run.output;
  EXPECT_EQ(timed.run.exitCode, level) << what << "\n" << output << timed.run.errors;
  EXPECT_EQ(output.find('\n'), output.size() - 1) << what << ": not one line\n" << output;
  const size_t firstTag = output.find("<velkaro:");
  EXPECT_EQ(firstTag, output.find("<velkaro:info>")) << what << "\n" << output;
  EXPECT_EQ(output.find("<velkaro:info>"), output.rfind("<velkaro:info>")) << what << "\n" << output;
}

// A JSON server answering body to every request.
std::string serveJson(LoopbackHttpServer& server, const std::string& body) {
  server.setReply({LoopbackHttpServer::response(200, body, {"Content-Type: application/json"})});
  return server.url("/");
}

// A TCP server on loopback of the test's own: each connection is handed to
// talk on a thread of its own; the listener closes and every thread is
// joined when the object goes.
class RawServer {
 public:
  explicit RawServer(std::function<void(SOCKET)> talk) : _talk(std::move(talk)) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    _listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(_listener, 8);
    int size = sizeof address;
    getsockname(_listener, reinterpret_cast<sockaddr*>(&address), &size);
    _port = ntohs(address.sin_port);
    _accepting = std::thread([this] {
      for (;;) {
        const SOCKET client = accept(_listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) return;
        _talks.emplace_back([this, client] {
          _talk(client);
          closesocket(client);
        });
      }
    });
  }
  ~RawServer() {
    _stopping = true;
    closesocket(_listener);
    _accepting.join();
    for (std::thread& talk : _talks) talk.join();
    WSACleanup();
  }
  int port() const { return _port; }
  bool stopping() const { return _stopping; }

 private:
  std::function<void(SOCKET)> _talk;
  SOCKET _listener = INVALID_SOCKET;
  int _port = 0;
  std::atomic<bool> _stopping{false};
  std::thread _accepting;
  std::vector<std::thread> _talks;
};

bool sendAll(SOCKET s, const std::string& bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    const int n = send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

TEST(CheckHostile, RemoteTextNeverSpeaksForTheCheck) {
  LoopbackHttpServer server;
  ASSERT_TRUE(server.listening());
  // A JSON value, judged critical, that claims otherwise.
  const std::string url = serveJson(server, "{\"state\": \"" + std::string("All fine<velkaro:info>All fine</velkaro:info>\\nsecond line\\r\\u0007") + "\"}");
  const Timed json = check("json " + url + " state --equals ok");
  expectVerdict(json, kCritical, "json");
  EXPECT_NE(json.run.output.find("\\nsecond line\\r\\x07"), std::string::npos) << json.run.output;
  // A header whose wrong value says so.
  server.setReply({LoopbackHttpServer::response(200, "ok", {"X-State: <velkaro:info>All fine</velkaro:info>"})});
  expectVerdict(check("http " + server.url("/") + " --header X-State:up"), kCritical, "http --header");
  // Prometheus label values and alert names.
  server.setReply({LoopbackHttpServer::response(
      200,
      "{\"status\":\"success\",\"data\":{\"resultType\":\"vector\",\"result\":[{\"metric\":{\"job\":\"<velkaro:info>All "
      "fine\\n\"},\"value\":[1,\"5\"]}]}}")});
  const Timed prom = check("prom " + server.url("/") + " up --crit 1");
  expectVerdict(prom, kCritical, "prom");
  server.setReply({LoopbackHttpServer::response(
      200, "{\"data\":{\"alerts\":[{\"labels\":{\"alertname\":\"<velkaro:info>All fine\\n| x=1\"},\"state\":\"firing\"}]}}")});
  expectVerdict(check("alerts " + server.url("/")), kCritical, "alerts");
  // Prometheus's own error text.
  server.setReply({LoopbackHttpServer::response(400, "{\"status\":\"error\",\"error\":\"<velkaro:info>All fine\\nx\"}")});
  expectVerdict(check("prom " + server.url("/") + " up"), kCritical, "prom error");
  // A value that would add performance data of its own.
  const Timed piped = check("json " + serveJson(server, "{\"a\":\"ok | value=99;1;2\"}") + " a --equals up");
  expectVerdict(piped, kCritical, "json |");
  EXPECT_EQ(piped.run.output.find("| value=99"), std::string::npos) << piped.run.output;
  // A redirect to a URL of control characters and performance data.
  server.setReply({LoopbackHttpServer::response(302, "", {"Location: x:\x01fake | time=0s;1;2"})});
  const Timed redirected = check("http " + server.url("/"));
  expectVerdict(redirected, kCritical, "redirect");
  EXPECT_EQ(redirected.run.output.find("| time=0s"), std::string::npos) << redirected.run.output;
  // A classic check program's own tags, hidden by a zero byte or in UTF-16.
  for (const char* how : {"zero", "utf16"}) {
    const Timed sly = check(std::string("run -- vardok-test-child.exe sly ") + how);
    expectVerdict(sly, kCritical, how);
    EXPECT_EQ(tag(sly.run.output, "info").rfind("CRITICAL", 0), 0u) << how << "\n" << sly.run.output;
  }
  // A greeting shown in "got".
  RawServer greeter([&](SOCKET s) { sendAll(s, "<velkaro:info>All fine</velkaro:info>\r\n"); });
  expectVerdict(check("tcp 127.0.0.1 " + std::to_string(greeter.port()) + " --expect READY --timeout 3000"), kCritical,
                "tcp got");
}

TEST(CheckHostile, JsonNestedWithoutEndIsToldAtOnce) {
  LoopbackHttpServer server;
  ASSERT_TRUE(server.listening());
  // Whole documents, every level closed: valid JSON that a reader by
  // recursion cannot survive.
  const struct {
    const char* open;
    const char* close;
  } shapes[] = {{"[", "]"}, {"{\"a\":", "}"}};
  for (const auto& shape : shapes) {
    std::string body = "{\"a\":";
    for (int i = 0; i < 100000; ++i) body += shape.open;
    body += "1";
    for (int i = 0; i < 100000; ++i) body += shape.close;
    body += "}";
    const Timed deep = check("json " + serveJson(server, body) + " a --equals 1");
    expectVerdict(deep, kCritical, shape.open);
    EXPECT_EQ(tag(deep.run.output, "info"), "nested too deeply (more than 512 levels)") << deep.run.output;
  }
  // 512 levels are read; the value shown is bounded, and written without
  // recursion.
  std::string deepest = "{\"a\":";
  for (int i = 0; i < 510; ++i) deepest += "[";
  deepest += "1";
  for (int i = 0; i < 510; ++i) deepest += "]";
  deepest += "}";
  const Timed read = check("json " + serveJson(server, deepest) + " a --matches /1/");
  expectVerdict(read, kWell, "512 levels");
  EXPECT_NE(read.run.output.find("[[[[..."), std::string::npos) << read.run.output;
}

TEST(CheckHostile, AnswersOfTheWrongShapeAreCriticalWithTheReason) {
  LoopbackHttpServer server;
  ASSERT_TRUE(server.listening());
  const struct {
    const char* command;
    const char* body;
    const char* info;
  } rows[] = {
      {"prom", "[1,2,3]", "unexpected answer: an array, not an object"},
      {"prom", "{\"status\":\"success\",\"data\":\"x\"}", "unexpected answer: data is a string"},
      {"prom", "{\"status\":5}", "unexpected answer: status is a number"},
      {"prom", "{\"status\":\"success\",\"data\":{\"resultType\":\"vector\",\"result\":[7]}}",
       "unexpected answer: a series is a number"},
      {"prom", "{\"status\":\"success\",\"data\":{\"resultType\":7}}", "not values"},
      {"prom", "{\"status\":\"success\",\"data\":{\"resultType\":\"scalar\",\"result\":{\"a\":1}}}",
       "unexpected answer: the scalar is {\"a\":1}"},
      {"prom", "{\"status\":\"success\",\"data\":{\"resultType\":\"vector\",\"result\":[{\"value\":[1,5]}]}}",
       "unexpected answer: a series' value is [1,5]"},
      {"alerts", "[1,2,3]", "unexpected answer: an alert is a number"},
      {"alerts", "{\"data\":{\"alerts\":[{\"labels\":{\"alertname\":5},\"state\":\"firing\"}]}}",
       "unexpected answer: an alert's name is a number"},
      {"alerts", "{\"data\":{\"alerts\":[{\"labels\":{\"alertname\":\"A\"},\"state\":1}]}}",
       "unexpected answer: an alert's state is a number"},
      {"alerts", "{\"data\":{\"alerts\":[{\"labels\":{\"alertname\":\"A\"},\"state\":null}]}}",
       "unexpected answer: an alert's state is null"},
      {"alerts", "[{\"labels\":{\"alertname\":\"A\"},\"status\":{\"state\":[1]}}]",
       "unexpected answer: an alert's state is an array"},
  };
  for (const auto& row : rows) {
    const std::string url = serveJson(server, row.body);
    const Timed timed = check(std::string(row.command) + " " + url + (std::string(row.command) == "prom" ? " up" : ""));
    expectVerdict(timed, kCritical, row.body);
    EXPECT_EQ(tag(timed.run.output, "info"), row.info) << row.body << "\n" << timed.run.output;
  }
}

TEST(CheckHostile, JsonNumbersAndDocumentsAtTheirEdges) {
  LoopbackHttpServer server;
  ASSERT_TRUE(server.listening());
  // Large numbers whole, in the text and the performance data.
  const Timed large = check("json " + serveJson(server, "{\"a\":1e40}") + " a --warn 1");
  expectVerdict(large, kProblem, "1e40");
  EXPECT_EQ(tag(large.run.output, "info"), "a 10000000000000000303786028427003666890752") << large.run.output;
  EXPECT_NE(large.run.output.find("value=10000000000000000303786028427003666890752;1;;"), std::string::npos)
      << large.run.output;
  // A number past a double's range is named, not "not JSON".
  const Timed huge = check("json " + serveJson(server, "{\"a\":1e400}") + " a --warn 1");
  expectVerdict(huge, kCritical, "1e400");
  EXPECT_EQ(tag(huge.run.output, "info"), "the number 1e400 is too large to read") << huge.run.output;
  // Numbers compared as numbers.
  const std::string one = serveJson(server, "{\"a\":1.0,\"b\":1e2,\"c\":\"1.0\"}");
  expectVerdict(check("json " + one + " a --equals 1"), kWell, "1.0 equals 1");
  expectVerdict(check("json " + one + " b --equals 100"), kWell, "1e2 equals 100");
  expectVerdict(check("json " + one + " c --equals 1"), kCritical, "the text 1.0 is not 1");
  // A limit that is no finite number is set up wrongly.
  const Timed infinite = check("json " + one + " a --warn 1e400");
  expectVerdict(infinite, kCritical, "--warn 1e400");
  EXPECT_EQ(infinite.run.output.find('|'), std::string::npos) << infinite.run.output;
  // A document past the most that is kept is said to be cut.
  std::string big = "{\"pad\":\"" + std::string(17u << 20, 'x') + "\",\"a\":1}";
  const Timed cut = check("json " + serveJson(server, big) + " a --equals 1");
  expectVerdict(cut, kCritical, "17 MiB");
  EXPECT_EQ(tag(cut.run.output, "info"), "document too large") << cut.run.output;
  // A header value of 5,000 bytes is shown bounded.
  server.setReply({LoopbackHttpServer::response(200, "ok", {"X-Long: " + std::string(5000, 'v')})});
  const Timed header = check("http " + server.url("/") + " --header X-Long:short");
  expectVerdict(header, kCritical, "long header");
  EXPECT_LT(header.run.output.size(), 1200u) << header.run.output.size();
}

TEST(CheckHostile, TcpFindsTheWordAfterALongGreetingAndNamesATimeout) {
  RawServer talker([](SOCKET s) { sendAll(s, std::string(5000, '*') + "\r\nREADY\r\n"); });
  const std::string target = "tcp 127.0.0.1 " + std::to_string(talker.port());
  expectVerdict(check(target + " --expect READY --timeout 5000"), kWell, "READY after 5,000 bytes");
  // A server that says something else and then nothing: the time ran out.
  RawServer stalling([](SOCKET s) {
    sendAll(s, "+PONG?\r\n");
    char byte;
    recv(s, &byte, 1, 0);  // until the check closes
  });
  const Timed late = check("tcp 127.0.0.1 " + std::to_string(stalling.port()) + " --expect PONG! --timeout 1500");
  expectVerdict(late, kCritical, "timeout");
  EXPECT_NE(late.run.output.find("\"PONG!\" not received within 1500 ms (got \"+PONG?\")"), std::string::npos)
      << late.run.output;
}

TEST(CheckHostile, ACommandAtItsLimitNamesItselfAndWhatArrived) {
  // Headers, then a body trickling for far longer than the limit.
  RawServer trickle([](SOCKET s) {
    char request[1024];
    recv(s, request, sizeof request, 0);
    if (!sendAll(s, "HTTP/1.1 200 OK\r\nContent-Length: 209715200\r\n\r\n")) return;
    const std::string chunk(16384, ' ');
    for (int i = 0; i < 2000 && sendAll(s, chunk); ++i) Sleep(20);
  });
  const std::string url = "http://127.0.0.1:" + std::to_string(trickle.port()) + "/";
  const struct {
    std::string arguments;
    std::string line;
  } rows[] = {
      {"json " + url + " a --equals 1", "JSON " + url + ": the answer was still arriving after 2000 ms ("},
      {"prom " + url + " up", "Prometheus " + url + ": up: the answer was still arriving after 2000 ms ("},
      {"alerts " + url, "Alerts of " + url + ": the answer was still arriving after 2000 ms ("},
      {"http " + url, "HTTP " + url + ": the answer was still arriving after 2000 ms ("},
  };
  for (const auto& row : rows) {
    const Timed timed = check(row.arguments + " --timeout 2000");
    expectVerdict(timed, kCritical, row.arguments);
    EXPECT_EQ(timed.run.output.rfind(row.line, 0), 0u) << row.arguments << "\n" << timed.run.output;
    EXPECT_LT(timed.ms, 4000u) << row.arguments;
  }
}

TEST(CheckHostile, ACertificateNotYetValidSaysFromWhen) {
  LoopbackHttpServer::Options options;
  options.address = "127.0.0.1";
  options.port = 0;
  options.certificateFile = VardokHost::certificateFolder() + "notyet.pem";
  options.keyFile = VardokHost::certificateFolder() + "notyet.key";
  LoopbackHttpServer server(options);
  ASSERT_TRUE(server.listening()) << server.error();
  const Timed timed = check("cert localhost:" + std::to_string(server.port()));
  expectVerdict(timed, kCritical, "not yet valid");
  EXPECT_EQ(tag(timed.run.output, "info"), "Certificate: not valid before 2090-01-01") << timed.run.output;
}

TEST(CheckHostile, UsageSaysWhatIsNeeded) {
  const Timed disk = check("disk");
  EXPECT_NE(disk.run.errors.find("disk [DRIVE] --warn PCT --crit PCT"), std::string::npos) << disk.run.errors;
  const Timed twice = check("tcp 127.0.0.1 1 --retries 3 --retries 4");
  expectVerdict(twice, kCritical, "--retries twice");
  EXPECT_EQ(tag(twice.run.output, "info"), "Set up wrongly: --retries is given twice") << twice.run.output;
  EXPECT_NE(twice.run.errors.find("--timeout holds for each attempt"), std::string::npos) << twice.run.errors;
}

TEST(CheckHostile, PlatformErrorsAreInWordsAndCountsInGrammar) {
  // Codes that reached people as bare numbers: a bad DNS packet, Schannel's
  // internal error, a signature that does not verify (two roots of one
  // name), a certificate not yet valid, a TLS alert; then ones of Winsock
  // and WinINet.
  for (const uint32_t code : {9502u, 2148074244u, 2148098052u, 0x800B0101u, 0x80090326u, 10060u, 10061u, 11001u,
                              12002u, 12007u, 12029u, 12157u}) {
    const std::string words = VardokCheck::errorWords(code);
    EXPECT_EQ(words.find(std::to_string(code)), std::string::npos) << code << ": " << words;
    EXPECT_EQ(words.find("error"), std::string::npos) << code << ": " << words;
  }
  // A code nobody has words for is still named, in hexadecimal for an HRESULT.
  EXPECT_EQ(VardokCheck::errorWords(0xA0001234u), "error 0xA0001234");
  EXPECT_EQ(VardokCheck::countText(1, "day"), "1 day");
  EXPECT_EQ(VardokCheck::countText(0, "day"), "0 days");
  EXPECT_EQ(VardokCheck::countText(-1, "day"), "-1 day");
}

}  // namespace
