#include "host/lib/contacts_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>

#include <windows.h>

#include "host/lib/host_text.h"
#include "host/lib/plugin_module.h"
#include "support/threads/unique_handle.h"
#include "support/win32_error.h"

namespace VardokHost {

std::string& entryText(ContactEntry& entry, Vardok::CheckColumnIndex) { return entry.command; }

int& entryNumber(ContactEntry& entry, Vardok::CheckColumnIndex column) {
  return column == Vardok::kEnabledColumn ? entry.enabled : entry.interval;
}


namespace {

std::string trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  while (from < text.size()) {
    size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(from, end - from);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    from = end + 1;
  }
  return lines;
}

}  // namespace

bool parseInt(const std::string& text, int* value) {
  // Digits, with a '-' before them or not; leading zeros are taken, as
  // vardok-check takes them. Nothing else: no '+', no spaces inside.
  const size_t digits = text.compare(0, 1, "-") == 0 ? 1 : 0;
  if (text.size() == digits || text.find_first_not_of("0123456789", digits) != std::string::npos) return false;
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || errno == ERANGE || parsed < INT32_MIN || parsed > INT32_MAX) return false;
  *value = static_cast<int>(parsed);
  return true;
}

bool parseSwitch(const std::string& text, int* value) {
  if (text == "yes" || text == "on") return *value = 1, true;
  if (text == "no" || text == "off") return *value = 0, true;
  return parseInt(text, value);
}

std::string nameProblem(const std::string& name) {
  if (name.find_first_not_of(" \t") == std::string::npos) return "a name is needed";
  if (name.find_first_of("\r\n") != std::string::npos) return "a name may not hold a line break";
  if (name.front() == '#') return "a name may not begin with '#': the file would read the line as a comment";
  if (name.front() == ' ' || name.front() == '\t' || name.back() == ' ' || name.back() == '\t')
    return "a name may not begin or end with a space";
  if (name.find('|') != std::string::npos) return "a name may not hold '|': it parts the fields of the file";
  if (!fitsHostText(name)) return "the name has a character that Windows-1250 cannot hold";
  return std::string();
}

std::string commandProblem(const std::string& command) {
  if (command.find_first_of("\r\n") != std::string::npos) return "a command may not hold a line break";
  if (!command.empty() && (command.front() == ' ' || command.front() == '\t' || command.back() == ' ' ||
                           command.back() == '\t'))
    return "a command may not begin or end with a space";
  if (!fitsHostText(command)) return "the command has a character that Windows-1250 cannot hold";
  return std::string();
}

namespace {

// The name a "#id ID NAME" line names, its id in *id; empty for any other
// line.
std::string idLineOf(const std::string& line, std::string* id) {
  const std::string text = trim(line);
  if (text.compare(0, 4, "#id ") != 0) return std::string();
  const std::string rest = trim(text.substr(4));
  const size_t gap = rest.find_first_of(" \t");
  if (gap == std::string::npos) return std::string();
  *id = rest.substr(0, gap);
  return trim(rest.substr(gap));
}

}  // namespace

bool parseContacts(const std::string& input, const std::string& name, ContactsFile* out, std::string* error) {
  static const char kMark[] = "\xEF\xBB\xBF";
  out->byteOrderMark = input.compare(0, 3, kMark) == 0;
  const std::string text = out->byteOrderMark ? input.substr(3) : input;
  const size_t firstBreak = text.find('\n');
  out->crlf = firstBreak != std::string::npos && firstBreak > 0 && text[firstBreak - 1] == '\r';
  out->lines = splitLines(text);
  out->contacts.clear();
  for (size_t i = 0; i < out->lines.size(); ++i) {
    const std::string line = trim(out->lines[i]);
    if (line.empty() || line[0] == '#') continue;
    auto fail = [&](const std::string& why) {
      *error = name + ":" + std::to_string(i + 1) + ": " + why;
      return false;
    };
    std::vector<std::string> fields;
    size_t from = 0;
    for (int field = 0; field < 4; ++field) {
      const size_t bar = line.find('|', from);
      if (bar == std::string::npos)
        return fail("expected 'name | network | interval | enabled | command'");
      fields.push_back(trim(line.substr(from, bar - from)));
      from = bar + 1;
    }
    fields.push_back(trim(line.substr(from)));

    ContactEntry entry;
    entry.name = fields[0];
    entry.command = fields[4];
    entry.line = static_cast<int>(i);
    // "#id ID NAME" right above, naming this contact (a line an older host
    // left behind above another contact is a comment).
    if (i > 0 && idLineOf(out->lines[i - 1], &entry.id) == entry.name) entry.idLine = static_cast<int>(i - 1);
    if (entry.idLine < 0) entry.id.clear();
    if (entry.name.empty()) return fail("the name is empty");
    if (!parseInt(fields[1], &entry.network)) return fail("the network '" + fields[1] + "' is not a number");
    if (!parseInt(fields[2], &entry.interval)) return fail("the interval '" + fields[2] + "' is not a number");
    if (!parseSwitch(fields[3], &entry.enabled))
      return fail("enabled must be 0, 1, yes, no, on or off, not '" + fields[3] + "'");
    out->contacts.push_back(entry);
  }
  return true;
}

std::string formatContact(const ContactEntry& entry) {
  const std::string enabled = entry.enabled == 1 ? "yes" : entry.enabled == 0 ? "no" : std::to_string(entry.enabled);
  return entry.name + " | " + std::to_string(entry.network) + " | " + std::to_string(entry.interval) + " | " +
         enabled + " | " + entry.command;
}

std::string renderContacts(const ContactsFile& file, const std::vector<ContactEntry>& current) {
  std::vector<const ContactEntry*> atLine(file.lines.size(), nullptr);
  std::vector<bool> contactLine(file.lines.size(), false), idLine(file.lines.size(), false);
  for (const ContactEntry& old : file.contacts) {
    contactLine[old.line] = true;
    if (old.idLine >= 0) idLine[old.idLine] = true;
  }
  for (const ContactEntry& entry : current)
    if (entry.line >= 0 && entry.line < static_cast<int>(atLine.size())) atLine[entry.line] = &entry;

  const char* const eol = file.crlf ? "\r\n" : "\n";
  std::string text = file.byteOrderMark ? "\xEF\xBB\xBF" : "";
  // A contact's id line goes with it: kept as it was while the id is.
  auto idLineAbove = [&](const ContactEntry& entry) {
    if (entry.id.empty()) return std::string();
    std::string id;
    const bool same = entry.idLine >= 0 && entry.idLine < static_cast<int>(file.lines.size()) &&
                      idLineOf(file.lines[entry.idLine], &id) == entry.name && id == entry.id;
    return (same ? file.lines[entry.idLine] : "#id " + entry.id + " " + entry.name) + eol;
  };
  for (size_t i = 0; i < file.lines.size(); ++i) {
    if (idLine[i]) continue;
    if (!contactLine[i]) {
      text += file.lines[i] + eol;
    } else if (const ContactEntry* entry = atLine[i]) {
      text += idLineAbove(*entry) + (entry->changed ? formatContact(*entry) : file.lines[i]) + eol;
    }
  }
  for (const ContactEntry& entry : current)
    if (entry.line < 0) text += idLineAbove(entry) + formatContact(entry) + eol;
  return text;
}

std::string historyKey(const ContactEntry& entry) { return entry.id.empty() ? "name:" + entry.name : entry.id; }

std::string newContactId() {
  static std::mutex lock;
  static std::mt19937_64 random = [] {
    std::random_device device;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return std::mt19937_64((static_cast<uint64_t>(device()) << 32) ^ now.dwLowDateTime ^
                           (static_cast<uint64_t>(GetCurrentProcessId()) << 16));
  }();
  std::lock_guard<std::mutex> hold(lock);
  char text[16];
  snprintf(text, sizeof text, "%012llx", static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
  return text;
}

bool separateHistoryKeys(std::vector<ContactEntry>& contacts) {
  std::set<std::string> taken;
  bool gave = false;
  for (ContactEntry& entry : contacts) {
    if (!taken.insert(historyKey(entry)).second) {
      entry.id = newContactId();
      taken.insert(entry.id);
      gave = true;
    }
  }
  return gave;
}

FilePresence filePresence(const std::string& path, std::string* error) {
  if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return FilePresence::Present;
  const DWORD looked = GetLastError();
  if (looked != ERROR_FILE_NOT_FOUND && looked != ERROR_PATH_NOT_FOUND) {
    *error = "cannot look at " + path + ": " + Quorlin::errorText(looked);
    return FilePresence::Unknown;
  }
  // A link whose target is gone answers "not found" too; its folder still
  // lists it.
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(path.c_str(), &found);
  const DWORD listed = GetLastError();
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  if (search == INVALID_HANDLE_VALUE && (listed == ERROR_FILE_NOT_FOUND || listed == ERROR_PATH_NOT_FOUND))
    return FilePresence::Missing;
  *error = "cannot read " + path + ": it is there, but " +
           (search == INVALID_HANDLE_VALUE ? "what it points to is not" : "cannot be looked at") + " (" +
           Quorlin::errorText(looked) + ")";
  return FilePresence::Unknown;
}

bool readTextFile(const std::string& path, std::string* text, std::string* error) {
  // Others may write and rename meanwhile: a host saves by renaming a whole
  // file over this one, so what is read here is always whole.
  const Quorlin::FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) {
    *error = "cannot open " + path + ": " + Quorlin::errorText(GetLastError());
    return false;
  }
  text->clear();
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) text->append(buffer, read);
  return true;
}

std::string finalPath(const std::string& path) {
  const Quorlin::FileHandle file(
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return path;
  char buffer[MAX_PATH * 4];
  const DWORD length = GetFinalPathNameByHandleA(file.get(), buffer, sizeof buffer, FILE_NAME_NORMALIZED);
  if (length == 0 || length >= sizeof buffer) return path;
  std::string resolved(buffer, length);
  if (resolved.compare(0, 4, "\\\\?\\") == 0) resolved.erase(0, 4);
  // The same file by another spelling keeps the name it was given.
  return _stricmp(resolved.c_str(), path.c_str()) == 0 ? path : resolved;
}

bool replaceTextFile(const std::string& named, const std::string& text, std::string* error) {
  const std::string path = finalPath(named);
  const std::string temporary = path + ".new";
  bool ok;
  {
    Quorlin::FileHandle file(
        CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      *error = "cannot write " + temporary + ": " + Quorlin::errorText(GetLastError());
      return false;
    }
    DWORD written = 0;
    ok = WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size() && FlushFileBuffers(file.get());
  }
  if (ok) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
      *error = path + " is read-only: it was left as it is, and the changes are in " + temporary;
      return false;
    }
  }
  // The error is read before anything else can change it.
  ok = ok && MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) {
    *error = "cannot save " + path + ": " + Quorlin::errorText(GetLastError());
    DeleteFileA(temporary.c_str());
    return false;
  }
  return true;
}

std::string defaultContactsPath() {
  char appData[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA("APPDATA", appData, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return programFolder() + "contacts.txt";
  const std::string folder = std::string(appData) + "\\Vardok";
  CreateDirectoryA(folder.c_str(), nullptr);
  return folder + "\\contacts.txt";
}

bool loadContactList(const std::string& path, std::string* usedPath, ContactsFile* file, bool* usedDemo,
                     std::string* error) {
  std::string text;
  *usedDemo = false;
  if (!path.empty()) {
    *usedPath = path;
    if (!readTextFile(path, &text, error)) return false;
  } else {
    *usedPath = defaultContactsPath();
    const FilePresence presence = filePresence(*usedPath, error);
    if (presence == FilePresence::Unknown) return false;
    if (presence == FilePresence::Missing) {
      text = kDefaultContacts;
      *usedDemo = true;
    } else if (!readTextFile(*usedPath, &text, error)) {
      return false;
    }
  }
  if (!parseContacts(text, *usedPath, file, error)) return false;
  // A character the host cannot hold is an error, not a silent '?'.
  for (const ContactEntry& entry : file->contacts) {
    const char* field = !fitsHostText(entry.name) ? "name" : !fitsHostText(entry.command) ? "command" : nullptr;
    if (!field) continue;
    const std::string& bad = *field == 'n' ? entry.name : entry.command;
    *error = *usedPath + ":" + std::to_string(entry.line + 1) + ": the " + field +
             (isUtf8(bad) ? " has a character that Windows-1250 cannot hold"
                          : " is not UTF-8: was the file saved as Windows-1250? Save it as UTF-8");
    return false;
  }
  return true;
}

}  // namespace VardokHost
