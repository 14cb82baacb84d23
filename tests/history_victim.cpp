// history-victim.exe DB PROGRESS: writes history as a busy host does (50
// contacts, each every 250 ms: 200 results a second) until it is killed,
// and after each round writes the round's time to PROGRESS, so that a test
// that kills it knows what it had recorded by then.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <windows.h>

#include "host/history/history_store.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: history-victim DB PROGRESS\n");
    return 2;
  }
  VardokHost::HistoryStore store(argv[1]);
  std::vector<int> contacts;
  for (int i = 0; i < 50; ++i) contacts.push_back(store.contact("c" + std::to_string(i)));
  for (;;) {
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    for (size_t i = 0; i < contacts.size(); ++i) {
      VardokHost::RawResult result;
      result.timeMs = now;
      result.verdict = (now / 1000 + i) % 7 == 0 ? VardokHost::Verdict::Critical : VardokHost::Verdict::Well;
      result.durationMs = static_cast<int32_t>(10 + i);
      result.hasPerf = true;
      result.perf = 0.5 * static_cast<double>(i);
      store.record(contacts[i], result, 60000, result.verdict == VardokHost::Verdict::Well ? "fine" : "down");
    }
    // The round's time, whole before it is seen: written beside, then
    // renamed over.
    const std::string progress = argv[2], next = progress + ".new";
    if (FILE* file = std::fopen(next.c_str(), "wb")) {
      std::fprintf(file, "%lld", static_cast<long long>(now));
      std::fclose(file);
      MoveFileExA(next.c_str(), progress.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}
