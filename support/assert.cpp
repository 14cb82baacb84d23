#include "support/assert.h"

#include <atomic>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#endif

namespace Quorlin {

namespace {

void defaultReport(const char* expression, const char* source, const char* file, int line) {
  char text[512];
  snprintf(text, sizeof text, "Assertion failed (%s): %s, %s:%d\n", source, expression, file, line);
  fputs(text, stderr);
#ifdef _WIN32
  OutputDebugStringA(text);
#endif
}

std::atomic<AssertHandler> g_handler{&defaultReport};

}  // namespace

AssertHandler setAssertHandler(AssertHandler handler) {
  return g_handler.exchange(handler ? handler : &defaultReport);
}

void reportAssertion(const char* expression, const char* source, const char* file, int line) {
  g_handler.load()(expression, source, file, line);
}

}  // namespace Quorlin
