// The line endings of a check's output, as the report writes it: CR LF
// becomes LF, then every LF becomes CR LF; a lone CR stays. Platform-free;
// any thread.
#pragma once

#include <string>

namespace Vardok {

// Mends text. One pass counts the line feeds that lack a carriage return
// (none: nothing more to do). A text with room enough to grow is then
// mended within it, from the end, a few KiB at a time through a small
// buffer: no second buffer of its size. One without is copied once,
// forward, into a buffer of exactly its new size. Both read 16 bytes at a
// time, and with SSSE3 a shuffle puts the carriage returns in. Linear in
// the text's length.
void normalizeLineEndings(std::string& text);

// The ways of mending, for the tests and the fuzzer, which hold each
// against the plain definition. Every one gives the same text.
enum class LineEndingMend {
  Chosen,          // what normalizeLineEndings does
  InPlace,         // within the spare room, from the end (the room made first if short)
  Forward,         // forward copy, SSE2 (or byte by byte)
  ForwardShuffle,  // forward copy with SSSE3 shuffles where the processor has them
};
void normalizeLineEndings(std::string& text, LineEndingMend how);

}  // namespace Vardok
