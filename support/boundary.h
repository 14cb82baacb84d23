// Boundaries: the places where a call from outside enters our code (the
// host's message procedure, a timer routine or queued call that the
// platform delivers, the top of a thread). Nothing thrown may leave
// through them: guarded() runs the code behind one, and turns whatever it
// throws into one line in the failure log ("WHERE: WHAT") and a failed
// result.
//
// What is caught: the support library's value exceptions by their roots
// (ExceptionString, RegEx::CompileException), std::bad_alloc and every
// other std::exception, and anything else. Telling it allocates nothing,
// so a boundary still works when memory has run out. Any thread.
#pragma once

#include <cstddef>

namespace Quorlin {

// The words for std::bad_alloc in the lines the boundaries write: "out of
// memory" until a program gives its own (words must live as long as the
// program uses them).
void setOutOfMemoryWords(const char* words);
const char* outOfMemoryWords();

// Writes the words for the exception being handled into buffer (size bytes,
// always terminated) and answers buffer. Call only inside a catch block.
const char* describeCaught(char* buffer, size_t size) noexcept;

// Tells the failure log "where: WHAT" for the exception being handled.
// Call only inside a catch block.
void reportCaught(const char* where) noexcept;

// Runs body and answers what it answers; when it throws, reports what was
// thrown and answers failed.
template <typename Result, typename Body>
Result guarded(const char* where, Result failed, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    reportCaught(where);
    return failed;
  }
}

// Runs body, which answers nothing; answers false when it threw (and was
// reported).
template <typename Body>
bool guarded(const char* where, Body&& body) noexcept {
  try {
    body();
    return true;
  } catch (...) {
    reportCaught(where);
    return false;
  }
}

}  // namespace Quorlin
