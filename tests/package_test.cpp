// The unpacked release archive (made by package_check.py just before): the
// packaged plug-in loads through the test host, and the packaged programs
// import only Windows' own DLLs.
#include <algorithm>
#include <cctype>
#include <string>

#include <gtest/gtest.h>

#include <windows.h>

#include "host/serve/certificates.h"
#include "host/lib/contact_host.h"
#include "host/serve/http_server.h"
#include "host/lib/pe_image.h"
#include "host/lib/plugin_module.h"
#include "hostapi/messages.h"
#include "support/threads/unique_handle.h"
#include "tests/plugin_fixture.h"

using VardokHost::LoopbackHttpServer;

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
                           "iphlpapi.dll", "dnsapi.dll", "secur32.dll", "comctl32.dll", "gdi32.dll", "shell32.dll"};
  for (const char* program : {"Vardok.dll", "vardok-check.exe", "vardok-host.exe", "vardok-desk.exe"}) {
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

// One run of each of the packaged vardok-check's commands, against this
// machine and loopback servers: each loads what it needs and gives its
// verdict.
TEST(Package, EveryCheckCommandRunsFromTheArchive) {
  const std::string folder = packagedFolder();
  ASSERT_FALSE(folder.empty());
  std::string error;
  ASSERT_TRUE(VardokHost::trustRootCertificate(VardokHost::certificateFolder() + "ca.pem", &error)) << error;
  LoopbackHttpServer web;
  ASSERT_TRUE(web.listening()) << web.error();
  web.setHandler([](const std::string& head) {
    if (head.find("/api/v1/query?") != std::string::npos)
      return LoopbackHttpServer::Reply{LoopbackHttpServer::response(
          200, "{\"status\":\"success\",\"data\":{\"resultType\":\"vector\",\"result\":"
               "[{\"metric\":{\"job\":\"web\"},\"value\":[1,\"1\"]}]}}")};
    if (head.find("/api/v1/alerts") != std::string::npos)
      return LoopbackHttpServer::Reply{LoopbackHttpServer::response(
          200, "{\"status\":\"success\",\"data\":{\"alerts\":[]}}")};
    return LoopbackHttpServer::Reply{LoopbackHttpServer::response(200, "{\"state\": \"ok\"}")};
  });
  LoopbackHttpServer::Options tls;
  tls.address = "127.0.0.1";
  tls.port = 0;
  tls.certificateFile = VardokHost::certificateFolder() + "server.pem";
  tls.keyFile = VardokHost::certificateFolder() + "server.key";
  LoopbackHttpServer secure(tls);
  ASSERT_TRUE(secure.listening()) << secure.error();
  secure.setReply({LoopbackHttpServer::response(200, "secure")});
  const std::string secureUrl = secure.url("/");  // https://localhost:PORT/
  const std::string secureHost = secureUrl.substr(8, secureUrl.size() - 9);

  const struct {
    std::string arguments;
    int exitCode;
  } table[] = {
      {"disk --warn 100 --crit 100", 0},
      {"tcp " + web.address() + " 80", 0},
      {"http " + web.url("/") + " --contains ok", 0},
      {"http " + secureUrl + " --cert-days 30,7", 0},
      {"cert " + secureHost, 0},
      {"ping 127.0.0.1 --count 1", 0},
      {"json " + web.url("/") + " state --equals ok", 0},
      {"prom " + web.url("") + " up --crit 1:", 0},
      {"alerts " + web.url(""), 0},
      // No name server listens here: the verdict is the answer.
      {"dns vardok.invalid --server 127.0.0.1 --timeout 3000", 10},
      {"file-age \"" + folder + "vardok-check.exe\" --warn 999999999 --crit 999999999", 0},
      {"process package_test.exe --min 1", 0},
      {"service PlugPlay", 0},
      {"run -- cmd /c exit 0", 0},
  };
  for (const auto& row : table) {
    const VardokTest::ProgramRun check =
        VardokTest::runProgram("\"" + folder + "vardok-check.exe\" " + row.arguments);
    EXPECT_EQ(check.exitCode, row.exitCode) << row.arguments << "\n" << check.output << check.errors;
    EXPECT_NE(check.output.find("<velkaro:info>"), std::string::npos) << row.arguments << "\n" << check.output;
  }
}

// A new user's one-shot run from the archive: no list of their own and no
// test certificate, so the host turns off the demo's HTTPS checks and the
// list's own age (--once saves no list), each with its reason, and all it
// judges is well.
TEST(Package, OnceOnANewMachineJudgesWhatItCanAndIsWell) {
  const std::string folder = packagedFolder();
  ASSERT_FALSE(folder.empty()) << "no unpacked archive";
  const std::string appData = VardokTest::uniqueTempFile("vardok-package-appdata", "");
  ASSERT_TRUE(CreateDirectoryA(appData.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  char saved[MAX_PATH] = "";
  GetEnvironmentVariableA("APPDATA", saved, MAX_PATH);
  SetEnvironmentVariableA("APPDATA", appData.c_str());
  const VardokTest::ProgramRun run =
      VardokTest::runProgram("\"" + folder + "vardok-host.exe\" --no-color --once", true, 120000);
  SetEnvironmentVariableA("APPDATA", saved);
  EXPECT_EQ(run.exitCode, 0) << run.output;
  for (const char* off : {"\"Secure page\" is off", "\"Demo certificate\" is off", "\"List age\" is off"})
    EXPECT_NE(run.output.find(off), std::string::npos) << off << "\n" << run.output;
  EXPECT_EQ(run.output.find("critical"), std::string::npos) << run.output;
  EXPECT_EQ(GetFileAttributesA((appData + "\\Vardok\\contacts.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  DeleteFileA((appData + "\\Vardok\\vardok-host.log").c_str());
  RemoveDirectoryA((appData + "\\Vardok").c_str());
  RemoveDirectoryA(appData.c_str());
}

}  // namespace
