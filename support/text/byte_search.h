// Searching bytes in a buffer, 16 bytes at a time where the processor can
// (the 32-bit C runtime's memchr reads one byte at a time). Platform-free;
// any thread.
#pragma once

#include <string_view>

namespace Quorlin {

// The first byte in [from, end) that equals byte, or end.
const char* findByte(const char* from, const char* end, char byte);

// The first occurrence of text (not empty) in [from, end), or end.
const char* findText(const char* from, const char* end, std::string_view text);

}  // namespace Quorlin
