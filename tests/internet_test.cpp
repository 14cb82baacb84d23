// URLs, connections, requests and the internet exceptions.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/internet/internet.h"
#include "host/lib/http_server.h"

using namespace Quorlin;
using VardokHost::LoopbackHttpServer;

namespace {

class Urls : public ::testing::Test {
 protected:
  SharedPtr<Internet> internet{new Internet(InternetOpenA("test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0)), true};
};

TEST_F(Urls, ServerNameAndPort) {
  const struct {
    const char* url;
    const char* server;
  } table[] = {
      {"http://example.com/path", "example.com"},
      {"HTTP://Example.COM/x", "Example.COM"},
      {"http://host", "host"},
      {"http://host:8080/x", "host:8080"},
      {"http://h/x", "h"},
      {"http://host?q=1", "host?q=1"},
      {"http://", ""},
  };
  for (const auto& row : table) {
    SharedPtr<Connection> connection(new Connection(internet, row.url), true);
    EXPECT_EQ(connection->server(), row.server) << row.url;
    EXPECT_EQ(connection->port(), 80);
  }
}

TEST_F(Urls, OtherSchemesAreRefusedWithTheLowerCasedUrl) {
  const struct {
    const char* url;
    const char* message;
  } table[] = {
      {"https://Host/x", "Protocol: https://host/x"},
      {"FTP://host", "Protocol: ftp://host"},
      {"", "Protocol: "},
      {"http:/", "Protocol: http:/"},
      {"ping http://host", "Protocol: ping http://host"},
  };
  for (const auto& row : table) {
    try {
      SharedPtr<Connection> connection(new Connection(internet, row.url), true);
      ADD_FAILURE() << "accepted " << row.url;
    } catch (Connection::ExceptionBadUrl e) {
      EXPECT_EQ(e.getReason(), row.message);
    }
  }
}

TEST_F(Urls, ObjectPathsAndMethods) {
  const struct {
    const char* url;
    const char* path;
  } table[] = {
      {"http://host", ""},
      {"http://host?q=1", ""},
      {"http://host/a/b?q=1#frag", "/a/b?q=1#frag"},
      {"HTTP://HOST/Path", "/Path"},
  };
  for (const auto& row : table) {
    SharedPtr<Connection> connection(new Connection(internet, row.url), true);
    SharedPtr<Request> request(new Request(connection, row.url, Request::GET, nullptr, nullptr, nullptr, 0), true);
    EXPECT_EQ(request->objectPath(), row.path) << row.url;
  }
  EXPECT_STREQ(Request::methodText(0), "GET");
  EXPECT_STREQ(Request::methodText(1), "POST");
  EXPECT_STREQ(Request::methodText(2), "HEAD");
  EXPECT_STREQ(Request::methodText(3), "GET");
  EXPECT_STREQ(Request::methodText(-1), "GET");
}

TEST_F(Urls, FirstRequestOpensTheConnectionAndTheSecondReusesIt) {
  SharedPtr<Connection> connection(new Connection(internet, "http://host/x"), true);
  SharedPtr<Request> first(new Request(connection, "http://host/x", Request::GET, nullptr, nullptr, nullptr, 0), true);
  const HINTERNET opened = connection->getHandle();
  ASSERT_NE(opened, nullptr);
  SharedPtr<Request> second(new Request(connection, "http://host/y", Request::HEAD, nullptr, nullptr, nullptr, 0), true);
  EXPECT_EQ(connection->getHandle(), opened);
  // Each request holds its connection.
  EXPECT_EQ(connection->getUseCount(), 4u);
}

TEST(Connections, WithoutASessionNothingConnects) {
  SharedPtr<Internet> none(new Internet(nullptr), true);
  SharedPtr<Connection> connection(new Connection(none, "http://host/"), true);
  try {
    connection->connect();
    FAIL();
  } catch (Connection::ExceptionCantConnect e) {
    EXPECT_EQ(e.getReason(), "Can't connect");
    EXPECT_EQ(e._object.get(), connection.get());
    // The holder, the thrown exception and this copy of it.
    EXPECT_EQ(connection->getUseCount(), 4u);
  }
  EXPECT_EQ(connection->getUseCount(), 2u);
}

// --- requests against the test server ---

class Requests : public Urls {
 protected:
  void SetUp() override { ASSERT_TRUE(server.listening()); }

  SharedPtr<Request> open(const std::string& path) {
    SharedPtr<Connection> connection(new Connection(internet, server.url(path)), true);
    return SharedPtr<Request>(new Request(connection, server.url(path), Request::GET, nullptr, nullptr, nullptr, 0), true);
  }

  LoopbackHttpServer server;
};

TEST_F(Requests, BodiesAndHeaders) {
  const std::string zeros("a\0b\0\0c", 6);
  server.setReply({LoopbackHttpServer::response(200, zeros, {"Error: 2", "Long: " + std::string(120, 'v')})});
  SharedPtr<Request> request = open("/status?x=1");
  request->send("", "");
  EXPECT_EQ(request->readAll(), zeros);
  EXPECT_EQ(request->queryInfo(HTTP_QUERY_CUSTOM, 100, "Error"), "2");
  EXPECT_EQ(request->queryInfo(HTTP_QUERY_CUSTOM, 100, "Long"), std::string(120, 'v'));
  EXPECT_EQ(request->queryInfo(HTTP_QUERY_CUSTOM, 100, "Absent"), "");
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].rfind("GET /status?x=1 HTTP/1.1\r\n", 0), 0u) << server.requests()[0];
}

TEST_F(Requests, EmptyAndLargeBodies) {
  SharedPtr<Request> empty = open("/");
  empty->send("", "");
  EXPECT_EQ(empty->readAll(), "");

  std::string large;
  for (int i = 0; i < 100000; ++i) large += static_cast<char>('a' + i % 26);
  server.setReply({LoopbackHttpServer::response(200, large)});
  SharedPtr<Request> big = open("/big");
  big->send("", "");
  EXPECT_EQ(big->readAll(), large);
  server.setReply({LoopbackHttpServer::response(200, large)});
  SharedPtr<Request> kept = open("/big");
  kept->send("", "");
  EXPECT_EQ(kept->readAll(1000), large.substr(0, 1000));
}

TEST_F(Requests, ReadFailingAfterSomeChunksReturnsNothing) {
  LoopbackHttpServer::Reply reply{LoopbackHttpServer::response(200, std::string(5000, 'b'))};
  reply.sendOnly = reply.bytes.size() - 2000;
  reply.reset = true;
  server.setReply(reply);
  SharedPtr<Request> request = open("/reset");
  request->send("", "");
  try {
    const std::string body = request->readAll();
    FAIL() << "read " << body.size() << " bytes";
  } catch (Request::ExceptionFailedRead e) {
    EXPECT_EQ(e.getReason(), "Failed read");
    EXPECT_EQ(e._object.get(), request.get());
  }
}

TEST_F(Requests, RefusedSendThrowsWithTheErrorCode) {
  const std::string url = "http://" + LoopbackHttpServer::unusedAddress() + "/x";
  SharedPtr<Connection> connection(new Connection(internet, url), true);
  SharedPtr<Request> request(new Request(connection, url, Request::GET, nullptr, nullptr, nullptr, 0), true);
  try {
    request->send("", "");
    FAIL();
  } catch (Request::ExceptionFailedSend e) {
    Request::ExceptionFailedSend copy = e;
    EXPECT_EQ(copy.getReason(), "Failed send");
    EXPECT_EQ(copy._object.get(), request.get());
    EXPECT_EQ(copy._errorCode, e._errorCode);
    EXPECT_NE(copy._errorCode, 0u);
    // The holder, the thrown exception, e and its copy.
    EXPECT_EQ(request->getUseCount(), 5u);
  }
  EXPECT_EQ(request->getUseCount(), 2u);
}

}  // namespace
