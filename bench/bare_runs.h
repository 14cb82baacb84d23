// What a check costs without the plug-in: a child process started and read
// as the plug-in does it, by hand, and a WinINet GET. The ceilings the
// benchmarks hold the plug-in against.
#pragma once

#include <string>

namespace VardokBench {

// CreateProcessA of command with an anonymous pipe for its output, NUL for
// its input, the same inherit list as the plug-in (those two handles),
// CREATE_NO_WINDOW; reads until the pipe breaks, then waits for the child.
void bareProcessRun(const char* command);
// Runs per second that `threads` threads reach with bare runs for seconds.
double bareProcessRate(int threads, double seconds, const char* command);
// GET of path from host:80 with WinINet, the body read in 500-byte chunks
// and the "Error" header queried.
void bareHttpGet(const std::string& host, const std::string& path);

}  // namespace VardokBench
