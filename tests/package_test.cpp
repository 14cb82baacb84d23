// The unpacked release archive (made by package_check.py just before): the
// packaged plug-in loads through the test host, and the packaged programs
// import only Windows' own DLLs.
#include <algorithm>
#include <cctype>
#include <string>

#include <gtest/gtest.h>

#include <windows.h>

#include "host/lib/contact_host.h"
#include "host/lib/pe_image.h"
#include "host/lib/plugin_module.h"
#include "hostapi/messages.h"
#include "support/threads/unique_handle.h"
#include "tests/plugin_fixture.h"

namespace {

// The archive's one folder, "...\package-test\unpacked\vardok-VERSION\".
std::string packagedFolder() {
  const std::string unpacked = VardokTest::programFolder() + "..\\package-test\\unpacked\\";
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((unpacked + "vardok-*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return std::string();
  FindClose(search);
  return unpacked + found.cFileName + "\\";
}

TEST(Package, PackagedPluginLoadsThroughTheTestHost) {
  const std::string folder = packagedFolder();
  ASSERT_FALSE(folder.empty()) << "no unpacked archive";
  std::string error;
  auto plugin = VardokHost::PluginModule::load(folder + "Vardok.dll", &error);
  ASSERT_TRUE(plugin) << error;
  VardokHost::ContactHost host;
  host.attach(plugin.get());
  host.startUp();
  EXPECT_STREQ(reinterpret_cast<const char*>(host.post(Vardok::HM_ID_NAME)), "Vardok");
  EXPECT_EQ(host.post(Vardok::HM_ID_NET), 82);
  EXPECT_NE(host.columnId("Vardok/command"), 0);
  host.post(Vardok::HM_DETACH_CORE);
  plugin->unload();
  EXPECT_TRUE(VardokTest::waitForUnload(host));
}

TEST(Package, ProgramsImportOnlyWindowsDlls) {
  const std::string folder = packagedFolder();
  ASSERT_FALSE(folder.empty());
  const char* allowed[] = {"kernel32.dll", "msvcrt.dll", "user32.dll", "wininet.dll", "advapi32.dll",
                           "ws2_32.dll", "ntdll.dll", "psapi.dll", "crypt32.dll", "bcrypt.dll", "version.dll",
                           "iphlpapi.dll"};
  for (const char* program : {"Vardok.dll", "vardok-check.exe", "vardok-host.exe"}) {
    const Quorlin::ModuleHandle image(
        LoadLibraryExA((folder + program).c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
    ASSERT_TRUE(image) << program;
    const auto dlls = VardokHost::importedDlls(image.get());
    EXPECT_FALSE(dlls.empty()) << program;
    for (std::string dll : dlls) {
      std::transform(dll.begin(), dll.end(), dll.begin(), [](unsigned char c) { return std::tolower(c); });
      EXPECT_NE(std::find(std::begin(allowed), std::end(allowed), dll), std::end(allowed))
          << program << " imports " << dll;
    }
  }
  // The packaged check runs as it is.
  const VardokTest::ProgramRun run = VardokTest::runProgram("\"" + folder + "vardok-check.exe\" service PlugPlay");
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("<velkaro:info>PlugPlay running</velkaro:info>"), std::string::npos) << run.output;
}

}  // namespace
