// Debug assertions of the support library.
//
// A failed assertion is reported with the tested expression and the source
// name ("regex", "objectimpl", "locale"), then execution goes on: every
// misuse the assertions catch still has a defined result. Release builds
// (NDEBUG) test nothing.
#pragma once

namespace Quorlin {

using AssertHandler = void (*)(const char* expression, const char* source, const char* file, int line);

// Replaces the report (null restores the default, which writes to standard
// error and to the debugger). Answers the previous handler.
AssertHandler setAssertHandler(AssertHandler handler);
void reportAssertion(const char* expression, const char* source, const char* file, int line);

}  // namespace Quorlin

#ifdef NDEBUG
#define QUORLIN_ASSERT(expression, source) ((void)0)
#else
#define QUORLIN_ASSERT(expression, source) \
  ((expression) ? (void)0 : ::Quorlin::reportAssertion(#expression, source, __FILE__, __LINE__))
#endif
