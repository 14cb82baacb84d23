#include "support/win32_error.h"

#include <atomic>
#include <string>

namespace Quorlin {

namespace {

void toDebugger(const char* line) {
  OutputDebugStringA(line);
  OutputDebugStringA("\n");
}

std::atomic<FailureLog> g_log{&toDebugger};

}  // namespace

std::string errorText(DWORD error) {
  char buffer[256];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                buffer, sizeof buffer, nullptr);
  while (length > 0 && (buffer[length - 1] == '\r' || buffer[length - 1] == '\n' || buffer[length - 1] == ' ')) --length;
  const std::string number = "(error " + std::to_string(error) + ")";
  return length ? std::string(buffer, length) + " " + number : number;
}

FailureLog setFailureLog(FailureLog log) { return g_log.exchange(log ? log : &toDebugger); }

void reportFailure(const char* call, DWORD error) {
  const std::string line = std::string(call) + " failed: " + errorText(error);
  g_log.load()(line.c_str());
}

bool checkCall(bool ok, const char* call) {
  if (ok) return true;
  const DWORD error = GetLastError();
  reportFailure(call, error);
  SetLastError(error);
  return false;
}

}  // namespace Quorlin
