// The checks of this machine: disk space, a file's age, processes and
// services.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <vector>

#include "support/threads/unique_handle.h"
#include "tools/check/error_words.h"
#include "tools/check/checks.h"
#include "tools/check/command_line.h"

namespace VardokCheck {

namespace {

std::string gigabytes(ULONGLONG bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0));
  return text;
}

// The service control manager's handles: null is invalid.
struct ServiceHandleTraits {
  using Type = SC_HANDLE;
  static Type invalid() noexcept { return nullptr; }
  static void close(Type handle) noexcept { CloseServiceHandle(handle); }
};
using ServiceHandle = Quorlin::UniqueHandle<ServiceHandleTraits>;

// A size such as "10GB", "512MB" or "2048" (bytes); units are of 1024,
// in any letter case. Absent: -1.
int64_t sizeOption(const Arguments& arguments, const std::string& option) {
  if (!arguments.has(option)) return -1;
  std::string text = arguments.text(option);
  static const struct {
    const char* unit;
    int64_t bytes;
  } kUnits[] = {{"TB", 1LL << 40}, {"GB", 1LL << 30}, {"MB", 1LL << 20}, {"KB", 1LL << 10}, {"B", 1}};
  int64_t scale = 1;
  for (const auto& unit : kUnits) {
    const size_t length = std::strlen(unit.unit);
    if (text.size() > length && _stricmp(text.c_str() + text.size() - length, unit.unit) == 0) {
      scale = unit.bytes;
      text.resize(text.size() - length);
      break;
    }
  }
  if (text.empty() || text.size() > 15 || text.find_first_not_of("0123456789") != std::string::npos ||
      std::stoll(text) > INT64_MAX / scale)
    throw UsageError(option + " needs a size such as 10GB, not \"" + arguments.text(option) + "\"");
  return std::stoll(text) * scale;
}

std::string oneArgument(const Arguments& arguments, const char* what) {
  if (arguments.positional().size() != 1) throw UsageError(std::string("needs one ") + what);
  return arguments.positional()[0];
}

}  // namespace

std::string durationText(int64_t seconds) {
  const int64_t units[] = {86400, 3600, 60, 1};
  const char* names[] = {"d", "h", "min", "s"};
  for (int i = 0; i < 3; ++i) {
    if (seconds < units[i]) continue;
    const int64_t big = seconds / units[i], small = seconds % units[i] / units[i + 1];
    return std::to_string(big) + " " + names[i] + (small ? " " + std::to_string(small) + " " + names[i + 1] : "");
  }
  return std::to_string(seconds) + " s";
}

Outcome checkDisk(const Args& args) {
  const Arguments arguments(args, {"--warn", "--crit", "--warn-free", "--crit-free"});
  if (arguments.positional().size() > 1) throw UsageError("takes one drive");
  // Limits on the used share, on the free space, or both.
  const bool byFree = arguments.has("--warn-free") || arguments.has("--crit-free");
  const int64_t warn = arguments.number("--warn", 0, 100, !byFree, -1);
  const int64_t crit = arguments.number("--crit", 0, 100, !byFree, -1);
  requireOrder(warn, crit);
  const int64_t warnFree = sizeOption(arguments, "--warn-free");
  const int64_t critFree = sizeOption(arguments, "--crit-free");
  if (warnFree >= 0 && critFree >= 0 && critFree > warnFree)
    throw UsageError("--crit-free must not be above --warn-free");
  std::string drive = arguments.positional().empty() ? "C:" : expandEnvironment(arguments.positional()[0]);
  if (drive.size() == 1) drive += ':';
  std::string root = drive;
  if (root.back() != '\\' && root.back() != '/') root += '\\';
  if (!drive.empty() && (drive.back() == '\\' || drive.back() == '/')) drive.pop_back();

  ULARGE_INTEGER available, total, free;
  if (!GetDiskFreeSpaceExA(root.c_str(), &available, &total, &free) || total.QuadPart == 0)
    return {Level::Critical, "Disk " + drive + " cannot be read: " + errorWords(GetLastError()),
            drive + " cannot be read"};
  const ULONGLONG used = total.QuadPart - free.QuadPart;
  // The exact share against each limit (used x 100 above limit x total): a
  // share rounded down first would let 99.5% pass --crit 99. Long double
  // holds every 64-bit size exactly.
  const auto above = [&](int64_t limit) {
    return static_cast<long double>(used) * 100 > static_cast<long double>(limit) * total.QuadPart;
  };
  const auto below = [&](int64_t limit) { return limit >= 0 && free.QuadPart < static_cast<ULONGLONG>(limit); };
  const Level level = (crit >= 0 && above(crit)) || below(critFree)   ? Level::Critical
                      : (warn >= 0 && above(warn)) || below(warnFree) ? Level::Problem
                                                                       : Level::Well;
  char share[16];
  snprintf(share, sizeof share, "%.1f", static_cast<double>(static_cast<long double>(used) * 100 / total.QuadPart));
  const std::string percent = share;
  std::string line = "Disk " + drive + " " + percent + "% used, " + gigabytes(free.QuadPart) +
                     " free of " + gigabytes(total.QuadPart);
  if (level == Level::Critical)
    line += below(critFree) ? " (critical below " + gigabytes(critFree) + " free)" : " (critical above " + std::to_string(crit) + "%)";
  else if (level == Level::Problem)
    line += below(warnFree) ? " (warning below " + gigabytes(warnFree) + " free)" : " (warning above " + std::to_string(warn) + "%)";
  Outcome outcome{level, line, drive + " " + percent + "% used"};
  outcome.perfdata = perfItem("used", percent, "%", static_cast<double>(warn), static_cast<double>(crit), 0, 100) + " " +
                     perfItem("free", std::to_string(free.QuadPart), "B", static_cast<double>(warnFree),
                              static_cast<double>(critFree), 0, static_cast<double>(total.QuadPart));
  return outcome;
}

Outcome checkFileAge(const Args& args) {
  const Arguments arguments(args, {"--warn", "--crit"});
  const std::string path = expandEnvironment(oneArgument(arguments, "path"));
  const int64_t warn = arguments.number("--warn", 0, 999999999, true);
  const int64_t crit = arguments.number("--crit", 0, 999999999, true);
  requireOrder(warn, crit);
  const std::string name = path.substr(path.find_last_of("\\/") + 1);

  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
    return {Level::Critical, "File " + path + " is missing (error " + std::to_string(GetLastError()) + ")",
            name + " missing"};
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const auto ticks = [](const FILETIME& t) {
    return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  // A time in the future (a clock set back) counts as new.
  int64_t age = (ticks(now) - ticks(data.ftLastWriteTime)) / 10000000;
  if (age < 0) age = 0;
  const Level level = judge(age, warn, crit);
  std::string line = "File " + path + " is " + durationText(age) + " old";
  if (level != Level::Well)
    line += " (" + std::string(level == Level::Critical ? "critical" : "warning") + " above " +
            durationText(level == Level::Critical ? crit : warn) + ")";
  Outcome outcome{level, line, name + " " + durationText(age) + " old"};
  outcome.perfdata = perfItem("age", std::to_string(age), "s", static_cast<double>(warn), static_cast<double>(crit), 0);
  return outcome;
}

Outcome checkProcess(const Args& args) {
  const Arguments arguments(args, {"--min", "--max", "--warn-min", "--warn-max"}, {"process name"});
  std::string image = oneArgument(arguments, "process name");
  const int64_t minimum = arguments.number("--min", 0, 1000000, false, 1);
  const int64_t maximum = arguments.number("--max", 0, 1000000, false, -1);
  // A band inside the critical bounds where the count is only a problem.
  const int64_t warnMinimum = arguments.number("--warn-min", 0, 1000000, false, -1);
  const int64_t warnMaximum = arguments.number("--warn-max", 0, 1000000, false, -1);
  if (warnMinimum >= 0 && warnMinimum < minimum) throw UsageError("--warn-min must not be below --min");
  if (warnMaximum >= 0 && maximum >= 0 && warnMaximum > maximum) throw UsageError("--warn-max must not be above --max");
  if (maximum >= 0 && minimum > maximum)
    throw UsageError(arguments.has("--min") ? "--min must not be above --max"
                                            : "--max " + std::to_string(maximum) +
                                                  " is below the least count, 1: to check that none runs, give --min 0 too");
  // Several names apart by commas count together ("vardok-host,vardok-desk").
  std::vector<std::string> images;
  for (size_t start = 0; start <= image.size();) {
    const size_t comma = std::min(image.find(',', start), image.size());
    std::string one = image.substr(start, comma - start);
    if (one.empty()) throw UsageError("the process name \"" + image + "\" has an empty name in it");
    if (one.find('.') == std::string::npos) one += ".exe";
    images.push_back(one);
    start = comma + 1;
  }
  image.clear();
  for (const std::string& one : images) image += (image.empty() ? "" : ",") + one;

  const Quorlin::SnapshotHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot)
    return {Level::Critical, "Processes cannot be listed: " + errorWords(GetLastError()),
            "no process list"};
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int64_t count = 0;
  for (BOOL ok = Process32First(snapshot.get(), &entry); ok; ok = Process32Next(snapshot.get(), &entry))
    for (const std::string& one : images)
      if (_stricmp(entry.szExeFile, one.c_str()) == 0) ++count;

  const bool few = count < minimum, many = maximum >= 0 && count > maximum;
  const bool rather = !few && !many && ((warnMinimum >= 0 && count < warnMinimum) || (warnMaximum >= 0 && count > warnMaximum));
  std::string line = "Process " + image + ": " + std::to_string(count) + " running";
  if (few) line += " (at least " + std::to_string(minimum) + " expected)";
  if (many) line += " (at most " + std::to_string(maximum) + " expected)";
  if (rather)
    line += warnMinimum >= 0 && count < warnMinimum ? " (at least " + std::to_string(warnMinimum) + " wanted)"
                                                     : " (at most " + std::to_string(warnMaximum) + " wanted)";
  Outcome outcome{few || many ? Level::Critical : rather ? Level::Problem : Level::Well, line,
                  std::to_string(count) + " x " + image};
  // Ranges in the classic form: "2:" at least 2, "1:3" from 1 to 3.
  const auto range = [](int64_t low, int64_t high) {
    if (low < 0 && high < 0) return std::string();
    return (low >= 0 ? std::to_string(low) : std::string()) + ":" + (high >= 0 ? std::to_string(high) : std::string());
  };
  outcome.perfdata = "count=" + std::to_string(count) + ";" + range(warnMinimum, warnMaximum) + ";" +
                     range(minimum, maximum) + ";0";
  return outcome;
}

Outcome checkService(const Args& args) {
  const Arguments arguments(args, {});
  const std::string name = oneArgument(arguments, "service name");
  const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager)
    return {Level::Critical, "Services cannot be asked (error " + std::to_string(GetLastError()) + ")",
            "no service manager"};
  const ServiceHandle service(OpenServiceA(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
  if (!service) {
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST)
      return {Level::Critical, "Service " + name + " is not installed", name + " not installed"};
    return {Level::Critical, "Service " + name + " cannot be asked (error " + std::to_string(error) + ")",
            name + " unknown"};
  }
  SERVICE_STATUS status;
  if (!QueryServiceStatus(service.get(), &status))
    return {Level::Critical, "Service " + name + " cannot be asked (error " + std::to_string(GetLastError()) + ")",
            name + " unknown"};
  struct State {
    DWORD code;
    const char* text;
    Level level;
  };
  static const State states[] = {
      {SERVICE_RUNNING, "running", Level::Well},
      {SERVICE_STOPPED, "stopped", Level::Critical},
      {SERVICE_START_PENDING, "starting", Level::Problem},
      {SERVICE_STOP_PENDING, "stopping", Level::Problem},
      {SERVICE_CONTINUE_PENDING, "resuming", Level::Problem},
      {SERVICE_PAUSE_PENDING, "pausing", Level::Problem},
      {SERVICE_PAUSED, "paused", Level::Problem},
  };
  for (const State& state : states)
    if (state.code == status.dwCurrentState)
    if (state.code == status.dwCurrentState) {
      Outcome outcome{state.level, "Service " + name + " is " + state.text, name + " " + state.text};
      outcome.perfdata = perfItem("running", status.dwCurrentState == SERVICE_RUNNING ? "1" : "0", "", -1, -1, 0, 1);
      return outcome;
    }
  return {Level::Critical, "Service " + name + " is in state " + std::to_string(status.dwCurrentState),
          name + " state " + std::to_string(status.dwCurrentState)};
}

}  // namespace VardokCheck
