// Fixtures that put the plug-in into a ContactHost: linked (the static
// library, so tests can reach inside) or loaded (the real Vardok.dll).
#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "host/contact_host.h"
#include "plugin/messages.h"

namespace VardokTest {

// The folder of the running test program, where Vardok.dll is built.
std::string programFolder();

class LinkedPluginTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Sends HM_ATTACH_CORE only.
  void attachCore();

  VardokHost::ContactHost host;
  std::unique_ptr<VardokHost::PluginModule> plugin;
};

class LoadedPluginTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  VardokHost::ContactHost host;
  std::unique_ptr<VardokHost::PluginModule> plugin;
};

}  // namespace VardokTest
