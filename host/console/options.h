// The console host's command line.
#pragma once

#include <cstdint>
#include <string>

namespace VardokHost {

struct ConsoleOptions {
  std::string contactsPath;  // empty: the user's default file, or the embedded list
  std::string scriptPath;
  std::string logPath;
  uint64_t logLimit = 0;  // bytes before the log starts over (0: the default, 1 MiB)
  bool once = false;
  bool verbose = false;
  bool serveDemo = false;
  int color = -1;            // -1 auto, 0 never, 1 always
  int onceTimeoutSeconds = 60;
  bool keepHistory = true;   // history.db beside the list
  std::string metrics;       // "[ADDR:]PORT" to serve /metrics at, or empty
};

// Parses the command line; false with a message for bad arguments.
bool parseOptions(int argc, char** argv, ConsoleOptions* options, std::string* error);

}  // namespace VardokHost
