// The internet client over WinINet: a session (Internet), a connection to
// one HTTP server (Connection) and one request on it (Request), each a
// use-counted SharedObject that holds its parent through SharedPtr, so
// handles close in the order request, connection, session whatever order
// their holders let go.
//
// Threads: each object is used by one thread at a time; only the use
// counts are safe to share.
#pragma once

#include <cstdint>
#include <atomic>
#include <string>

#include <windows.h>
#include <wininet.h>

#include "support/exception.h"
#include "support/objectimpl/object.h"
#include "support/threads/unique_handle.h"

namespace Quorlin {

struct InternetHandleTraits {
  using Type = HINTERNET;
  static Type invalid() noexcept { return nullptr; }
  static void close(Type handle) noexcept { InternetCloseHandle(handle); }
};
using InternetHandle = UniqueHandle<InternetHandleTraits>;

// An internet session. Takes ownership of the handle (which may be null).
class Internet : public SharedObject {
 public:
  explicit Internet(HINTERNET handle) : _handle(handle) {}
  HINTERNET getHandle() const { return _handle.get(); }

 protected:
  ~Internet() override = default;

 private:
  InternetHandle _handle;
};

// The connection to the server of one "http://" or "https://" URL: its
// host, port and credentials (sent by WinINet as basic authentication when
// the server asks). Opened by its first request and kept for the next ones.
class Connection : public SharedObject {
 public:
  class ExceptionBadUrl : public ExceptionInternet {
   public:
    using ExceptionInternet::ExceptionInternet;
  };
  class ExceptionCantConnect : public ExceptionInternet {
   public:
    explicit ExceptionCantConnect(SharedPtr<Connection> object)
        : ExceptionInternet("Can't connect"), _object(std::move(object)) {}
    SharedPtr<Connection> _object;
  };

  // Splits url (see splitHttpUrl). Throws ExceptionBadUrl with the
  // refusal ("Protocol: " + the lower-cased URL for any other scheme, "Bad
  // port", "Bad host"). Opens nothing.
  Connection(const SharedPtr<Internet>& internet, const std::string& url);

  // Opens the connection unless it is open. Throws ExceptionCantConnect;
  // a later call tries again.
  void connect();
  // connect(), then the handle.
  HINTERNET getHandle();

  const std::string& server() const { return _server; }
  int port() const { return _port; }
  bool secure() const { return _secure; }
  bool sameCredentials(const Connection& other) const {
    return _user == other._user && _password == other._password;
  }

 protected:
  ~Connection() override = default;

 private:
  std::string _server;
  int _port = INTERNET_DEFAULT_HTTP_PORT;
  bool _secure = false;
  std::string _user;
  std::string _password;
  SharedPtr<Internet> _internet;
  InternetHandle _handle;  // declared last: closed before the session goes
};

// One HTTP request, open from construction on.
class Request : public SharedObject {
 public:
  enum RequestType : int32_t { GET = 0, POST = 1, HEAD = 2 };

  class ExceptionBadRequest : public ExceptionInternet {
   public:
    ExceptionBadRequest() : ExceptionInternet(std::string()) {}
  };
  class ExceptionRequest : public ExceptionInternet {
   public:
    ExceptionRequest(const std::string& message, SharedPtr<Request> object)
        : ExceptionInternet(message), _object(std::move(object)) {}
    SharedPtr<Request> _object;
  };
  class ExceptionFailedSend : public ExceptionRequest {
   public:
    ExceptionFailedSend(SharedPtr<Request> object, uint32_t errorCode)
        : ExceptionRequest("Failed send", std::move(object)), _errorCode(errorCode) {}
    uint32_t _errorCode;
  };
  class ExceptionFailedRead : public ExceptionRequest {
   public:
    explicit ExceptionFailedRead(SharedPtr<Request> object) : ExceptionRequest("Failed read", std::move(object)) {}
  };

  // The object path is url's path and query ("/" when it has none). A
  // request on a secure connection adds INTERNET_FLAG_SECURE to flags, so
  // WinINet checks the server's certificate. Opening the request opens the
  // connection first. Throws ExceptionBadRequest, or ExceptionCantConnect
  // from the connection.
  Request(const SharedPtr<Connection>& connection, const std::string& url, RequestType type,
          const char* version, const char* referrer, const char** acceptTypes, uint32_t flags);

  // Throws ExceptionFailedSend with the platform's error code.
  void send(const std::string& headers, const std::string& body);
  bool sendRequest(const std::string& headers, const std::string& body);
  // The whole body, read in chunks of at most 500 bytes; bytes past keep
  // are read and dropped, and *received (when given) counts them all, as
  // does *progress while they arrive (for a reader on another thread).
  // Throws ExceptionFailedRead (nothing is returned of what was read).
  std::string readAll(size_t keep = static_cast<size_t>(-1), uint64_t* received = nullptr,
                      std::atomic<uint64_t>* progress = nullptr);
  // Bytes read, 0 at the end of the body, -1 on failure.
  int readChunk(char* buffer, int maximum);
  // One answer of HttpQueryInfoA, empty on failure. For HTTP_QUERY_CUSTOM
  // the seed is the header's name; a value that does not fit size is asked
  // for again with the length the platform reports, seed kept.
  std::string queryInfo(uint32_t level, uint32_t size, const std::string& seed);

  const std::string& objectPath() const { return _uri; }
  HINTERNET getHandle() const { return _handle.get(); }
  static const char* methodText(int32_t type);

 protected:
  ~Request() override = default;

 private:
  RequestType _type;
  std::string _uri;
  SharedPtr<Connection> _connection;
  InternetHandle _handle;  // declared last: closed before the connection goes
};

}  // namespace Quorlin
