#include "host/lib/http_server.h"

#include <ws2tcpip.h>

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

bool LoopbackHttpServer::listenOn(const std::string& address) {
  static WinsockUser winsock;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(80);
  if (inet_pton(AF_INET, address.c_str(), &at.sin_addr) == 1 &&
      bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 && listen(s, 16) == 0) {
    _listener = s;
    _address = address;
    return true;
  }
  closesocket(s);
  return false;
}

LoopbackHttpServer::LoopbackHttpServer() {
  for (int attempt = 0; attempt < 50; ++attempt)
    if (listenOn(loopbackAddress(GetCurrentProcessId() * 7 + g_serial++ * 101 + attempt * 13))) break;
  setReply({response(200, "")});
  if (listening()) _thread = std::thread([this] { serve(); });
}

LoopbackHttpServer::LoopbackHttpServer(const std::string& address) {
  listenOn(address);
  setReply({response(200, "")});
  if (listening()) _thread = std::thread([this] { serve(); });
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
  std::string head;
  char buffer[1024];
  while (head.find("\r\n\r\n") == std::string::npos) {
    const int got = recv(client, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    head.append(buffer, got);
  }
  Reply reply;
  {
    std::lock_guard<std::mutex> guard(_lock);
    _requests.push_back(head);
    reply = _handler(head);
  }
  if (reply.stallMs) Sleep(reply.stallMs);
  const std::string bytes = reply.bytes.substr(0, reply.sendOnly);
  for (size_t sent = 0; sent < bytes.size();) {
    const int n = send(client, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
    if (n <= 0) break;
    sent += n;
  }
  if (reply.reset) {
    Sleep(50);  // let what was sent arrive first
    linger abort{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    closesocket(client);
    return;
  }
  shutdown(client, SD_SEND);
  // Let the client read everything before the socket goes.
  while (recv(client, buffer, sizeof buffer, 0) > 0) {
  }
  closesocket(client);
}

}  // namespace VardokHost
