#include "tests/plugin_fixture.h"

#include <windows.h>

#include "plugin/dispatch.h"

namespace VardokTest {

std::string programFolder() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of("\\/") + 1);
}

void LinkedPluginTest::SetUp() {
  plugin = VardokHost::PluginModule::linked(&IMessageProc);
  host.attach(plugin.get());
}

void LinkedPluginTest::TearDown() { host.post(Vardok::HM_DETACH_CORE); }

void LinkedPluginTest::attachCore() {
  host.post(Vardok::HM_ATTACH_CORE,
            reinterpret_cast<int32_t>(static_cast<Vardok::HostCore*>(&host)));
}

void LoadedPluginTest::SetUp() {
  std::string error;
  plugin = VardokHost::PluginModule::load(programFolder() + "Vardok.dll", &error);
  ASSERT_TRUE(plugin) << error;
  host.attach(plugin.get());
}

void LoadedPluginTest::TearDown() {
  if (plugin && plugin->module()) host.shutDown();
}

}  // namespace VardokTest
