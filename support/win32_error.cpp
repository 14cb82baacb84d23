#include "support/win32_error.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace Quorlin {

namespace {

void toDebugger(const char* line) {
  OutputDebugStringA(line);
  OutputDebugStringA("\n");
}

std::atomic<FailureLog> g_log{&toDebugger};

// The platform's words for error, without their trailing line break, in
// buffer; answers their length (0 when it has none).
DWORD systemWords(DWORD error, char* buffer, DWORD size) {
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                buffer, size, nullptr);
  while (length > 0 && (buffer[length - 1] == '\r' || buffer[length - 1] == '\n' || buffer[length - 1] == ' ')) --length;
  buffer[length] = '\0';
  return length;
}

}  // namespace

std::string errorText(DWORD error) {
  char buffer[256];
  const DWORD length = systemWords(error, buffer, sizeof buffer);
  const std::string number = "(error " + std::to_string(error) + ")";
  return length ? std::string(buffer, length) + " " + number : number;
}

FailureLog setFailureLog(FailureLog log) { return g_log.exchange(log ? log : &toDebugger); }

void tellFailureLog(const char* line) noexcept { g_log.load()(line); }

void reportFailure(const char* call, DWORD error) {
  // Built on the stack: a failure is told also when memory has run out.
  char words[256];
  const DWORD length = systemWords(error, words, sizeof words);
  char line[400];
  snprintf(line, sizeof line, "%s failed: %s%s(error %lu)", call, words, length ? " " : "",
           static_cast<unsigned long>(error));
  g_log.load()(line);
}

bool checkCall(bool ok, const char* call) {
  if (ok) return true;
  const DWORD error = GetLastError();
  reportFailure(call, error);
  SetLastError(error);
  return false;
}

}  // namespace Quorlin
