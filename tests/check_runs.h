// vardok-check.exe run as the plug-in runs it, for the tests of its
// commands: the whole process, its output and exit code, and how long it
// took from start to end.
#pragma once

#include <windows.h>

#include <string>

#include "tests/plugin_fixture.h"

namespace VardokTest {

struct TimedRun {
  ProgramRun run;
  DWORD ms = 0;  // from before the start until the output was read
};

// vardok-check.exe (beside the test) with arguments.
TimedRun runCheck(const std::string& arguments);

// The value of the first result tag of key in output, or "<none>".
std::string checkTag(const std::string& output, const std::string& key);

}  // namespace VardokTest
