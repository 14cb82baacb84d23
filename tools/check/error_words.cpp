#include "tools/check/error_words.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdio>

namespace VardokCheck {

namespace {

struct Words {
  uint32_t code;
  const char* words;
};

// Codes by the value they have, so that a header that lacks a name cannot
// leave one out.
constexpr Words kWords[] = {
    // Winsock
    {10004, "the call was interrupted"},
    {10013, "access to the socket is denied"},
    {10024, "too many sockets open"},
    {10048, "the address is in use"},
    {10049, "the address is not available here"},
    {10050, "the network is down"},
    {10051, "the network is unreachable"},
    {10052, "the network dropped the connection"},
    {10053, "the connection was aborted here"},
    {10054, "the connection was reset by the peer"},
    {10055, "no buffer space left"},
    {10057, "not connected"},
    {10060, "no answer in time"},
    {10061, "connection refused"},
    {10064, "the host is down"},
    {10065, "the host is unreachable"},
    {10091, "the network is not ready"},
    {10093, "the network was not started"},
    {11001, "the name is not found"},
    {11002, "no name server answered (try again later)"},
    {11003, "the name server failed for good"},
    {11004, "the name has no address of this kind"},
    // Name look-up (DnsQuery)
    {9001, "the name server could not read the question (format error)"},
    {9002, "the name server failed (server failure)"},
    {9003, "the name does not exist (NXDOMAIN)"},
    {9004, "the name server does not do this kind of question"},
    {9005, "refused by the name server"},
    {9501, "no record of this type"},
    {9502, "the name server's answer cannot be read"},
    {9503, "no answer from the name server"},
    {9504, "the name server answered with an error"},
    {9505, "the answer is not signed as required"},
    {1460, "no answer in time"},
    // TLS (Schannel)
    {0x80090302, "the TLS layer does not do this"},
    {0x80090304, "the TLS layer failed inside (the server's handshake may be broken)"},
    {0x80090308, "the server's TLS message cannot be read"},
    {0x8009030C, "the TLS logon was refused"},
    {0x8009030E, "no TLS credentials here"},
    {0x80090311, "no TLS authority could be reached"},
    {0x80090318, "the TLS message was cut short"},
    {0x80090321, "the TLS buffer is too small"},
    {0x80090322, "the server's name does not match"},
    {0x80090325, "the certificate chain was issued by an authority that is not trusted"},
    {0x80090326, "the server sent a TLS message it should not (or an alert)"},
    {0x80090327, "the certificate is unknown"},
    {0x80090328, "the certificate has expired"},
    {0x80090329, "the TLS message was altered"},
    {0x80090330, "the TLS message could not be decrypted"},
    {0x80090331, "no TLS version or cipher in common with the server"},
    {0x80090349, "the certificate's use is not for this"},
    // Certificates
    {0x800B0101, "the certificate has expired or is not yet valid"},
    {0x800B0102, "the certificate's dates do not nest in its issuer's"},
    {0x800B0103, "a certificate stands where only an end certificate may"},
    {0x800B0104, "a path length limit of the chain is passed"},
    {0x800B0105, "the certificate holds a critical extension that is not known"},
    {0x800B0106, "the certificate is not for this use"},
    {0x800B0107, "the certificate's issuer does not match"},
    {0x800B0108, "the certificate is missing or holds an empty field"},
    {0x800B0109, "untrusted issuer (the root is not trusted)"},
    {0x800B010A, "the certificate chain cannot be built to a trusted root"},
    {0x800B010B, "the certificate is signed by a test root"},
    {0x800B010C, "the certificate was revoked"},
    {0x800B010D, "the certificate's issuer is not trusted"},
    {0x800B010E, "the certificate's revocation could not be checked"},
    {0x800B010F, "issued for another name"},
    {0x800B0110, "the certificate is not for this use"},
    {0x800B0111, "the certificate is explicitly distrusted"},
    {0x800B0112, "a certificate of the chain is not trusted"},
    {0x800B0113, "the certificate's policy is not met"},
    {0x800B0114, "the certificate holds a name that is not allowed"},
    {0x80092012, "the certificate's revocation could not be checked"},
    {0x80092013, "the revocation server is offline"},
    {0x80096004, "the certificate's signature does not verify (two issuers of one name?)"},
    {0x80096010, "the signature does not verify"},
    {0x80096019, "the certificate's basic constraints are not met"},
    // WinINet
    {12002, "no answer in time"},
    {12005, "the URL cannot be read"},
    {12006, "the URL's scheme is not known"},
    {12007, "the name is not found"},
    {12017, "the request was cancelled"},
    {12029, "cannot connect"},
    {12030, "the connection ended early"},
    {12031, "the connection was reset"},
    {12037, "the certificate has expired or is not yet valid"},
    {12038, "issued for another name"},
    {12044, "the server asks for a client certificate"},
    {12045, "untrusted issuer"},
    {12057, "the certificate's revocation could not be checked"},
    {12152, "the server's answer cannot be read"},
    {12157, "the secure channel failed"},
    {12169, "the certificate is not valid"},
    {12170, "the certificate was revoked"},
    {12175, "the answer's content encoding cannot be decoded"},
};

}  // namespace

std::string errorWords(uint32_t code) {
  for (const Words& words : kWords)
    if (words.code == code) return words.words;
  char text[256];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ' ||
                        text[length - 1] == '.'))
    --length;
  if (length > 0) return std::string(text, length);
  snprintf(text, sizeof text, code > 0xFFFF ? "error 0x%08lX" : "error %lu", static_cast<unsigned long>(code));
  return text;
}

}  // namespace VardokCheck
