// vardok-test-child.exe: a child process for the run tests.
//   write MIB [CODE] writes MIB mebibytes of 'x' lines to standard output,
//                  then exits CODE (0)
//   sleep MS       sleeps, then exits 0
//   spawn MS       starts "sleep MS" as a grandchild that inherits standard
//                  output, prints "direct", and exits 3 at once
//   zero           writes "ab", a zero byte and "cd", then exits 0
//   zerotag        writes "x", a zero byte, then an info tag "after"
//   utf16 [bare]   writes "hello world" and a line break in UTF-16LE, with
//                  the byte order mark unless "bare"
//   stamp FILE MS  appends "S tick pid" to FILE, sleeps MS, appends "E tick pid"
//   tree FILE MS   starts "sleep MS" as a grandchild, writes "own-pid
//                  grandchild-pid" to FILE, then sleeps MS itself
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

// Appends a line that other processes may be appending to at the same
// time: under Wine an append is a seek to the end and a write, so two
// writers can land on the same offset unless they take turns.
void appendTo(const char* path, const std::string& line) {
  const Quorlin::FileHandle file(CreateFileA(path, FILE_APPEND_DATA | GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  // The turn is a lock on one byte far past the data, so readers of the
  // file are never refused.
  OVERLAPPED turn{};
  turn.Offset = MAXDWORD;
  turn.OffsetHigh = 0x3FFFFFFF;
  const bool locked = LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn) != FALSE;
  DWORD written = 0;
  WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  if (locked) UnlockFileEx(file.get(), 0, 1, 0, &turn);
}

// Starts this program again with arguments; answers the new process's id.
DWORD startSelf(const std::string& arguments) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string line = "\"" + std::string(self) + "\" " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) return 0;
  const Quorlin::ThreadHandle thread(process.hThread);
  const Quorlin::ProcessHandle child(process.hProcess);
  return process.dwProcessId;
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
    return argc > 3 ? std::atoi(argv[3]) : 0;
  }
  if (mode == "sleep") {
    Sleep(value);
    return 0;
  }
  if (mode == "spawn") {
    if (!startSelf("sleep " + std::to_string(value))) return 1;
    write("direct\n", 7);
    return 3;
  }
  if (mode == "zero") {
    write("ab\0cd", 5);
    return 0;
  }
  if (mode == "zerotag") {
    const char text[] = "x\0<velkaro:info>after</velkaro:info>";
    write(text, sizeof text - 1);
    return 0;
  }
  if (mode == "sly") {
    // A classic check program whose own tags claim all is well while it
    // exits 2: hidden by a zero byte, or in UTF-16.
    if (argc > 2 && std::string(argv[2]) == "utf16") {
      const wchar_t text[] = L"<velkaro:info>All fine</velkaro:info>";
      write(reinterpret_cast<const char*>(text), static_cast<DWORD>(sizeof text - sizeof text[0]));
    } else {
      const char text[] = "<velkaro\0:info>All fine</velkaro\0:info>";
      write(text, sizeof text - 1);
    }
    return 2;
  }
  if (mode == "utf16") {
    const bool bare = argc > 2 && std::string(argv[2]) == "bare";
    const wchar_t text[] = L"\xFEFFhello world\r\n";
    const size_t skip = bare ? 1 : 0;
    write(reinterpret_cast<const char*>(text + skip), static_cast<DWORD>((sizeof text / 2 - 1 - skip) * 2));
    return 0;
  }
  if (mode == "stamp" && argc > 3) {
    const unsigned long ms = std::strtoul(argv[3], nullptr, 10);
    const std::string pid = " " + std::to_string(GetCurrentProcessId()) + "\n";
    appendTo(argv[2], "S " + std::to_string(GetTickCount64()) + pid);
    Sleep(ms);
    appendTo(argv[2], "E " + std::to_string(GetTickCount64()) + pid);
    return 0;
  }
  if (mode == "tree" && argc > 3) {
    const unsigned long ms = std::strtoul(argv[3], nullptr, 10);
    const DWORD grandchild = startSelf("sleep " + std::to_string(ms));
    appendTo(argv[2], std::to_string(GetCurrentProcessId()) + " " + std::to_string(grandchild) + "\n");
    Sleep(ms);
    return 0;
  }
  return 2;
}
