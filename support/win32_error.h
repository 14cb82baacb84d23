// One way to handle a platform call that fails: name the call and the
// error in words, and tell it where the program's failures go.
//
// Where a failure matters, the call's result is checked with checkCall (or
// the error is handed to reportFailure); where a result may be ignored, a
// comment says why. The plug-in sends these lines to the host's log,
// vardok-check to standard error; by default they go to the debugger.
// Any thread.
#pragma once

#include <string>

#include <windows.h>

namespace Quorlin {

// The platform's words for an error and its number: "Access is denied.
// (error 5)"; just the number when the platform has no words for it.
std::string errorText(DWORD error);

using FailureLog = void (*)(const char* line);
// Replaces where failure lines go (null: the debugger). Answers the
// previous one.
FailureLog setFailureLog(FailureLog log);

// Tells the failure log one line as it stands. Allocates nothing.
void tellFailureLog(const char* line) noexcept;

// Tells the failure log "CALL failed: WORDS (error N)".
void reportFailure(const char* call, DWORD error);

// When ok is false, reports call with GetLastError (which it keeps).
// Answers ok, so that it wraps the test of a call's result.
bool checkCall(bool ok, const char* call);

}  // namespace Quorlin
