#include "tests/check_runs.h"

namespace VardokTest {

TimedRun runCheck(const std::string& arguments) {
  const DWORD start = GetTickCount();
  TimedRun timed;
  timed.run = runProgram("\"" + programFolder() + "vardok-check.exe\" " + arguments);
  timed.ms = GetTickCount() - start;
  return timed;
}

std::string checkTag(const std::string& output, const std::string& key) {
  const std::string open = "<velkaro:" + key + ">", close = "</velkaro:" + key + ">";
  const size_t start = output.find(open);
  if (start == std::string::npos) return "<none>";
  return output.substr(start + open.size(), output.find(close, start) - start - open.size());
}

}  // namespace VardokTest
