#include "host/lib/contacts_lock.h"

#include <windows.h>

#include "support/win32_error.h"

namespace VardokHost {

namespace {

// "vardok-host.exe (process 1234)": this process, as a second host reads it.
std::string holderText() {
  char path[MAX_PATH] = "";
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string program(path, length);
  program.erase(0, program.find_last_of("\\/") + 1);
  return program + " (process " + std::to_string(GetCurrentProcessId()) + ")";
}

// What the holder wrote, read past its lock: it lets others read and
// delete, not write.
std::string readHolder(const std::string& lockPath) {
  const Quorlin::FileHandle file(CreateFileA(lockPath.c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
  if (!file) return "another host";
  char text[300];
  DWORD read = 0;
  if (!ReadFile(file.get(), text, sizeof text - 1, &read, nullptr) || read == 0) return "another host";
  return std::string(text, read);
}

}  // namespace

std::unique_ptr<ContactsLock> ContactsLock::take(const std::string& path, std::string* refusal) {
  const std::string lockPath = path + ".lock";
  Quorlin::FileHandle file(CreateFileA(lockPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                       CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED)
      *refusal = "the contact list " + path + " is in use by " + readHolder(lockPath) + "; one host at a time";
    else
      *refusal = "the contact list's lock " + lockPath + " cannot be made: " + Quorlin::errorText(error);
    return nullptr;
  }
  const std::string holder = holderText();
  DWORD written = 0;
  WriteFile(file.get(), holder.data(), static_cast<DWORD>(holder.size()), &written, nullptr);
  FlushFileBuffers(file.get());
  return std::unique_ptr<ContactsLock>(new ContactsLock(std::move(file), lockPath));
}

}  // namespace VardokHost
