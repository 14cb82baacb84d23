#include "host/lib/plugin_module.h"

#include <cstdio>

namespace VardokHost {

PluginModule::PluginModule(MessageProc proc, Quorlin::ModuleHandle loaded, HMODULE linked)
    : _proc(proc), _loaded(std::move(loaded)), _linked(linked) {}

std::unique_ptr<PluginModule> PluginModule::load(const std::string& path, std::string* error) {
  Quorlin::ModuleHandle module(LoadLibraryA(path.c_str()));
  if (!module) {
    const DWORD code = GetLastError();
    if (error) *error = "cannot load " + path + " (error " + std::to_string(code) + ")";
    return nullptr;
  }
  auto proc = reinterpret_cast<MessageProc>(reinterpret_cast<void*>(GetProcAddress(module.get(), "_IMessageProc@4")));
  if (!proc) {
    if (error) *error = path + " does not export _IMessageProc@4";
    return nullptr;
  }
  return std::unique_ptr<PluginModule>(new PluginModule(proc, std::move(module), nullptr));
}

std::unique_ptr<PluginModule> PluginModule::linked(MessageProc proc) {
  return std::unique_ptr<PluginModule>(new PluginModule(proc, Quorlin::ModuleHandle(), GetModuleHandleA(nullptr)));
}

void PluginModule::unload() {
  _loaded.reset();
  _linked = nullptr;
  _proc = nullptr;
}

std::string programFolder() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of("\\/") + 1);
}

std::string versionText(int packedVersion) {
  const unsigned version = static_cast<unsigned>(packedVersion);
  char text[32];
  const unsigned build = version & 0xFFF;
  if (build)
    snprintf(text, sizeof text, "%u.%u.%u.%u", version >> 28, (version >> 20) & 0xFF, (version >> 12) & 0xFF, build);
  else
    snprintf(text, sizeof text, "%u.%u.%u", version >> 28, (version >> 20) & 0xFF, (version >> 12) & 0xFF);
  return text;
}

}  // namespace VardokHost
