#include "host/serve/http_server.h"

#include <ws2tcpip.h>

#include "host/serve/tls_channel.h"

namespace VardokHost {

namespace {

struct WinsockUser {
  WinsockUser() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
};

std::string loopbackAddress(unsigned n) {
  // 127.0.x.y with y in 2..254, distinct per process and per server.
  const unsigned y = 2 + n % 253;
  const unsigned x = 1 + (n / 253) % 250;
  return "127.0." + std::to_string(x) + "." + std::to_string(y);
}

std::atomic<unsigned> g_serial{0};

}  // namespace

bool LoopbackHttpServer::listenOn(const std::string& address, int port) {
  static WinsockUser winsock;
  sockaddr_storage at{};
  int size = 0;
  const bool v6 = address.find(':') != std::string::npos;
  if (v6) {
    auto* at6 = reinterpret_cast<sockaddr_in6*>(&at);
    at6->sin6_family = AF_INET6;
    at6->sin6_port = htons(static_cast<u_short>(port));
    if (inet_pton(AF_INET6, address.c_str(), &at6->sin6_addr) != 1) return _error = "bad address " + address, false;
    size = sizeof(sockaddr_in6);
  } else {
    auto* at4 = reinterpret_cast<sockaddr_in*>(&at);
    at4->sin_family = AF_INET;
    at4->sin_port = htons(static_cast<u_short>(port));
    if (inet_pton(AF_INET, address.c_str(), &at4->sin_addr) != 1) return _error = "bad address " + address, false;
    size = sizeof(sockaddr_in);
  }
  SOCKET s = socket(at.ss_family, SOCK_STREAM, IPPROTO_TCP);
  if (s != INVALID_SOCKET && bind(s, reinterpret_cast<sockaddr*>(&at), size) == 0 && listen(s, 16) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&at), &size) == 0) {
    _listener = s;
    _address = address;
    _port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&at)->sin6_port : reinterpret_cast<sockaddr_in*>(&at)->sin_port);
    return true;
  }
  _error = "cannot listen on " + address + " port " + std::to_string(port) + " (error " +
           std::to_string(WSAGetLastError()) + ")";
  if (s != INVALID_SOCKET) closesocket(s);
  return false;
}

void LoopbackHttpServer::start() {
  setReply({response(200, "")});
  if (listening()) _thread = std::thread([this] { serve(); });
}

LoopbackHttpServer::LoopbackHttpServer() {
  for (int attempt = 0; attempt < 50; ++attempt)
    if (listenOn(loopbackAddress(GetCurrentProcessId() * 7 + g_serial++ * 101 + attempt * 13), 80)) break;
  start();
}

LoopbackHttpServer::LoopbackHttpServer(const std::string& address) {
  listenOn(address, 80);
  start();
}

LoopbackHttpServer::LoopbackHttpServer(const Options& options)
    : _keepRequests(options.keepRequests), _sendTimeoutMs(options.sendTimeoutMs) {
  if (!options.certificateFile.empty()) {
    _tls.reset(new TlsIdentity);
    if (!_tls->load(options.certificateFile, options.keyFile, &_error)) return;
  }
  if (options.address.empty()) {
    for (int attempt = 0; attempt < 50; ++attempt)
      if (listenOn(loopbackAddress(GetCurrentProcessId() * 7 + g_serial++ * 101 + attempt * 13), options.port)) break;
  } else {
    listenOn(options.address, options.port);
  }
  start();
}

std::string LoopbackHttpServer::url(const std::string& path) const {
  if (_tls) return "https://localhost" + (_port == 443 ? std::string() : ":" + std::to_string(_port)) + path;
  const std::string host = _address.find(':') != std::string::npos ? "[" + _address + "]" : _address;
  return "http://" + host + (_port == 80 ? std::string() : ":" + std::to_string(_port)) + path;
}

LoopbackHttpServer::~LoopbackHttpServer() {
  _stopping = true;
  if (_listener != INVALID_SOCKET) closesocket(_listener);
  if (_thread.joinable()) _thread.join();
}

std::string LoopbackHttpServer::unusedAddress() {
  return loopbackAddress(GetCurrentProcessId() * 7 + 100000 + g_serial++);
}

void LoopbackHttpServer::setReply(const Reply& reply) {
  setHandler([reply](const std::string&) { return reply; });
}

void LoopbackHttpServer::setHandler(Handler handler) {
  std::lock_guard<std::mutex> guard(_lock);
  _handler = std::move(handler);
}

std::vector<std::string> LoopbackHttpServer::requests() const {
  std::lock_guard<std::mutex> guard(_lock);
  return _requests;
}

std::string LoopbackHttpServer::response(int status, const std::string& body, const std::vector<std::string>& headers) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Status") + "\r\n";
  for (const std::string& header : headers) out += header + "\r\n";
  out += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  return out + body;
}

void LoopbackHttpServer::serve() {
  while (!_stopping) {
    SOCKET client = accept(_listener, nullptr, nullptr);
    if (client == INVALID_SOCKET) break;
    answer(client);
  }
}

void LoopbackHttpServer::answer(SOCKET client) {
  const DWORD timeoutMs = 3000;
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
  if (_sendTimeoutMs)
    setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&_sendTimeoutMs), sizeof _sendTimeoutMs);
  std::unique_ptr<TlsSession> tls;
  if (_tls) {
    tls.reset(new TlsSession(*_tls, client));
    // A client that does not trust the certificate gives up here.
    if (!tls->handshake()) {
      closesocket(client);
      return;
    }
  }
  const auto receive = [&](char* buffer, int size) { return tls ? tls->read(buffer, size) : recv(client, buffer, size, 0); };

  std::string head;
  char buffer[1024];
  // A request's head, at most 64 KiB of it.
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
    const int got = receive(buffer, sizeof buffer);
    if (got <= 0) break;
    head.append(buffer, got);
  }
  Reply reply;
  {
    std::lock_guard<std::mutex> guard(_lock);
    if (_keepRequests) _requests.push_back(head);
    reply = _handler(head);
  }
  if (reply.stallMs) Sleep(reply.stallMs);
  const std::string bytes = reply.bytes.substr(0, reply.sendOnly);
  if (tls) {
    tls->write(bytes.data(), bytes.size());
  } else {
    for (size_t sent = 0; sent < bytes.size();) {
      const int n = send(client, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
      if (n <= 0) break;
      sent += n;
    }
  }
  if (reply.reset) {
    Sleep(50);  // let what was sent arrive first
    linger abort{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    closesocket(client);
    return;
  }
  // A cut-short reply ends without the closing alert, as a broken
  // connection would.
  if (tls && reply.sendOnly >= reply.bytes.size()) tls->close();
  shutdown(client, SD_SEND);
  // Let the client read everything before the socket goes (reading at
  // most 1 MiB more of what it sends meanwhile).
  for (int read = 0; read < 1024 && recv(client, buffer, sizeof buffer, 0) > 0; ++read) {
  }
  closesocket(client);
}

}  // namespace VardokHost
