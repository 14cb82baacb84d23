#include "host/serve/demo_list.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "host/serve/demo_site.h"

namespace VardokHost {

namespace {

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// A command as the shell would see it: %VARIABLES% expanded, any case.
std::string expanded(const std::string& command) {
  char buffer[4096];
  const DWORD length = ExpandEnvironmentStringsA(command.c_str(), buffer, sizeof buffer);
  return lowered(length && length <= sizeof buffer ? std::string(buffer) : command);
}

// Why a check cannot be well in this run, or nothing.
std::string missing(const DemoReach& reach, const std::string& command) {
  const std::string text = expanded(command);
  if (!reach.plainPage && text.find("127.0.0.82") != std::string::npos)
    return "the demo page on 127.0.0.82 is not served" + (reach.plainWhy.empty() ? "" : " (" + reach.plainWhy + ")");
  if (!reach.securePage && text.find("localhost:" + std::to_string(kDemoHttpsPort)) != std::string::npos)
    return "the demo page is not served over HTTPS (" +
           (reach.secureWhy.empty() ? std::string("no test certificate here") : reach.secureWhy) + ")";
  if (!reach.listFile && !reach.listPath.empty() && text.find(lowered(reach.listPath)) != std::string::npos)
    return "the list has no file in this run";
  return std::string();
}

}  // namespace

std::vector<std::string> fitDemoList(const DemoReach& reach, std::vector<ContactEntry>* contacts) {
  std::vector<std::string> said;
  for (ContactEntry& entry : *contacts) {
    if (!entry.enabled) continue;
    const std::string why = missing(reach, entry.command);
    if (why.empty()) continue;
    entry.enabled = 0;
    entry.changed = true;
    said.push_back("\"" + entry.name + "\" is off: " + why);
  }
  return said;
}

void serveDemo(HostSession& session, bool listFile, const std::function<void(const std::string&)>& say) {
  auto site = std::make_unique<DemoSite>(startDemoSite(say));
  if (session.builtInList()) {
    const DemoReach reach{site->plain != nullptr, site->secure != nullptr, listFile, session.filePath(),
                          site->plainWhy, site->secureWhy};
    for (const std::string& line : fitDemoList(reach, &session.listContacts())) say(line);
  }
  session.serve(std::move(site));
}

}  // namespace VardokHost
