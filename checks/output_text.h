// A run's output as the report reads it: bytes from a child or an HTTP
// body, made into one narrow text. Any thread.
#pragma once

#include <string>

namespace Vardok {

// Output that starts with the UTF-16LE byte order mark, or whose first
// chunk (250 bytes) has a zero in every second byte, is UTF-16LE: it is
// converted to the ANSI code page (the mark dropped). In any other output
// every zero byte is dropped and what follows it is kept
// (Quorlin::narrowOutput, which vardok-check's bridge shares). This is the one
// place where zero bytes are handled: what reads the output afterwards
// (line endings, tags) takes it as it stands.
std::string decodeOutput(std::string raw);

// Adds more, a child's output, to output (taking it over when output is
// empty, so no second copy is made). cutForMemory: the child's output
// stopped growing for want of memory, and output then ends with
// Texts::kOutputCutNoMemory; when even that cannot be added, the mark
// takes the place of the output's last bytes.
void appendOutput(std::string& output, std::string more, bool cutForMemory);

}  // namespace Vardok
