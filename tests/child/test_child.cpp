// vardok-test-child.exe: a child process for the run tests.
//   write MIB      writes MIB mebibytes of 'x' lines to standard output
//   sleep MS       sleeps, then exits 0
//   spawn MS       starts "sleep MS" as a grandchild that inherits standard
//                  output, prints "direct", and exits 3 at once
//   zero           writes "ab", a zero byte and "cd", then exits 0
#include <cstdlib>
#include <cstring>
#include <string>

#include <windows.h>

#include "support/threads/unique_handle.h"

namespace {

void write(const char* data, DWORD size) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), data, size, &written, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  const unsigned long value = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 0;
  if (mode == "write") {
    std::string block;
    while (block.size() < 65536) block += "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\n";
    block.resize(65536);
    for (unsigned long i = 0; i < value * 16; ++i) write(block.data(), static_cast<DWORD>(block.size()));
    return 0;
  }
  if (mode == "sleep") {
    Sleep(value);
    return 0;
  }
  if (mode == "spawn") {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string line = "\"" + std::string(self) + "\" sleep " + std::to_string(value);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) return 1;
    const Quorlin::ThreadHandle thread(process.hThread);
    const Quorlin::ProcessHandle child(process.hProcess);
    write("direct\n", 7);
    return 3;
  }
  if (mode == "zero") {
    write("ab\0cd", 5);
    return 0;
  }
  return 2;
}
