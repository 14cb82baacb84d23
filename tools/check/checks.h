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
Outcome checkDns(const Args& args);       // dns NAME [--type T] [--server ADDR] [--expect VALUE]... [--warn MS] [--crit MS]
Outcome checkCert(const Args& args);      // cert HOST[:PORT] [--warn DAYS] [--crit DAYS] [--name NAME]
Outcome checkProm(const Args& args);      // prom URL QUERY [--warn X] [--crit X] [--empty ok|problem|critical]
Outcome checkAlerts(const Args& args);    // alerts URL [--match LABEL=VALUE]...
Outcome checkFileAge(const Args& args);   // file-age PATH --warn S --crit S
Outcome checkProcess(const Args& args);   // process NAME [--min N] [--max N]
Outcome checkService(const Args& args);   // service NAME
Outcome runClassic(const Args& args);     // run [--timeout S] -- PROGRAM ARGS...

// Milliseconds on a monotonic clock, for what a check times.
double nowMs();

// "12 s", "5 min 3 s", "3 h 12 min", "2 d 4 h".
std::string durationText(int64_t seconds);

}  // namespace VardokCheck
