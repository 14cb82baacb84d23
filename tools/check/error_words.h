// The words for every platform error vardok-check may meet (Winsock, name
// look-up, TLS, certificates, WinINet), from one table, so that no message
// ends in a bare number: the platform has no text for many of them (Wine
// has none for most).
#pragma once

#include <cstdint>
#include <string>

namespace VardokCheck {

// "connection refused", "the certificate's signature does not verify";
// for a code the table does not hold, the platform's words, and failing
// those "error 0x80090304".
std::string errorWords(uint32_t code);

}  // namespace VardokCheck
