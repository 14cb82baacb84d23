#include "support/boundary.h"

#include <atomic>
#include <exception>
#include <new>
#include <string>

#include "support/exception.h"
#include "support/regex/regex.h"
#include "support/win32_error.h"

namespace Quorlin {

namespace {

std::atomic<const char*> g_outOfMemory{"out of memory"};

// Appends text to the terminated text in buffer, as much as fits.
void append(char* buffer, size_t size, const char* text) {
  size_t used = 0;
  while (used + 1 < size && buffer[used]) ++used;
  while (used + 1 < size && text && *text) buffer[used++] = *text++;
  buffer[used] = '\0';
}

void copy(char* buffer, size_t size, const char* text) {
  buffer[0] = '\0';
  append(buffer, size, text);
}

}  // namespace

void setOutOfMemoryWords(const char* words) { g_outOfMemory = words ? words : "out of memory"; }
const char* outOfMemoryWords() { return g_outOfMemory.load(); }

const char* describeCaught(char* buffer, size_t size) noexcept {
  if (!buffer || size == 0) return buffer;
  try {
    throw;
  } catch (const std::bad_alloc&) {
    copy(buffer, size, g_outOfMemory.load());
  } catch (const ExceptionString& caught) {
    // The reason is a copy, which itself needs memory.
    try {
      const std::string reason = caught.getReason();
      copy(buffer, size, reason.empty() ? "internet failure" : reason.c_str());
    } catch (...) {
      copy(buffer, size, g_outOfMemory.load());
    }
  } catch (const RegEx::CompileException& caught) {
    copy(buffer, size, caught.message ? caught.message : "bad pattern");
  } catch (const std::exception& caught) {
    copy(buffer, size, caught.what());
  } catch (...) {
    copy(buffer, size, "unknown exception");
  }
  return buffer;
}

void reportCaught(const char* where) noexcept {
  char what[160];
  describeCaught(what, sizeof what);
  char line[256];
  copy(line, sizeof line, where);
  append(line, sizeof line, ": ");
  append(line, sizeof line, what);
  tellFailureLog(line);
}

}  // namespace Quorlin
