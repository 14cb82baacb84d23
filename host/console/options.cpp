#include "host/console/options.h"

#include <cstdlib>

namespace VardokHost {

bool parseOptions(int argc, char** argv, ConsoleOptions* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    if (arg == "--contacts") {
      if (!value(&options->contactsPath)) return false;
    } else if (arg == "--script") {
      if (!value(&options->scriptPath)) return false;
    } else if (arg == "--log") {
      if (!value(&options->logPath)) return false;
    } else if (arg == "--log-size") {
      std::string bytes;
      if (!value(&bytes)) return false;
      options->logLimit = std::strtoull(bytes.c_str(), nullptr, 10);
    } else if (arg == "--timeout") {
      std::string seconds;
      if (!value(&seconds)) return false;
      options->onceTimeoutSeconds = std::atoi(seconds.c_str());
    } else if (arg == "--once") {
      options->once = true;
    } else if (arg == "--verbose" || arg == "-v") {
      options->verbose = true;
    } else if (arg == "--serve-demo") {
      options->serveDemo = true;
    } else if (arg == "--no-history") {
      options->keepHistory = false;
    } else if (arg == "--metrics") {
      if (!value(&options->metrics)) return false;
    } else if (arg == "--color") {
      options->color = 1;
    } else if (arg == "--no-color") {
      options->color = 0;
    } else if (!arg.empty() && arg[0] != '-' && options->contactsPath.empty()) {
      options->contactsPath = arg;
    } else {
      *error = "unknown argument " + arg;
      return false;
    }
  }
  return true;
}

}  // namespace VardokHost
