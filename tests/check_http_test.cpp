// HTTP checks end to end, through the real Vardok.dll against the test
// server: the body as output, the "Error" header as exit code.
#include <string>

#include <gtest/gtest.h>

#include "hostapi/messages.h"
#include "host/lib/http_server.h"
#include "tests/plugin_fixture.h"

using namespace Vardok;
using VardokTest::CheckTest;
using VardokTest::MessageBoxRecorder;
using VardokHost::LoopbackHttpServer;

namespace {

class HttpChecks : public CheckTest {
 protected:
  HttpChecks() : CheckTest(true) {}
  void SetUp() override {
    CheckTest::SetUp();
    ASSERT_TRUE(server.listening());
  }

  void runFromMenu(int contact) {
    const size_t before = reports(contact);
    ActionEvent event{30, 82001, 30, contact, 1, {0, 0, 0}};
    host.post(HM_ACTION, reinterpret_cast<int32_t>(&event));
    ASSERT_TRUE(waitForReports(contact, before + 1));
  }

  // A scheduled check's first run: output in column 34, no message box.
  // The check is disabled as its report arrives, before the plug-in re-arms
  // it, so exactly one run happens.
  int runScheduled(const std::string& url) {
    const int contact = addCheck(url, 0, 0);
    host.setObserver([this, contact](const VardokHost::HostEvent& e) {
      if (e.kind == VardokHost::HostEvent::Kind::Message && e.id == HM_CONTACT_REFRESH && e.i32(22) == contact)
        host.setInt(contact, enabledColumn, 0);
    });
    host.setInt(contact, enabledColumn, 1);
    host.postChanged(contact, 0, kNetwork);
    EXPECT_TRUE(waitForReports(contact, 1));
    host.pumpFor(50);
    host.setObserver(nullptr);
    return contact;
  }

  LoopbackHttpServer server;
};

TEST_F(HttpChecks, ErrorHeaderIsTheExitCode) {
  const struct {
    const char* error;
    int status;
  } table[] = {{"2", 0x41}, {"#A", 0x40}, {"0", 0}, {"-1", 0x40}, {"x", 0}};
  for (const auto& row : table) {
    server.setReply({LoopbackHttpServer::response(200, "body <velkaro:info>from page</velkaro:info>",
                                              {std::string("Error: ") + row.error})});
    const int contact = runScheduled(server.url("/check"));
    EXPECT_EQ(host.getInt(contact, 2), row.status) << row.error;
    EXPECT_EQ(host.getText(contact, 34).value_or("<unset>"), "body <velkaro:info>from page</velkaro:info>");
    EXPECT_EQ(host.statusText(contact), "from page");
  }
  EXPECT_TRUE(MessageBoxRecorder::shown().empty());
}

TEST_F(HttpChecks, StatusIsIgnoredWithoutTheHeader) {
  server.setReply({LoopbackHttpServer::response(404, "<html>not found</html>\n")});
  const int contact = runScheduled(server.url("/missing"));
  EXPECT_EQ(host.getInt(contact, 2), 0);
  EXPECT_EQ(host.getText(contact, 34).value_or("<unset>"), "<html>not found</html>\r\n");
}

TEST_F(HttpChecks, LongErrorValueIsReadBack) {
  server.setReply({LoopbackHttpServer::response(200, "x", {"Error: " + std::string(119, '0') + "7"})});
  const int contact = runScheduled(server.url("/"));
  EXPECT_EQ(host.getInt(contact, 2), 0x41);
}

TEST_F(HttpChecks, AnyLetterCaseAndPositionSelectsHttp) {
  server.setReply({LoopbackHttpServer::response(200, "upper", {"Error: 1"})});
  const int contact = runScheduled("HTTP://" + server.address() + "/Upper");
  EXPECT_EQ(host.getText(contact, 34).value_or("<unset>"), "upper");
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].rfind("GET /Upper HTTP/1.1", 0), 0u);
}

TEST_F(HttpChecks, RefusedRequestShowsFailedSend) {
  const std::string url = "http://" + LoopbackHttpServer::unusedAddress() + "/x";
  const int contact = runScheduled(url);
  const auto shown = MessageBoxRecorder::shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "Failed send");
  EXPECT_EQ(shown[0].caption, url);
  EXPECT_EQ(shown[0].type, 0x40u);
  EXPECT_EQ(host.getInt(contact, 2), 0x40);
  EXPECT_EQ(host.getText(contact, 34).value_or("<unset>"), "");
}

TEST_F(HttpChecks, DroppedRequestShowsFailedRead) {
  LoopbackHttpServer::Reply reply{LoopbackHttpServer::response(200, std::string(5000, 'b'), {"Error: 3"})};
  reply.sendOnly = reply.bytes.size() - 2000;
  reply.reset = true;
  server.setReply(reply);
  const int contact = runScheduled(server.url("/drop"));
  const auto shown = MessageBoxRecorder::shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "Failed read");
  EXPECT_EQ(shown[0].caption, server.url("/drop"));
  EXPECT_EQ(host.getInt(contact, 2), 0x40);
  EXPECT_EQ(host.getText(contact, 34).value_or("<unset>"), "");
}

TEST_F(HttpChecks, CommandWithAnUrlInsideIsABadUrlNotACrash) {
  const std::string command = "ping " + server.url("/");
  const int contact = runScheduled(command);
  const auto shown = MessageBoxRecorder::shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "Protocol: " + command);
  EXPECT_EQ(shown[0].caption, command);
  EXPECT_EQ(host.getInt(contact, 2), 0x40);
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(HttpChecks, InteractiveRunShowsTheBody) {
  server.setReply({LoopbackHttpServer::response(200, "page body")});
  const int contact = addCheck(server.url("/i"), 100, 0);
  runFromMenu(contact);
  const auto shown = MessageBoxRecorder::shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "page body");
  EXPECT_EQ(shown[0].caption, server.url("/i"));
}

}  // namespace
