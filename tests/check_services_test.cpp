// vardok-check's commands for the services people watch, against real
// servers on loopback: dnsmasq (dns), TLS servers with the build's test
// issuer's certificates (cert, http --cert-days), and Prometheus (prom,
// alerts).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "host/serve/certificates.h"
#include "host/serve/http_server.h"
#include "tests/local_servers.h"
#include "tests/check_runs.h"
#include "tests/plugin_fixture.h"

using VardokHost::LoopbackHttpServer;
using VardokTest::LocalServer;
using VardokTest::ProgramRun;

namespace {

constexpr int kWell = 0, kProblem = 1, kCritical = 10;

using Timed = VardokTest::TimedRun;

Timed check(const std::string& arguments) { return VardokTest::runCheck(arguments); }

std::string info(const ProgramRun& run) { return VardokTest::checkTag(run.output, "info"); }

struct Row {
  std::string arguments;
  int level;
  std::string info;  // empty: not compared
};

void expectRows(const std::string& prefix, std::initializer_list<Row> rows) {
  for (const Row& row : rows) {
    const Timed timed = check(prefix + row.arguments);
    EXPECT_EQ(timed.run.exitCode, row.level) << row.arguments << "\n" << timed.run.output << timed.run.errors;
    if (!row.info.empty()) EXPECT_EQ(info(timed.run), row.info) << row.arguments << "\n" << timed.run.output;
  }
}

struct WinsockScope {
  WinsockScope() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~WinsockScope() { WSACleanup(); }
};

// Addresses of this test's own in 127.53.0.0/16, apart from other runs'.
std::string dnsAddress(int last) {
  return "127.53." + std::to_string(GetCurrentProcessId() % 250 + 1) + "." + std::to_string(last);
}

void writeDnsConfiguration(const std::string& folder) {
  std::string unixFolder = folder.substr(2);
  for (char& c : unixFolder)
    if (c == '\\') c = '/';
  std::ofstream(folder + "hosts") << "10.1.2.3 web.vardok.test\n10.1.2.4 mail.vardok.test\n"
                                  << "fd00::53 six.vardok.test\n10.0.0.1 ready.test\n";
  std::ofstream(folder + "dnsmasq.conf") << "addn-hosts=" << unixFolder << "hosts\n"
                                         << "local=/vardok.test/\n"
                                         << "mx-host=vardok.test,mail.vardok.test,10\n"
                                         << "txt-record=vardok.test,\"v=spf1 -all\"\n"
                                         << "log-facility=" << unixFolder << "queries.log\n";
}

TEST(CheckServices, DnsJudgesMissingWrongSlowAndSilentAnswers) {
  const std::string address = dnsAddress(1);
  LocalServer dnsmasq("dnsmasq", address, writeDnsConfiguration);
  ASSERT_FALSE(dnsmasq.address().empty()) << dnsmasq.error();
  const std::string at = " --server " + address;
  expectRows("dns ", {
      {"web.vardok.test" + at, kWell, ""},
      {"web.vardok.test" + at + " --expect 10.1.2.3", kWell, ""},
      {"WEB.vardok.test" + at + " --expect 10.1.2.3", kWell, ""},
      {"web.vardok.test" + at + " --expect 10.1.2.9", kCritical, "web.vardok.test wrong answer"},
      {"six.vardok.test --type AAAA" + at + " --expect fd00::53", kWell, ""},
      {"vardok.test --type MX" + at + " --expect Mail.Vardok.Test", kWell, ""},
      {"vardok.test --type TXT" + at + " --expect \"v=spf1 -all\"", kWell, ""},
      {"vardok.test --type TXT" + at + " --expect v=spf1", kCritical, "vardok.test wrong answer"},
      {"nothing.vardok.test" + at, kCritical, "nothing.vardok.test does not exist (NXDOMAIN)"},
      // Set up wrongly: each is critical with its reason.
      {"web.vardok.test --type SRV" + at, kCritical, ""},
      {"web.vardok.test --server ::1", kCritical, ""},
      {"web.vardok.test" + at + " --warn 100 --crit 50", kCritical, ""},
  });
  const Timed well = check("dns web.vardok.test" + at);
  EXPECT_NE(well.run.output.find(": 10.1.2.3 in "), std::string::npos) << well.run.output;
  EXPECT_NE(well.run.output.find(" | time="), std::string::npos) << well.run.output;

  // A server 400 ms slow, passing each limit in turn.
  const std::string slow = dnsAddress(2);
  const LocalServer delaying("dns-stand-in", slow + " " + address + " 400");
  ASSERT_FALSE(delaying.address().empty()) << delaying.error();
  expectRows("dns web.vardok.test --server " + slow, {
      {" --warn 2000 --crit 3000", kWell, ""},
      {" --warn 200 --crit 3000", kProblem, ""},
      {" --warn 100 --crit 200", kCritical, ""},
  });

  // A server that never answers: the time limit holds.
  const std::string silent = dnsAddress(3);
  const LocalServer mute("dns-stand-in", silent);
  ASSERT_FALSE(mute.address().empty()) << mute.error();
  const Timed late = check("dns web.vardok.test --server " + silent + " --timeout 1500");
  EXPECT_EQ(late.run.exitCode, kCritical) << late.run.output;
  EXPECT_EQ(info(late.run), "no answer within 1500 ms") << late.run.output;
  EXPECT_LT(late.ms, 2500u);
}

// A server that answers oddly, by the first label of the name asked: each
// answer code in its own words, a truncated answer asked again over TCP,
// answers that cannot be read (records past the end, a name that points at
// itself), an answer of another id before the right one, and a TXT record
// that would speak for the check.
TEST(CheckServices, DnsNamesWhatTheServerSaid) {
  const std::string address = dnsAddress(4);
  const LocalServer odd("dns-stand-in", address + " odd");
  ASSERT_FALSE(odd.address().empty()) << odd.error();
  const std::string at = " --server " + address;
  expectRows("dns ", {
      {"refused.vardok.test" + at, kCritical, "refused.vardok.test refused by the server"},
      {"servfail.vardok.test" + at, kCritical, "servfail.vardok.test server failure"},
      {"nx.vardok.test" + at, kCritical, "nx.vardok.test does not exist (NXDOMAIN)"},
      {"nodata.vardok.test" + at, kCritical, "nodata.vardok.test has no record of the type"},
      {"formerr.vardok.test" + at, kCritical,
       "formerr.vardok.test the server could not read the question (format error)"},
      {"notimp.vardok.test" + at, kCritical, "notimp.vardok.test the server does not answer this kind of question"},
      {"garbage.vardok.test" + at, kCritical, "garbage.vardok.test the server's answer cannot be read"},
      {"loop.vardok.test" + at, kCritical, "loop.vardok.test the server's answer cannot be read"},
      {"trunconly.vardok.test" + at, kCritical,
       "trunconly.vardok.test the answer was truncated and the server gave none over TCP"},
      {"trunc.vardok.test" + at + " --expect 10.9.8.7", kWell, ""},
      {"trunc.vardok.test" + at + " --expect 10.9.8.1", kCritical, "trunc.vardok.test wrong answer"},
      {"wrongid.vardok.test" + at + " --expect 10.9.8.6", kWell, ""},
      {"wrongid.vardok.test" + at + " --expect 10.9.8.99", kCritical, "wrongid.vardok.test wrong answer"},
  });
  const Timed truncated = check("dns trunc.vardok.test" + at);
  EXPECT_EQ(truncated.run.exitCode, kWell) << truncated.run.output;
  EXPECT_NE(truncated.run.output.find(": 10.9.8.7 in "), std::string::npos) << truncated.run.output;
  const Timed wrongId = check("dns wrongid.vardok.test" + at);
  EXPECT_EQ(wrongId.run.exitCode, kWell) << wrongId.run.output;
  EXPECT_NE(wrongId.run.output.find(": 10.9.8.6 in "), std::string::npos) << wrongId.run.output;

  // A line break and a result tag in a TXT record: one line, and the only
  // info tag is vardok-check's own.
  const Timed txt = check("dns txtline.vardok.test --type TXT" + at);
  const std::string& output = txt.run.output;
  EXPECT_EQ(txt.run.exitCode, kWell) << output;
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
  EXPECT_EQ(output.find('\n'), output.size() - 1) << output;
  const std::string tag = "<velkaro:info>";
  EXPECT_EQ(output.find(tag), output.rfind(tag)) << output;
  EXPECT_EQ(info(txt.run).rfind("txtline.vardok.test \"first line\\nsecond ", 0), 0u) << output;
}

// The days a certificate file of the issuer has left, as whole days.
int64_t daysLeftIn(const std::string& pemFile) {
  std::ifstream file(pemFile, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  const std::string pem = text.str();
  DWORD size = 0;
  CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr);
  std::string der(size, '\0');
  CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(&der[0]), &size, nullptr,
                       nullptr);
  PCCERT_CONTEXT certificate =
      CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), size);
  if (!certificate) return -1000;
  const FILETIME expiry = certificate->pCertInfo->NotAfter;
  CertFreeCertificateContext(certificate);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER a, b;
  a.LowPart = expiry.dwLowDateTime;
  a.HighPart = expiry.dwHighDateTime;
  b.LowPart = now.dwLowDateTime;
  b.HighPart = now.dwHighDateTime;
  return static_cast<int64_t>((a.QuadPart - b.QuadPart) / 864000000000ULL);
}

std::unique_ptr<LoopbackHttpServer> tlsServer(const std::string& name) {
  LoopbackHttpServer::Options options;
  options.address = "127.0.0.1";
  options.port = 0;
  options.certificateFile = VardokHost::certificateFolder() + name + ".pem";
  options.keyFile = VardokHost::certificateFolder() + name + ".key";
  auto server = std::make_unique<LoopbackHttpServer>(options);
  server->setReply({LoopbackHttpServer::response(200, "secure")});
  return server;
}

std::string hostPort(const LoopbackHttpServer& server) {
  const std::string url = server.url("/");  // https://127.0.0.1:PORT/
  const size_t start = url.find("//") + 2;
  return url.substr(start, url.find('/', start) - start);
}

TEST(CheckServices, CertificateDaysAtAndPastTheirLimits) {
  std::string error;
  ASSERT_TRUE(VardokHost::trustRootCertificate(VardokHost::certificateFolder() + "ca.pem", &error)) << error;
  for (const char* name : {"days5", "days20", "days400"}) {
    const auto server = tlsServer(name);
    ASSERT_TRUE(server->listening()) << server->error();
    const int64_t days = daysLeftIn(VardokHost::certificateFolder() + name + ".pem");
    ASSERT_GE(days, 0) << name;
    const std::string target = "cert " + hostPort(*server);
    const std::string d = std::to_string(days), d1 = std::to_string(days + 1);
    // The classes with the usual limits, then exactly at and one day past
    // each limit.
    const int usual = days < 10 ? kCritical : days < 30 ? kProblem : kWell;
    expectRows(target, {
        {" --warn 30 --crit 10", usual, "cert " + d + " days left"},
        {" --warn " + d + " --crit 0", kWell, ""},
        {" --warn " + d1 + " --crit 0", kProblem, ""},
        {" --warn " + d1 + " --crit " + d, kProblem, ""},
        {" --warn " + d1 + " --crit " + d1, kCritical, ""},
    });
    const Timed shown = check(target);
    EXPECT_NE(shown.run.output.find("expires in " + d + " days"), std::string::npos) << shown.run.output;
    EXPECT_NE(shown.run.output.find("(localhost, issued by Vardok test issuer)"), std::string::npos)
        << shown.run.output;
    EXPECT_NE(shown.run.output.find("| days=" + d + ";30;7"), std::string::npos) << shown.run.output;

    // The same limits on the web page's own check.
    const std::string url = server->url("/");
    expectRows("http " + url, {
        {" --cert-days 30,10", usual, ""},
        {" --cert-days " + d, kWell, ""},
        {" --cert-days " + d1, kProblem, ""},
        {" --cert-days " + d1 + "," + d1, kCritical, "HTTP 200, cert " + d + " days left"},
    });
  }
}

TEST(CheckServices, CertificatesNotToTrustAreCriticalWithTheReason) {
  std::string error;
  ASSERT_TRUE(VardokHost::trustRootCertificate(VardokHost::certificateFolder() + "ca.pem", &error)) << error;
  const auto untrusted = tlsServer("untrusted");
  const auto expired = tlsServer("expired");
  const auto wrongName = tlsServer("wrongname");
  ASSERT_TRUE(untrusted->listening() && expired->listening() && wrongName->listening());
  expectRows("cert ", {
      {hostPort(*untrusted), kCritical, "Certificate: untrusted issuer"},
      {hostPort(*expired), kCritical, "Certificate: expired"},
      {hostPort(*wrongName), kCritical, "Certificate: issued for another name"},
      // The name it was issued for, asked by name (and told to the server).
      {hostPort(*wrongName) + " --name other.invalid", kWell, ""},
      {LoopbackHttpServer::unusedAddress(), kCritical, "connection refused"},
      {"127.0.0.1:99999", kCritical, ""},  // set up wrongly
  });
  // A server that takes the connection and never speaks: the time holds.
  const WinsockScope winsock;
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &at.sin_addr);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  int size = sizeof at;
  getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size);
  const Timed silent = check("cert 127.0.0.1:" + std::to_string(ntohs(at.sin_port)) + " --timeout 1000");
  closesocket(listener);
  EXPECT_EQ(silent.run.exitCode, kCritical) << silent.run.output;
  EXPECT_EQ(info(silent.run), "no TLS answer in time") << silent.run.output;
  EXPECT_LT(silent.ms, 2000u);
}

class PrometheusTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server = new LocalServer("prometheus", ""); }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  void SetUp() override { ASSERT_FALSE(server->address().empty()) << server->error(); }
  static LocalServer* server;
};
LocalServer* PrometheusTest::server = nullptr;

TEST_F(PrometheusTest, QueryValuesAtAndPastTheirLimits) {
  const std::string url = server->address();
  expectRows("prom " + url + " ", {
      {"vector(5) --warn 5 --crit 10", kWell, "vector(5) 5"},
      {"vector(5) --warn 4.99 --crit 10", kProblem, "vector(5) 5"},
      {"vector(5) --warn 4 --crit 4.99", kCritical, "vector(5) 5"},
      // "X:": passed below X, for a value that should stay high.
      {"up --crit 1:", kWell, ""},
      {"up --warn 2: --crit 1:", kProblem, ""},
      {"scalar(vector(3)) --crit 2.5", kCritical, "scalar(vector(3)) 3"},
      // Several series: the worst counts.
      {"label_replace(vector(1),'a','x','','')or(label_replace(vector(7),'a','y','','')) --warn 2 --crit 5",
       kCritical, "{a=\"y\"} 7"},
      {"label_replace(vector(1),'a','x','','')or(label_replace(vector(3),'a','y','','')) --warn 2 --crit 5",
       kProblem, "{a=\"y\"} 3"},
      // No data: as --empty says, a problem unless told otherwise.
      {"no_such_metric", kProblem, "no data"},
      {"no_such_metric --empty ok", kWell, "no data"},
      {"no_such_metric --empty critical", kCritical, "no data"},
      // The server's own reason for a query it cannot read.
      {"up{", kCritical, ""},
      {"up --empty maybe", kCritical, ""},  // set up wrongly
  });
  const Timed bad = check("prom " + url + " up{");
  EXPECT_NE(bad.run.output.find("parse error"), std::string::npos) << bad.run.output;
  const Timed up = check("prom " + url + " up");
  EXPECT_NE(up.run.output.find("up{instance=\""), std::string::npos) << up.run.output;
  EXPECT_NE(up.run.output.find("| value=1;"), std::string::npos) << up.run.output;
}

TEST_F(PrometheusTest, FiringAlertsAreCriticalByName) {
  const std::string url = server->address();
  expectRows("alerts " + url, {
      {"", kCritical, "firing: AlwaysFiring"},
      {" --match severity=page", kCritical, "firing: AlwaysFiring"},
      {" --match alertname=NeverFiring", kWell, "no alerts firing"},
      {" --match severity=page --match alertname=NeverFiring", kWell, "no alerts firing"},
      {" --match severity=none", kWell, "no alerts firing"},
      {" --match severity", kCritical, ""},  // set up wrongly
  });
  // The API path given as it stands.
  expectRows("alerts " + url + "/api/v1/alerts", {{"", kCritical, "firing: AlwaysFiring"}});
  const Timed down = check("alerts http://" + LoopbackHttpServer::unusedAddress());
  EXPECT_EQ(down.run.exitCode, kCritical);
}

}  // namespace
