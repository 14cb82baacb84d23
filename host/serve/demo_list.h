// The built-in demo list, fitted to what this run has, so that a new
// user's first look shows working checks rather than failures that say
// nothing about the plug-in.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/lib/contacts_file.h"
#include "host/lib/host_session.h"

namespace VardokHost {

// What the demo list's checks need, and whether this run has it.
struct DemoReach {
  bool plainPage = true;   // the demo page on 127.0.0.82:80 is served
  bool securePage = true;  // the demo page over HTTPS on localhost is served
  bool listFile = true;    // the list is in its file (--once saves none)
  std::string listPath;    // where the list's file is, or is to be
  // Why a page is not served, when the run knows (a port in use).
  std::string plainWhy, secureWhy;
};

// Turns off (and marks changed) each enabled check of the list that asks
// for what this run does not have: a demo page that is not served (a
// release package carries no certificate, so no HTTPS page), or the list's
// own file while it has none. Returns one line in words for each turned off.
std::vector<std::string> fitDemoList(const DemoReach& reach, std::vector<ContactEntry>* contacts);

// Serves the demo site for a session that has read its list and not yet
// started, and fits the list to it when it is the built-in demo list
// (listFile: whether this run saves the list). say hears each line in words.
void serveDemo(HostSession& session, bool listFile, const std::function<void(const std::string&)>& say);

}  // namespace VardokHost
