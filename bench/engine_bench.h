// The plug-in's check engine in a host, as the benchmarks drive it: the
// plug-in's static library (the same optimised code as the DLL) in a
// ContactHost, with the firings and run starts observed.
//
// Main thread only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/lib/contact_host.h"

namespace VardokBench {

// What a window of scheduled runs gave.
struct ScaleResult {
  double seconds = 0;
  size_t runs = 0;             // runs started in the window
  size_t neverRan = 0;         // contacts with no run at all
  size_t fewestRuns = 0;       // of any contact
  double p50LateMs = 0, p99LateMs = 0;  // due time to start
  double longestGapMs = 0;     // between a contact's runs (or the window's ends)
  double longestWaitMs = 0;    // the main thread's longest single alertable wait
  size_t firingsInLongestWait = 0;  // timer routines that ran in it
  double longestIdleSleepMs = 0;    // what a thread that only sleeps saw meanwhile
};

class EngineBench {
 public:
  EngineBench();
  ~EngineBench();

  int add(const std::string& command, int interval, int enabled);
  void disable(int contact);
  VardokHost::ContactHost& host() { return _host; }

  // One scheduled run of the contact: from its timer's firing to the end
  // of its report, in ms.
  double fireToReport(int contact);
  // contacts enabled contacts of command at interval 1 s, for seconds.
  ScaleResult scale(const std::string& command, int contacts, double seconds);

 private:
  VardokHost::ContactHost _host;
  std::unique_ptr<VardokHost::PluginModule> _plugin;
  int _interval = 0, _enabled = 0;
};

}  // namespace VardokBench
