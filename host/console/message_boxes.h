// The plug-in's message boxes as the console host shows them.
//
// The host redirects the loaded plug-in's MessageBoxA import here. With a
// display the real box is shown; under Wine without one (no DISPLAY) the
// text goes to the console and nothing blocks. Called on the plug-in's
// worker threads; install and the destructor belong to the main thread.
#pragma once

#include <windows.h>

#include "host/console/console_output.h"

namespace VardokHost {

class ConsoleMessageBoxes {
 public:
  // Does not own out; it must outlive this object.
  explicit ConsoleMessageBoxes(ConsoleOutput& out);
  ~ConsoleMessageBoxes();
  ConsoleMessageBoxes(const ConsoleMessageBoxes&) = delete;
  ConsoleMessageBoxes& operator=(const ConsoleMessageBoxes&) = delete;

  // Points the plug-in's MessageBoxA import at this object. One object at
  // a time may be installed.
  void install(HMODULE plugin);

 private:
  using MessageBoxFunction = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
  static int WINAPI show(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

  ConsoleOutput& _out;
  MessageBoxFunction _system = nullptr;
  bool _realBoxes = false;
};

}  // namespace VardokHost
