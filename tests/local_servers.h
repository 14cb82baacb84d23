// Real servers of Linux's (dnsmasq, Prometheus) for vardok-check's tests,
// started on loopback by tests/servers/local-servers.sh with a
// configuration of the test's own and stopped by their process id when the
// object goes.
#pragma once

#include <functional>
#include <string>

#include <windows.h>

namespace VardokTest {

class LocalServer {
 public:
  // kind: "dnsmasq" or "prometheus"; argument: what the script takes after
  // the folder (dnsmasq's address). prepare writes the test's own files
  // into the folder (given as a Windows path, with its trailing backslash)
  // before the server starts.
  LocalServer(const std::string& kind, const std::string& argument,
              void (*prepare)(const std::string& folder) = nullptr);
  ~LocalServer();
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;

  // Waits (at most 90 s) until the server answers. The address it wrote
  // (a URL or an IP address), or empty with the reason in error().
  const std::string& address() const { return _address; }
  const std::string& error() const { return _error; }
  const std::string& folder() const { return _windowsFolder; }

 private:
  std::string _unixFolder, _windowsFolder, _address, _error;
};

// Runs a Linux shell command (through /bin/bash) and waits for its end,
// at most timeoutMs, calling wait(ms) to pass the time (a host's pump).
// Under Wine a Linux program gives no handle to wait on: the command's end
// is read from a file it writes. The exit code, or -1 when it did not end
// in time.
int runUnix(const std::string& command, DWORD timeoutMs, const std::function<void(DWORD)>& wait);

}  // namespace VardokTest
