// The real Vardok.dll: what it exports, what it imports, and that the host
// can load it and talk to it.
#include <algorithm>
#include <cctype>
#include <string>

#include <gtest/gtest.h>

#include "host/lib/pe_image.h"
#include "tests/plugin_fixture.h"

using namespace Vardok;
using VardokTest::LoadedPluginTest;

namespace {

class Dll : public LoadedPluginTest {};

TEST_F(Dll, ExportsExactlyTheMessageProcedure) {
  const auto names = VardokHost::exportedNames(plugin->module());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0], "_IMessageProc@4");
  EXPECT_EQ(GetProcAddress(plugin->module(), "IMessageProc"), nullptr);
  EXPECT_EQ(GetProcAddress(plugin->module(), "IMessageProc@4"), nullptr);
}

TEST_F(Dll, ImportsOnlyWindowsSystemDlls) {
  const char* allowed[] = {"kernel32.dll", "msvcrt.dll", "user32.dll", "wininet.dll",
                           "advapi32.dll", "ws2_32.dll", "ntdll.dll"};
  for (std::string dll : VardokHost::importedDlls(plugin->module())) {
    std::transform(dll.begin(), dll.end(), dll.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_NE(std::find(std::begin(allowed), std::end(allowed), dll), std::end(allowed))
        << "Vardok.dll imports " << dll;
    EXPECT_EQ(dll.find("libgcc"), std::string::npos);
    EXPECT_EQ(dll.find("libstdc++"), std::string::npos);
    EXPECT_EQ(dll.find("libwinpthread"), std::string::npos);
  }
}

TEST_F(Dll, StartsUpAndAnswersThroughTheExport) {
  host.startUp();
  EXPECT_STREQ(reinterpret_cast<const char*>(host.post(HM_ID_NAME)), "Vardok");
  EXPECT_EQ(host.post(HM_ID_NET), 82);
  EXPECT_EQ(host.messages(HM_NOTIFY_DEFINE).size(), 2u);
  EXPECT_NE(host.columnId("Vardok/command"), 0);
  EXPECT_EQ(host.notHandledCount(), 0u);
}

TEST_F(Dll, UnloadsAndLoadsAgain) {
  host.startUp();
  host.shutDown();
  std::string error;
  ASSERT_TRUE(session.loadPlugin(&error)) << error;
  host.startUp();
  EXPECT_EQ(host.post(HM_PROBE_2), 59);
}

}  // namespace
