// vardok-check's commands. Each takes what follows its name on the command
// line, measures, and judges; a wrong argument throws UsageError.
#pragma once

#include <string>
#include <vector>

#include "tools/check/outcome.h"

namespace VardokCheck {

using Args = std::vector<std::string>;

Outcome checkDisk(const Args& args);      // disk [DRIVE] --warn PCT --crit PCT
Outcome checkTcp(const Args& args);       // tcp HOST PORT [--warn MS] [--crit MS] [--timeout MS]
Outcome checkPing(const Args& args);      // ping HOST [--count N] [--warn MS,PCT] [--crit MS,PCT] [--timeout MS]
Outcome checkHttp(const Args& args);      // http URL [--status CODE] [--contains TEXT] [--warn MS] [--crit MS] [--timeout MS]
Outcome checkJson(const Args& args);      // json URL PATH [--warn X] [--crit X] | [--equals V] | [--matches /REGEX/]
Outcome checkFileAge(const Args& args);   // file-age PATH --warn S --crit S
Outcome checkProcess(const Args& args);   // process NAME [--min N] [--max N]
Outcome checkService(const Args& args);   // service NAME
Outcome runClassic(const Args& args);     // run [--timeout S] -- PROGRAM ARGS...

// Milliseconds on a monotonic clock, for what a check times.
double nowMs();

// "12 s", "5 min 3 s", "3 h 12 min", "2 d 4 h".
std::string durationText(int64_t seconds);

}  // namespace VardokCheck
