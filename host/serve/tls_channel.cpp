#include "host/serve/tls_channel.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

namespace VardokHost {

struct TlsIdentity::State {
  mbedtls_entropy_context entropy;
  mbedtls_ctr_drbg_context random;
  mbedtls_x509_crt certificate;
  mbedtls_pk_context key;
  mbedtls_ssl_config config;

  State() {
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&random);
    mbedtls_x509_crt_init(&certificate);
    mbedtls_pk_init(&key);
    mbedtls_ssl_config_init(&config);
  }
  ~State() {
    mbedtls_ssl_config_free(&config);
    mbedtls_pk_free(&key);
    mbedtls_x509_crt_free(&certificate);
    mbedtls_ctr_drbg_free(&random);
    mbedtls_entropy_free(&entropy);
  }
};

namespace {

std::string describe(const char* what, int code) {
  char text[160];
  mbedtls_strerror(code, text, sizeof text);
  return std::string(what) + ": " + text;
}

int sendTo(void* context, const unsigned char* bytes, size_t size) {
  const int sent = send(*static_cast<SOCKET*>(context), reinterpret_cast<const char*>(bytes), static_cast<int>(size), 0);
  return sent < 0 ? MBEDTLS_ERR_NET_SEND_FAILED : sent;
}

int receiveFrom(void* context, unsigned char* bytes, size_t size) {
  const int got = recv(*static_cast<SOCKET*>(context), reinterpret_cast<char*>(bytes), static_cast<int>(size), 0);
  return got < 0 ? MBEDTLS_ERR_NET_RECV_FAILED : got;
}

}  // namespace

TlsIdentity::TlsIdentity() : _state(new State) {}
TlsIdentity::~TlsIdentity() = default;

bool TlsIdentity::load(const std::string& certificateFile, const std::string& keyFile, std::string* error) {
  State& s = *_state;
  static const char kPersonal[] = "vardok loopback server";
  int code = mbedtls_ctr_drbg_seed(&s.random, mbedtls_entropy_func, &s.entropy,
                                   reinterpret_cast<const unsigned char*>(kPersonal), sizeof kPersonal - 1);
  if (code != 0) return *error = describe("random", code), false;
  if ((code = mbedtls_x509_crt_parse_file(&s.certificate, certificateFile.c_str())) != 0)
    return *error = describe(certificateFile.c_str(), code), false;
  if ((code = mbedtls_pk_parse_keyfile(&s.key, keyFile.c_str(), nullptr)) != 0)
    return *error = describe(keyFile.c_str(), code), false;
  if ((code = mbedtls_ssl_config_defaults(&s.config, MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM,
                                          MBEDTLS_SSL_PRESET_DEFAULT)) != 0)
    return *error = describe("configuration", code), false;
  mbedtls_ssl_conf_rng(&s.config, mbedtls_ctr_drbg_random, &s.random);
  if ((code = mbedtls_ssl_conf_own_cert(&s.config, &s.certificate, &s.key)) != 0)
    return *error = describe("certificate", code), false;
  return true;
}

struct TlsSession::State {
  SOCKET socket;
  mbedtls_ssl_context ssl;
  explicit State(SOCKET s) : socket(s) { mbedtls_ssl_init(&ssl); }
  ~State() { mbedtls_ssl_free(&ssl); }
};

TlsSession::TlsSession(TlsIdentity& identity, SOCKET socket) : _state(new State(socket)) {
  mbedtls_ssl_setup(&_state->ssl, &identity._state->config);
  mbedtls_ssl_set_bio(&_state->ssl, &_state->socket, sendTo, receiveFrom, nullptr);
}

TlsSession::~TlsSession() = default;

bool TlsSession::handshake() {
  for (;;) {
    const int code = mbedtls_ssl_handshake(&_state->ssl);
    if (code == 0) return true;
    if (code != MBEDTLS_ERR_SSL_WANT_READ && code != MBEDTLS_ERR_SSL_WANT_WRITE) return false;
  }
}

int TlsSession::read(char* buffer, int size) {
  for (;;) {
    const int got = mbedtls_ssl_read(&_state->ssl, reinterpret_cast<unsigned char*>(buffer), static_cast<size_t>(size));
    if (got >= 0) return got;
    if (got == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) return 0;
    if (got != MBEDTLS_ERR_SSL_WANT_READ && got != MBEDTLS_ERR_SSL_WANT_WRITE) return -1;
  }
}

bool TlsSession::write(const char* bytes, size_t size) {
  for (size_t done = 0; done < size;) {
    const int sent = mbedtls_ssl_write(&_state->ssl, reinterpret_cast<const unsigned char*>(bytes) + done, size - done);
    if (sent == MBEDTLS_ERR_SSL_WANT_READ || sent == MBEDTLS_ERR_SSL_WANT_WRITE) continue;
    if (sent <= 0) return false;
    done += static_cast<size_t>(sent);
  }
  return true;
}

void TlsSession::close() { mbedtls_ssl_close_notify(&_state->ssl); }

}  // namespace VardokHost
