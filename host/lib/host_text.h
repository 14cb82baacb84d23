// The host's texts: Windows-1250 bytes, as the host stores and the
// plug-in writes them; the hosts' files and windows speak UTF-8 and UTF-16.
#pragma once

#include <cstdint>
#include <string>

namespace VardokHost {

// Windows-1250 bytes to UTF-8.
std::string fromHostText(const std::string& cp1250);
// UTF-8 to Windows-1250 bytes (what the host stores).
std::string toHostText(const std::string& utf8);
// Whether every character of the UTF-8 text has a Windows-1250 form (and
// the text is UTF-8 at all): otherwise toHostText would put '?' in its place.
bool fitsHostText(const std::string& utf8);
// Whether text is UTF-8 at all.
bool isUtf8(const std::string& text);

// UTF-8 to UTF-16 and back, for windows.
std::wstring wideFromUtf8(const std::string& utf8);
std::string utf8FromWide(const std::wstring& wide);
// A Unix time in ms as "2026-12-09 14:02", in the machine's own time; "?"
// for one the system cannot convert.
std::string localStamp(int64_t unixMs);

}  // namespace VardokHost
