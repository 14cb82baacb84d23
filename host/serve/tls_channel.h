// The server side of TLS for the loopback HTTP server, over mbed TLS: an
// identity (certificate and key, loaded once) and one session per accepted
// connection. Used by the server's own thread only.
#pragma once

#include <memory>
#include <string>

#include <winsock2.h>

namespace VardokHost {

class TlsIdentity {
 public:
  TlsIdentity();
  ~TlsIdentity();
  TlsIdentity(const TlsIdentity&) = delete;
  TlsIdentity& operator=(const TlsIdentity&) = delete;

  // Reads a PEM certificate (chain) and its private key. On failure says
  // why in *error.
  bool load(const std::string& certificateFile, const std::string& keyFile, std::string* error);

 private:
  friend class TlsSession;
  struct State;
  std::unique_ptr<State> _state;
};

// One connection: handshake, then reads and writes of plain bytes.
class TlsSession {
 public:
  TlsSession(TlsIdentity& identity, SOCKET socket);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // False when the client gives up (for one, because it does not trust
  // the certificate) or the connection breaks.
  bool handshake();
  // Bytes read, 0 at the end, -1 on failure.
  int read(char* buffer, int size);
  bool write(const char* bytes, size_t size);
  // Sends the closing alert.
  void close();

 private:
  struct State;
  std::unique_ptr<State> _state;
};

}  // namespace VardokHost
