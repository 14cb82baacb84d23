#include "support/internet/internet.h"

#include <algorithm>

#include "support/internet/url.h"

namespace Quorlin {

// --- Connection ---

Connection::Connection(const SharedPtr<Internet>& internet, const std::string& url) {
  HttpUrl parts;
  std::string refusal;
  if (!splitHttpUrl(url, &parts, &refusal)) throw ExceptionBadUrl(refusal);
  _server = std::move(parts.host);
  _port = parts.port;
  _secure = parts.secure;
  _user = std::move(parts.user);
  _password = std::move(parts.password);
  _internet = internet;
}

void Connection::connect() {
  if (_handle) return;
  _handle.reset(InternetConnectA(_internet ? _internet->getHandle() : nullptr, _server.c_str(),
                                 static_cast<INTERNET_PORT>(_port), _user.empty() ? nullptr : _user.c_str(),
                                 _password.empty() ? nullptr : _password.c_str(), INTERNET_SERVICE_HTTP, 0, 1));
  if (!_handle) throw ExceptionCantConnect(SharedPtr<Connection>(this, true));
}

HINTERNET Connection::getHandle() {
  connect();
  return _handle.get();
}

// --- Request ---

const char* Request::methodText(int32_t type) {
  switch (type) {
    case POST: return "POST";
    case HEAD: return "HEAD";
    default: return "GET";
  }
}

Request::Request(const SharedPtr<Connection>& connection, const std::string& url, RequestType type,
                 const char* version, const char* referrer, const char** acceptTypes, uint32_t flags)
    : _type(type), _uri(Quorlin::objectPath(url)), _connection(connection) {
  const char* object = _uri.empty() ? "/" : _uri.c_str();
  if (_connection->secure()) flags |= INTERNET_FLAG_SECURE;
  _handle.reset(HttpOpenRequestA(_connection->getHandle(), methodText(_type), object, version, referrer,
                                 acceptTypes, flags, 1));
  if (!_handle) throw ExceptionBadRequest();
}

bool Request::sendRequest(const std::string& headers, const std::string& body) {
  return HttpSendRequestA(_handle.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                          const_cast<char*>(body.data()), static_cast<DWORD>(body.size())) != FALSE;
}

void Request::send(const std::string& headers, const std::string& body) {
  if (sendRequest(headers, body)) return;
  const DWORD error = GetLastError();
  throw ExceptionFailedSend(SharedPtr<Request>(this, true), error);
}

int Request::readChunk(char* buffer, int maximum) {
  DWORD read = 0;
  if (!InternetReadFile(_handle.get(), buffer, static_cast<DWORD>(maximum), &read)) return -1;
  return static_cast<int>(read);
}

std::string Request::readAll(size_t keep, uint64_t* received, std::atomic<uint64_t>* progress) {
  std::string response;
  if (received) *received = 0;
  char buffer[501];
  for (;;) {
    const int read = readChunk(buffer, 500);
    if (read < 0) throw ExceptionFailedRead(SharedPtr<Request>(this, true));
    if (read == 0) return response;
    if (received) *received += static_cast<uint64_t>(read);
    if (progress) progress->fetch_add(static_cast<uint64_t>(read), std::memory_order_relaxed);
    buffer[read] = '\0';
    if (response.size() < keep) response.append(buffer, std::min<size_t>(read, keep - response.size()));
  }
}

std::string Request::queryInfo(uint32_t level, uint32_t size, const std::string& seed) {
  std::string buffer = seed;
  buffer.resize(size + 1, '\0');
  buffer[size] = '\0';
  DWORD length = size;
  if (HttpQueryInfoA(_handle.get(), level, &buffer[0], &length, nullptr)) {
    buffer.resize(std::min<size_t>(length, size));
    return buffer;
  }
  // Too small: ask again with the length the platform needs. The seed
  // goes along, since for a custom header it is the header's name.
  if (GetLastError() == ERROR_INSUFFICIENT_BUFFER && length + 1 > size) return queryInfo(level, length + 1, seed);
  return std::string();
}

}  // namespace Quorlin
