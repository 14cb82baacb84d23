// The bytes a program printed, made into one narrow text as a reader of
// its output takes them. Any thread.
#pragma once

#include <string>

namespace Quorlin {

// Output that starts with the UTF-16LE byte order mark, or whose first
// chunk (250 bytes) has a zero in every second byte, is UTF-16LE: it is
// converted to the ANSI code page (the mark dropped, a zero character
// dropped like a zero byte). In any other output every zero byte is
// dropped and what follows it is kept.
std::string narrowOutput(std::string raw);

}  // namespace Quorlin
