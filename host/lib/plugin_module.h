// The plug-in as a host holds it: a loaded Vardok.dll, or the message
// procedure of the plug-in's static library linked into the same program.
//
// Main thread only (the thread that loads and unloads the plug-in).
#pragma once

#include <memory>
#include <string>

#include <windows.h>

#include "hostapi/records.h"
#include "support/threads/unique_handle.h"

namespace VardokHost {

using MessageProc = int(__stdcall*)(Vardok::HostMessage*);

class PluginModule {
 public:
  // Loads a DLL and looks up "_IMessageProc@4". On failure answers null
  // and says why in *error.
  static std::unique_ptr<PluginModule> load(const std::string& path, std::string* error);
  static std::unique_ptr<PluginModule> linked(MessageProc proc);
  ~PluginModule() = default;

  MessageProc proc() const { return _proc; }
  HMODULE module() const { return _loaded ? _loaded.get() : _linked; }
  // FreeLibrary of a loaded DLL; nothing for a linked one. The procedure
  // is gone afterwards.
  void unload();

 private:
  PluginModule(MessageProc proc, Quorlin::ModuleHandle loaded, HMODULE linked);
  MessageProc _proc;
  Quorlin::ModuleHandle _loaded;
  HMODULE _linked;  // the program itself; not owned
};

// The folder of the running program, with a trailing separator: where a
// host finds Vardok.dll.
std::string programFolder();

// The dotted form of a packed version: major.minor.release, and .build
// when the build number is not 0.
std::string versionText(int packedVersion);

}  // namespace VardokHost
