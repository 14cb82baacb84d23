// The performance data a check prints for graphing tools, in the classic
// form after a '|' on its output's first line:
//
//   Disk C: 36.1% used | used=36.1%;85;95;0;100 'free space'=12GB;;;0 time=0.012s
//
// Each item is LABEL=VALUE[UNIT][;WARN;CRIT;MIN;MAX]; a label with spaces
// is quoted with ' (two for one inside). Values are read in base units:
// seconds (s, ms, us), bytes (B, KB, MB, GB, TB, by 1024), a ratio for %
// (36.1% is 0.361); a counter (c) or no unit stays as printed. An item
// whose value is no finite number ("U") is left out.
//
// Platform-free; plain functions, any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace VardokHost {

struct PerfValue {
  std::string label;
  double value = 0;   // in base units
  std::string unit;   // "seconds", "bytes", "ratio", or "" (as printed)
};

// The items of the first line of output (at most maxItems).
std::vector<PerfValue> perfValues(std::string_view output, size_t maxItems = 64);

}  // namespace VardokHost
