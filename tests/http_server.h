// A small scripted HTTP server over Winsock for the tests: it listens on a
// loopback address of its own at port 80 (the client always uses port 80)
// and answers each connection with the reply its handler gives.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <winsock2.h>

namespace VardokTest {

class TestHttpServer {
 public:
  struct Reply {
    std::string bytes;                      // status line, headers, body, as sent
    size_t sendOnly = std::string::npos;    // close after this many bytes
    DWORD stallMs = 0;                      // wait this long before answering
  };
  using Handler = std::function<Reply(const std::string& requestHead)>;

  TestHttpServer();
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  bool listening() const { return _listener != INVALID_SOCKET; }
  // "127.0.x.y"
  const std::string& address() const { return _address; }
  std::string url(const std::string& path) const { return "http://" + _address + path; }

  void setReply(const Reply& reply);
  void setHandler(Handler handler);
  std::vector<std::string> requests() const;

  // A complete response with Content-Length and Connection: close.
  static std::string response(int status, const std::string& body, const std::vector<std::string>& headers = {});
  // A loopback address where nothing listens.
  static std::string unusedAddress();

 private:
  void serve();
  void answer(SOCKET client);

  std::string _address;
  SOCKET _listener = INVALID_SOCKET;
  std::thread _thread;
  std::atomic<bool> _stopping{false};
  mutable std::mutex _lock;
  Handler _handler;
  std::vector<std::string> _requests;
};

}  // namespace VardokTest
