// A small scripted HTTP server over Winsock: it listens on a loopback
// address (by default one of its own at port 80) and answers each
// connection with the reply its handler gives, in plain HTTP or, given a
// certificate and key, over TLS. The tests script it per case; the console
// host serves its demo status page with it.
//
// Its own thread answers the connections one at a time; the handler runs
// there. setReply/setHandler/requests may be called from any thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <winsock2.h>

namespace VardokHost {

class TlsIdentity;

class LoopbackHttpServer {
 public:
  struct Options {
    std::string address;          // empty: one of its own in 127.0.x.y; "::1" listens on IPv6
    int port = 80;                // 0: any free port
    std::string certificateFile;  // PEM; with keyFile, the server speaks HTTPS
    std::string keyFile;
    bool keepRequests = true;     // for requests(); a long-running server keeps none
    DWORD sendTimeoutMs = 0;      // a client that stops reading is dropped after this (0: never)
  };
  struct Reply {
    std::string bytes;                      // status line, headers, body, as sent
    size_t sendOnly = std::string::npos;    // close after this many bytes
    DWORD stallMs = 0;                      // wait this long before answering
    bool reset = false;                     // after sending, drop the connection with a reset
  };
  using Handler = std::function<Reply(const std::string& requestHead)>;

  // Listens on an address of its own in 127.0.x.y.
  LoopbackHttpServer();
  // Listens on the given loopback address at port 80.
  explicit LoopbackHttpServer(const std::string& address);
  explicit LoopbackHttpServer(const Options& options);
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  bool listening() const { return _listener != INVALID_SOCKET; }
  // Why the server is not listening.
  const std::string& error() const { return _error; }
  // "127.0.x.y"
  const std::string& address() const { return _address; }
  int port() const { return _port; }
  bool secure() const { return _tls != nullptr; }
  // The URL of path on this server: "http://127.0.x.y/path", with the port
  // when it is not 80 and the address in brackets for IPv6; for HTTPS,
  // "https://localhost:PORT/path", the name its certificate is made for.
  std::string url(const std::string& path) const;

  void setReply(const Reply& reply);
  void setHandler(Handler handler);
  std::vector<std::string> requests() const;

  // A complete response with Content-Length and Connection: close.
  static std::string response(int status, const std::string& body, const std::vector<std::string>& headers = {});
  // A loopback address where nothing listens.
  static std::string unusedAddress();

 private:
  bool listenOn(const std::string& address, int port);
  void start();
  void serve();
  void answer(SOCKET client);

  std::string _address;
  int _port = 80;
  std::string _error;
  std::unique_ptr<TlsIdentity> _tls;
  SOCKET _listener = INVALID_SOCKET;
  std::thread _thread;
  std::atomic<bool> _stopping{false};
  mutable std::mutex _lock;
  Handler _handler;
  bool _keepRequests = true;
  DWORD _sendTimeoutMs = 0;
  std::vector<std::string> _requests;
};

}  // namespace VardokHost
