// vardok-desk.exe: the desk host. Usage:
//   vardok-desk [--contacts FILE] [--serve-demo] [--no-history] [--metrics [ADDR:]PORT]
// Without --contacts it shows the user's list (%APPDATA%\Vardok\contacts.txt)
// or, where there is none, the demo list with the demo site it checks. The
// checks' history is kept in history.db beside the list unless
// --no-history; --metrics serves the checks as Prometheus metrics.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "host/desk/desk_host.h"
#include "host/lib/host_text.h"

namespace {

// Says it in a box and on standard error (a host started from a console or
// a script reads it there).
int fail(const std::string& text, int code) {
  std::fprintf(stderr, "vardok-desk: %s\n", text.c_str());
  MessageBoxW(nullptr, VardokHost::wideFromUtf8(text).c_str(), L"Vardok", MB_OK | MB_ICONERROR);
  return code;
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  VardokHost::DeskOptions options;
  for (int i = 1; i < count; ++i) {
    const std::string argument = VardokHost::utf8FromWide(arguments[i]);
    if (argument == "--contacts" && i + 1 < count) {
      options.contactsPath = VardokHost::utf8FromWide(arguments[++i]);
    } else if (argument == "--serve-demo") {
      options.serveDemo = true;
    } else if (argument == "--no-history") {
      options.keepHistory = false;
    } else if (argument == "--metrics" && i + 1 < count) {
      options.metrics = VardokHost::utf8FromWide(arguments[++i]);
    } else {
      LocalFree(arguments);
      return fail("usage: vardok-desk [--contacts FILE] [--serve-demo] [--no-history] [--metrics [ADDR:]PORT]", 2);
    }
  }
  LocalFree(arguments);
  VardokHost::DeskHost desk(options);
  std::string error;
  if (!desk.start(&error)) return fail(error, 3);
  return desk.runUntilClosed();
}
