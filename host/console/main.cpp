// vardok-host.exe: the console host. See console_host.h.
#include <cstdio>
#include <string>

#include "host/console/console_host.h"

int main(int argc, char** argv) {
  VardokHost::ConsoleOptions options;
  std::string error;
  if (!VardokHost::parseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr,
                 "vardok-host: %s\n"
                 "usage: vardok-host [CONTACTS.txt] [--once [--timeout S]] [--script FILE] [--serve-demo]\n"
                 "                   [--verbose] [--log FILE] [--color|--no-color] [--no-history]\n"
                 "                   [--metrics [ADDRESS:]PORT]\n",
                 error.c_str());
    return 3;
  }
  VardokHost::ConsoleHost host(options);
  return host.run();
}
