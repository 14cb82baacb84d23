// cert HOST[:PORT] [--warn DAYS] [--crit DAYS] [--name NAME] [--timeout MS]:
// the certificate a TLS server shows, read with a handshake of its own (any
// TLS service, not only web pages): the days until it expires, its subject
// and issuer. An expired, untrusted or wrongly named certificate is
// critical with the reason.
#include <winsock2.h>
#include <windows.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "tools/check/certificate.h"
#include "tools/check/checks.h"
#include "tools/check/command_line.h"
#include "tools/check/error_words.h"
#include "tools/check/network.h"
#include "tools/check/remote_text.h"

namespace VardokCheck {

CertificateFacts certificateFacts(PCCERT_CONTEXT certificate) {
  CertificateFacts facts;
  // The names are the server's words: shown through remoteText.
  char name[256] = "";
  CertGetNameStringA(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, sizeof name);
  facts.subject = remoteText(name, 100);
  CertGetNameStringA(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, nullptr, name, sizeof name);
  facts.issuer = remoteText(name, 100);
  const FILETIME expiry = certificate->pCertInfo->NotAfter;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const auto ticks = [](const FILETIME& t) {
    return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  constexpr int64_t kTicksPerDay = 864000000000LL;  // 100 ns ticks
  const int64_t left = ticks(expiry) - ticks(now);
  // Whole days, rounded down: a certificate with 6.9 days left has 6.
  facts.daysLeft = left >= 0 ? left / kTicksPerDay : -((-left + kTicksPerDay - 1) / kTicksPerDay);
  const auto dayText = [](const FILETIME& time) {
    SYSTEMTIME day;
    FileTimeToSystemTime(&time, &day);
    char date[16];
    snprintf(date, sizeof date, "%04u-%02u-%02u", day.wYear, day.wMonth, day.wDay);
    return std::string(date);
  };
  facts.expires = dayText(expiry);
  facts.validFrom = dayText(certificate->pCertInfo->NotBefore);
  facts.notYetValid = ticks(certificate->pCertInfo->NotBefore) > ticks(now);
  return facts;
}

Level judgeDaysLeft(int64_t daysLeft, int64_t warn, int64_t crit) {
  if (crit >= 0 && daysLeft < crit) return Level::Critical;
  if (warn >= 0 && daysLeft < warn) return Level::Problem;
  return Level::Well;
}

void readDayLimits(const std::string& option, const std::string& text, int64_t* warn, int64_t* crit) {
  const size_t comma = text.find(',');
  const std::string warnText = text.substr(0, comma);
  const std::string critText = comma == std::string::npos ? std::string() : text.substr(comma + 1);
  const auto days = [&](const std::string& part) {
    if (part.empty() || part.size() > 5 || part.find_first_not_of("0123456789") != std::string::npos)
      throw UsageError(option + " needs WARN[,CRIT] in days such as 30,7, not \"" + text + "\"");
    return static_cast<int64_t>(std::stol(part));
  };
  *warn = days(warnText);
  *crit = critText.empty() && comma == std::string::npos ? -1 : days(critText);
  if (*crit > *warn) throw UsageError(option + ": the critical days must not be above the warning days");
}

namespace {

// Credentials and a context of Schannel, given back at the end of a scope.
struct TlsClient {
  CredHandle credentials{};
  CtxtHandle context{};
  bool haveCredentials = false, haveContext = false;
  ~TlsClient() {
    if (haveContext) DeleteSecurityContext(&context);
    if (haveCredentials) FreeCredentialsHandle(&credentials);
  }
};

bool sendAll(SOCKET s, const char* data, size_t size, int64_t deadline) {
  for (size_t sent = 0; sent < size;) {
    const int n = send(s, data + sent, static_cast<int>(size - sent), 0);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK ||
        !waitForSocket(s, true, deadline - static_cast<int64_t>(nowMs())))
      return false;
  }
  return true;
}

// A TLS handshake on s for name, within the deadline (nowMs). The server's
// certificate, or null with the reason in *failure. The certificate is not
// judged here: the handshake asks for it to be left to the caller.
PCCERT_CONTEXT handshake(SOCKET s, const std::string& name, int64_t deadline, std::string* failure) {
  TlsClient tls;
  SCHANNEL_CRED settings{};
  settings.dwVersion = SCHANNEL_CRED_VERSION;
  settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  SECURITY_STATUS status =
      AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr, &settings,
                                nullptr, nullptr, &tls.credentials, nullptr);
  if (status != SEC_E_OK) {
    *failure = "TLS not available: " + errorWords(static_cast<uint32_t>(status));
    return nullptr;
  }
  tls.haveCredentials = true;
  const DWORD wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                       ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                       ISC_REQ_MANUAL_CRED_VALIDATION;
  std::string received;  // what the server sent that the handshake has not taken yet
  bool needMore = false;
  for (;;) {
    if (needMore) {
      if (!waitForSocket(s, false, deadline - static_cast<int64_t>(nowMs()))) {
        // Bytes that never make a whole TLS message are most likely not TLS.
        *failure = received.empty() ? "no TLS answer in time"
                                    : "no whole TLS answer in time (" + std::to_string(received.size()) +
                                          " bytes came that are not TLS, or not all of it)";
        return nullptr;
      }
      char buffer[16384];
      const int n = recv(s, buffer, sizeof buffer, 0);
      if (n <= 0) {
        *failure = "the server closed the connection during the TLS handshake";
        return nullptr;
      }
      received.append(buffer, static_cast<size_t>(n));
    }
    SecBuffer input[2] = {{static_cast<ULONG>(received.size()), SECBUFFER_TOKEN, &received[0]},
                          {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inputDescription{SECBUFFER_VERSION, 2, input};
    SecBuffer output{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outputDescription{SECBUFFER_VERSION, 1, &output};
    ULONG granted = 0;
    status = InitializeSecurityContextA(&tls.credentials, tls.haveContext ? &tls.context : nullptr,
                                        const_cast<char*>(name.c_str()), wanted, 0, 0,
                                        tls.haveContext ? &inputDescription : nullptr, 0, &tls.context,
                                        &outputDescription, &granted, nullptr);
    tls.haveContext = true;
    if (output.pvBuffer) {
      const bool sent = output.cbBuffer == 0 ||
                        sendAll(s, static_cast<const char*>(output.pvBuffer), output.cbBuffer, deadline);
      FreeContextBuffer(output.pvBuffer);
      if (!sent) {
        *failure = "the TLS handshake could not be sent";
        return nullptr;
      }
    }
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      needMore = true;
      continue;
    }
    if (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK) {
      // What the step did not take is the start of the next.
      if (input[1].BufferType == SECBUFFER_EXTRA && input[1].cbBuffer > 0)
        received.erase(0, received.size() - input[1].cbBuffer);
      else
        received.clear();
      if (status == SEC_E_OK) break;
      needMore = received.empty();
      continue;
    }
    *failure = "TLS handshake failed: " + errorWords(static_cast<uint32_t>(status));
    return nullptr;
  }
  PCCERT_CONTEXT certificate = nullptr;
  status = QueryContextAttributesA(&tls.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
  if (status != SEC_E_OK || !certificate) {
    *failure = "the server showed no certificate";
    return nullptr;
  }
  return certificate;
}

// Why the certificate is not one to trust for name: empty when it is.
std::string distrust(PCCERT_CONTEXT certificate, const std::string& name) {
  CERT_CHAIN_PARA chainSettings{};
  chainSettings.cbSize = sizeof chainSettings;
  LPSTR serverUse = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
  chainSettings.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  chainSettings.RequestedUsage.Usage.cUsageIdentifier = 1;
  chainSettings.RequestedUsage.Usage.rgpszUsageIdentifier = &serverUse;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  // Only what is here: a certificate naming addresses of missing issuers
  // must not send the check fetching past its limit.
  if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainSettings,
                               CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, &chain))
    return "its chain cannot be built: " + errorWords(GetLastError());
  std::wstring wideName(name.begin(), name.end());
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.pwszServerName = &wideName[0];
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS verdict{};
  verdict.cbSize = sizeof verdict;
  const BOOL checked = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict);
  CertFreeCertificateChain(chain);
  if (!checked) return "it cannot be checked: " + errorWords(GetLastError());
  switch (static_cast<HRESULT>(verdict.dwError)) {
    case S_OK:
      return std::string();
    case CERT_E_EXPIRED:
      return "expired";
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_CHAINING:
      return "untrusted issuer";
    case CERT_E_CN_NO_MATCH:
      return "issued for another name";
    case CERT_E_REVOKED:
      return "revoked";
    default:
      return errorWords(verdict.dwError);
  }
}

}  // namespace

Outcome checkCert(const Args& args) {
  const Arguments arguments(args, {"--warn", "--crit", "--name", "--timeout"}, {"host"});
  if (arguments.positional().size() != 1) throw UsageError("needs one HOST[:PORT]");
  // HOST, HOST:PORT, [IPv6]:PORT or a bare IPv6 address; 443 when no port
  // is given.
  std::string host = arguments.positional()[0], port = "443";
  if (host.front() == '[') {
    const size_t close = host.find(']');
    if (close == std::string::npos || (close + 1 < host.size() && host[close + 1] != ':'))
      throw UsageError("needs HOST[:PORT], not \"" + host + "\"");
    if (close + 1 < host.size()) port = host.substr(close + 2);
    host = host.substr(1, close - 1);
  } else if (host.find(':') != std::string::npos && host.find(':') == host.rfind(':')) {
    port = host.substr(host.find(':') + 1);
    host = host.substr(0, host.find(':'));
  }
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(port) < 1 || std::stoi(port) > 65535)
    throw UsageError("the port must be a number from 1 to 65535, not \"" + port + "\"");
  if (host.empty()) throw UsageError("the host is missing");
  const int64_t warn = arguments.number("--warn", 0, 100000, false, 30);
  const int64_t crit = arguments.number("--crit", 0, 100000, false, 7);
  if (crit > warn) throw UsageError("--crit must not be above --warn: fewer days left is worse");
  const std::string name = arguments.text("--name", host);
  const int64_t timeout = arguments.number("--timeout", 1, 3600000, false, kNetworkTimeoutMs);
  const std::string target = host + ":" + port;

  const Winsock winsock;
  const int64_t deadline = static_cast<int64_t>(nowMs()) + timeout;
  SOCKET s = INVALID_SOCKET;
  const int error = connectTo(host, port, timeout, &s);
  if (error != 0) {
    const std::string failure = connectFailureText(error, timeout);
    return {Level::Critical, "Certificate of " + target + ": " + failure, failure};
  }
  std::string failure;
  PCCERT_CONTEXT certificate = handshake(s, name, deadline, &failure);
  closesocket(s);
  if (!certificate) return {Level::Critical, "Certificate of " + target + ": " + failure, failure};
  const CertificateFacts facts = certificateFacts(certificate);
  const std::string why = distrust(certificate, name);
  CertFreeCertificateContext(certificate);

  const std::string about = " (" + facts.subject + ", issued by " + facts.issuer + ")";
  Outcome outcome;
  outcome.perfdata = perfItem("days", std::to_string(facts.daysLeft), "", static_cast<double>(warn),
                              static_cast<double>(crit));
  // Not yet valid is not expired: the platform calls both CERT_E_EXPIRED.
  if (facts.notYetValid) {
    outcome.level = Level::Critical;
    outcome.line = "Certificate of " + target + " is not valid before " + facts.validFrom + about;
    outcome.info = "Certificate: not valid before " + facts.validFrom;
    return outcome;
  }
  if (facts.daysLeft < 0 || why == "expired") {
    outcome.level = Level::Critical;
    outcome.line = "Certificate of " + target + " expired on " + facts.expires + about;
    outcome.info = "Certificate: expired";
    return outcome;
  }
  if (!why.empty()) {
    outcome.level = Level::Critical;
    outcome.line = "Certificate of " + target + ": " + why + about;
    outcome.info = "Certificate: " + why;
    return outcome;
  }
  outcome.level = judgeDaysLeft(facts.daysLeft, warn, crit);
  outcome.line = "Certificate of " + target + " expires in " + countText(facts.daysLeft, "day") + ", on " +
                 facts.expires + about;
  if (outcome.level == Level::Critical) outcome.line += " (critical below " + countText(crit, "day") + ")";
  if (outcome.level == Level::Problem) outcome.line += " (warning below " + countText(warn, "day") + ")";
  outcome.info = "cert " + countText(facts.daysLeft, "day") + " left";
  return outcome;
}

}  // namespace VardokCheck
