// The line endings of a check's output, as the report writes it: CR LF
// becomes LF, then every LF becomes CR LF; a lone CR stays. Platform-free;
// any thread.
#pragma once

#include <string>

namespace Vardok {

// Mends text in place, from the end, within its spare room: a large output
// needs no second buffer of its size. Reads 16 bytes at a time where the
// processor can. Linear in the text's length.
void normalizeLineEndings(std::string& text);

}  // namespace Vardok
