// vardok-check: ready checks for Vardok contacts. Each command measures one
// thing, prints one line with the plug-in's result tags, and exits with the
// plug-in's classes: 0 all is well, 1 a problem, 10 critical.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "tools/check/checks.h"
#include "tools/check/remote_text.h"

namespace {

using namespace VardokCheck;

struct Command {
  const char* name;
  const char* usage;
  Outcome (*check)(const Args&);
  bool network;  // takes --retries N [--retry-delay MS]
};

const Command kCommands[] = {
    {"disk",
     "disk [DRIVE] --warn PCT --crit PCT [--warn-free SIZE] [--crit-free SIZE]\n"
     "                    disk [DRIVE] --warn-free SIZE [--crit-free SIZE]",
     checkDisk, false},
    {"tcp",
     "tcp HOST PORT [--send TEXT] [--expect TEXT] [--warn MS] [--crit MS] [--timeout MS] [--retries N [--retry-delay MS]]",
     checkTcp, true},
    {"http",
     "http URL [--status CODE] [--contains TEXT] [--regex /PATTERN/] [--header NAME:VALUE] [--method GET|HEAD]\n"
     "                    [--cert-days WARN[,CRIT]] [--warn MS] [--crit MS] [--timeout MS] [--retries N [--retry-delay MS]]",
     checkHttp, true},
    {"cert", "cert HOST[:PORT] [--warn DAYS] [--crit DAYS] [--name NAME] [--timeout MS] [--retries N [--retry-delay MS]]",
     checkCert, true},
    {"dns",
     "dns NAME [--type A|AAAA|CNAME|MX|TXT] [--server ADDR] [--expect VALUE]... [--warn MS] [--crit MS]\n"
     "                    [--timeout MS] [--retries N [--retry-delay MS]]",
     checkDns, true},
    {"ping", "ping HOST [--count N] [--warn MS,PCT] [--crit MS,PCT] [--timeout MS] [--retries N [--retry-delay MS]]",
     checkPing, true},
    {"json", "json URL PATH [--warn X] [--crit X] | [--equals V] | [--matches /REGEX/] [--timeout MS]", checkJson, true},
    {"prom", "prom URL QUERY [--warn X|X:] [--crit X|X:] [--empty ok|problem|critical] [--timeout MS]", checkProm, true},
    {"alerts", "alerts URL [--match LABEL=VALUE]... [--timeout MS]", checkAlerts, true},
    {"file-age", "file-age PATH --warn S --crit S", checkFileAge, false},
    {"process", "process NAME [--min N] [--max N] [--warn-min N] [--warn-max N]", checkProcess, false},
    {"service", "service NAME", checkService, false},
    {"run", "run [--timeout S] -- PROGRAM ARGS...", runClassic, false},
};

// Takes "--NAME VALUE" out of args: a whole number from minimum to maximum,
// or fallback when it is not there.
int64_t takeNumber(Args& args, const std::string& name, int64_t minimum, int64_t maximum, int64_t fallback) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") break;
    if (args[i] != name) continue;
    for (size_t j = i + 2; j < args.size() && args[j] != "--"; ++j)
      if (args[j] == name) throw UsageError(name + " is given twice");
    if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
    const std::string text = args[i + 1];
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoll(text) < minimum || std::stoll(text) > maximum)
      throw UsageError(name + " needs a whole number from " + std::to_string(minimum) + " to " + std::to_string(maximum));
    args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
    return std::stoll(text);
  }
  return fallback;
}

// A network check tried up to --retries times in a row, --retry-delay apart
// (1 s): for a flaky network, a problem counts only when every attempt of
// the run found one. The line says how many attempts were made.
Outcome measure(const Command& command, Args args) {
  if (!command.network) return command.check(args);
  const int64_t retries = takeNumber(args, "--retries", 1, 10, 1);
  const int64_t delay = takeNumber(args, "--retry-delay", 0, 60000, 1000);
  for (int64_t attempt = 1;; ++attempt) {
    Outcome outcome = command.check(args);
    if (outcome.level == Level::Well || attempt == retries) {
      if (retries > 1) outcome.line += " (attempt " + std::to_string(attempt) + " of " + std::to_string(retries) + ")";
      return outcome;
    }
    Sleep(static_cast<DWORD>(delay));
  }
}

void printUsage(const Command* only) {
  std::fputs("usage: vardok-check COMMAND ARGUMENTS\n", stderr);
  for (const Command& command : kCommands)
    if (!only || only == &command) std::fprintf(stderr, "  vardok-check %s\n", command.usage);
  std::fputs("A value above --warn is a problem (exit 1), above --crit critical (exit 10); exit 0 is well.\n"
             "Days of a certificate count the other way: fewer than --warn is a problem, fewer than --crit critical.\n"
             "--timeout holds for each attempt under --retries, the name look-up included.\n",
             stderr);
}

int report(const Outcome& outcome) {
  const std::string text = formatOutcome(outcome);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return static_cast<int>(outcome.level);
}

int setUpWrongly(const std::string& what, const Command* command) {
  std::fprintf(stderr, "vardok-check: %s\n", what.c_str());
  printUsage(command);
  return report({Level::Critical, "vardok-check " + std::string(command ? command->name : "") +
                                      (command ? ": " : "") + what,
                 "Set up wrongly: " + what});
}

}  // namespace

int main(int argc, char** argv) {
  // Bytes go out as they are: the plug-in mends line endings itself.
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc < 2) return setUpWrongly("no command given", nullptr);
  if (std::strcmp(argv[1], "--version") == 0) {
    std::fputs("vardok-check " VARDOK_VERSION "\n", stdout);
    return 0;
  }
  for (const Command& command : kCommands) {
    if (std::strcmp(argv[1], command.name) != 0) continue;
    // Nothing thrown ends a command without a verdict: a check that could
    // not finish is critical with the reason, never a bare exit code.
    const std::string about = std::string("vardok-check ") + command.name;
    try {
      return report(measure(command, Args(argv + 2, argv + argc)));
    } catch (const UsageError& error) {
      return setUpWrongly(error.what(), &command);
    } catch (const std::bad_alloc&) {
      return report({Level::Critical, about + ": out of memory", "out of memory"});
    } catch (const std::exception& error) {
      const std::string reason = remoteText(error.what(), 120);
      return report({Level::Critical, about + " could not finish: " + reason, "could not finish: " + reason});
    } catch (...) {
      return report({Level::Critical, about + " could not finish", "could not finish"});
    }
  }
  return setUpWrongly(std::string("unknown command \"") + argv[1] + "\"", nullptr);
}
