// A small scripted HTTP server over Winsock: it listens on a loopback
// address at port 80 (the HTTP check always uses port 80) and answers each
// connection with the reply its handler gives. The tests script it per
// case; the console host serves its demo status page with it.
//
// Its own thread answers the connections one at a time; the handler runs
// there. setReply/setHandler/requests may be called from any thread.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <winsock2.h>

namespace VardokHost {

class LoopbackHttpServer {
 public:
  struct Reply {
    std::string bytes;                      // status line, headers, body, as sent
    size_t sendOnly = std::string::npos;    // close after this many bytes
    DWORD stallMs = 0;                      // wait this long before answering
    bool reset = false;                     // after sending, drop the connection with a reset
  };
  using Handler = std::function<Reply(const std::string& requestHead)>;

  // Listens on an address of its own in 127.0.x.y.
  LoopbackHttpServer();
  // Listens on the given loopback address.
  explicit LoopbackHttpServer(const std::string& address);
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

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
  bool listenOn(const std::string& address);
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

}  // namespace VardokHost
