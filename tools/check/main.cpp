// vardok-check: ready checks for Vardok contacts. Each command measures one
// thing, prints one line with the plug-in's result tags, and exits with the
// plug-in's classes: 0 all is well, 1 a problem, 10 critical.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "tools/check/checks.h"

namespace {

using namespace VardokCheck;

struct Command {
  const char* name;
  const char* usage;
  Outcome (*check)(const Args&);
};

const Command kCommands[] = {
    {"disk", "disk [DRIVE] [--warn PCT] [--crit PCT] [--warn-free SIZE] [--crit-free SIZE]", checkDisk},
    {"tcp", "tcp HOST PORT [--warn MS] [--crit MS] [--timeout MS]", checkTcp},
    {"http", "http URL [--status CODE] [--contains TEXT] [--warn MS] [--crit MS] [--timeout MS]", checkHttp},
    {"file-age", "file-age PATH --warn S --crit S", checkFileAge},
    {"process", "process NAME [--min N] [--max N] [--warn-min N] [--warn-max N]", checkProcess},
    {"service", "service NAME", checkService},
    {"run", "run [--timeout S] -- PROGRAM ARGS...", runClassic},
};

void printUsage(const Command* only) {
  std::fputs("usage: vardok-check COMMAND ARGUMENTS\n", stderr);
  for (const Command& command : kCommands)
    if (!only || only == &command) std::fprintf(stderr, "  vardok-check %s\n", command.usage);
  std::fputs("A value above --warn is a problem (exit 1), above --crit critical (exit 10); exit 0 is well.\n", stderr);
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
    try {
      return report(command.check(Args(argv + 2, argv + argc)));
    } catch (const UsageError& error) {
      return setUpWrongly(error.what(), &command);
    }
  }
  return setUpWrongly(std::string("unknown command \"") + argv[1] + "\"", nullptr);
}
