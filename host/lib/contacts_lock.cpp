#include "host/lib/contacts_lock.h"

#include <windows.h>

#include "host/lib/contacts_file.h"
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

// The list's one name for every host: through links to the file itself,
// and in its long, full form.
std::string lockName(const std::string& path) {
  std::string resolved = finalPath(path);
  char full[MAX_PATH * 4];
  DWORD length = GetFullPathNameA(resolved.c_str(), sizeof full, full, nullptr);
  if (length > 0 && length < sizeof full) resolved.assign(full, length);
  length = GetLongPathNameA(resolved.c_str(), full, sizeof full);
  if (length > 0 && length < sizeof full) resolved.assign(full, length);
  return resolved + ".lock";
}

}  // namespace

std::unique_ptr<ContactsLock> ContactsLock::take(const std::string& path, std::string* refusal) {
  const std::string lockPath = lockName(path);
  Quorlin::FileHandle file(CreateFileA(lockPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                       CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    // Held: another host has it open. A lock that cannot be made for any
    // other reason (a folder this user cannot write) holds nothing, and
    // the host goes on as it did before there were locks, saying why.
    if (error == ERROR_SHARING_VIOLATION) {
      *refusal = "the contact list " + path + " is in use by " + readHolder(lockPath) + "; one host at a time";
      return nullptr;
    }
    std::unique_ptr<ContactsLock> none(new ContactsLock(Quorlin::FileHandle(), lockPath));
    none->_warning = "the contact list is not locked against a second host: " + lockPath + " cannot be made: " +
                     Quorlin::errorText(error);
    return none;
  }
  const std::string holder = holderText();
  DWORD written = 0;
  WriteFile(file.get(), holder.data(), static_cast<DWORD>(holder.size()), &written, nullptr);
  FlushFileBuffers(file.get());
  return std::unique_ptr<ContactsLock>(new ContactsLock(std::move(file), lockPath));
}

}  // namespace VardokHost
