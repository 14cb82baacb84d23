#include "tests/local_servers.h"

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace VardokTest {

namespace {

// Runs a Linux command. Wine starts it and returns at once: it gives no
// handle to wait on, so what it does is read from the files it writes.
bool startUnix(std::string command) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  const bool ok = CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started);
  if (started.hProcess) CloseHandle(started.hProcess);
  if (started.hThread) CloseHandle(started.hThread);
  return ok;
}

bool readWhole(const std::string& path, std::string* text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream all;
  all << file.rdbuf();
  *text = all.str();
  while (!text->empty() && (text->back() == '\n' || text->back() == '\r')) text->pop_back();
  return true;
}

}  // namespace

LocalServer::LocalServer(const std::string& kind, const std::string& argument,
                         void (*prepare)(const std::string& folder)) {
  static int count = 0;
  // Z: is the root of the Linux file system in a Wine prefix.
  _unixFolder = "/tmp/vardok-" + kind + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++count);
  _windowsFolder = "Z:" + _unixFolder + "\\";
  for (char& c : _windowsFolder)
    if (c == '/') c = '\\';
  CreateDirectoryA(_windowsFolder.c_str(), nullptr);
  if (prepare) prepare(_windowsFolder);
  if (!startUnix(std::string("/bin/bash " VARDOK_SERVERS_SCRIPT " ") + kind + " " + _unixFolder + " " + argument)) {
    _error = "cannot start /bin/bash";
    return;
  }
  for (int waited = 0; waited < 90000; waited += 100) {
    if (readWhole(_windowsFolder + "ready", &_address)) return;
    if (readWhole(_windowsFolder + "failed", &_error)) return;
    Sleep(100);
  }
  _error = kind + " gave no word within 90 s";
}

LocalServer::~LocalServer() {
  startUnix(std::string("/bin/bash " VARDOK_SERVERS_SCRIPT " stop ") + _unixFolder);
}

int runUnix(const std::string& command, DWORD timeoutMs, const std::function<void(DWORD)>& wait) {
  static int count = 0;
  const std::string stem = "/tmp/vardok-unix-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++count);
  std::string windowsStem = "Z:" + stem;
  for (char& c : windowsStem)
    if (c == '/') c = '\\';
  // In a subshell, so that an "exit" of the command still leaves its code.
  std::ofstream(windowsStem + ".sh", std::ios::binary) << "(\n" << command << "\n)\necho $? > " << stem << ".tmp && mv "
                                                       << stem << ".tmp " << stem << ".done\n";
  if (!startUnix("/bin/bash " + stem + ".sh")) return -1;
  std::string done;
  for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
    if (readWhole(windowsStem + ".done", &done)) break;
    wait(20);
  }
  DeleteFileA((windowsStem + ".sh").c_str());
  DeleteFileA((windowsStem + ".done").c_str());
  return done.empty() ? -1 : std::atoi(done.c_str());
}

}  // namespace VardokTest
