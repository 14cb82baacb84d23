#include "host/testing/process_info.h"

#include <windows.h>
#include <tlhelp32.h>

#include "support/threads/unique_handle.h"

namespace VardokHost {

int countOpenHandles() {
  // Handle values are multiples of 4; a process here holds far fewer than
  // 64 Ki of them.
  int count = 0;
  for (ULONG_PTR value = 4; value < 0x40000; value += 4) {
    DWORD flags;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  }
  return count;
}

int countThreads() {
  const Quorlin::SnapshotHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL ok = Thread32First(snapshot.get(), &entry); ok; ok = Thread32Next(snapshot.get(), &entry))
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  return count;
}

int countChildProcesses() {
  const Quorlin::SnapshotHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL ok = Process32First(snapshot.get(), &entry); ok; ok = Process32Next(snapshot.get(), &entry))
    if (entry.th32ParentProcessID == GetCurrentProcessId()) ++count;
  return count;
}

}  // namespace VardokHost
