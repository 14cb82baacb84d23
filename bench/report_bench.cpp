// Report cost against output size and line shape: what the report does to
// a run's output (normalise line endings, read the three tags, the icon's
// number) beside one memcpy pass over the same bytes, the two interleaved
// in random order over many rounds. Built natively and for Windows (run
// under Wine): the figures of both builds.
// Targets: within 5x memcpy, and flat per byte (16 MiB within 1.5x of 1 MiB).
//   report_bench [ROUNDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "checks/line_endings.h"
#include "checks/result_tags.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string makeOutput(size_t size, size_t lineLength, bool tags) {
  std::string line(lineLength, 'x');
  line += '\n';
  std::string out;
  out.reserve(size + line.size());
  if (tags) out += "<velkaro:info>Disk full</velkaro:info>\n<velkaro:icon>#10</velkaro:icon>\n";
  while (out.size() < size) out += line;
  out.resize(size);
  return out;
}

// What the report does with an output it has been handed (it owns it:
// the copy here stands for the run's own buffer and is timed apart).
size_t report(std::string& output) {
  Vardok::normalizeLineEndings(output);
  const Vardok::ResultTags tags = Vardok::readTags(output, "OK", "fine");
  return tags.info.size() + tags.notify.size() + static_cast<size_t>(Vardok::parseNumber(tags.icon, 255));
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(40, std::atoi(argv[1])) : 40;
  std::printf("Report cost: normalise line endings + one-pass tags, ns per byte; %d rounds, interleaved with memcpy\n",
              rounds);
  std::printf("%-7s %-6s %-5s %9s %9s %8s %8s   target: median <= 5.0x memcpy\n", "size", "lines", "tags", "report",
              "memcpy", "median", "min");
  const size_t sizes[] = {1u << 20, 16u << 20};
  bool met = true;
  double nineByteLines[2] = {0, 0};  // the ratios of 9-byte lines without tags, 1 MiB and 16 MiB
  volatile size_t sink = 0;
  std::mt19937 random(42);
  for (size_t lineLength : {8u, 80u, 4000u}) {
    for (bool tags : {false, true}) {
      double perByte[2];
      for (int i = 0; i < 2; ++i) {
        const size_t size = sizes[i];
        const std::string output = makeOutput(size, lineLength, tags);
        std::vector<char> target(size);
        std::string work;
        std::vector<double> copies, reports, ratios;
        for (int r = 0; r < rounds; ++r) {
          work = output;  // untimed: the run's buffer
          double copyNs = 0, reportNs = 0;
          const bool copyFirst = random() & 1;
          for (int k = 0; k < 2; ++k) {
            const auto start = Clock::now();
            if ((k == 0) == copyFirst) {
              std::memcpy(target.data(), output.data(), size);
              sink = sink + static_cast<unsigned char>(target[size / 2]);
              copyNs = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
            } else {
              sink = sink + report(work);
              reportNs = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
            }
          }
          copies.push_back(copyNs / size);
          reports.push_back(reportNs / size);
          ratios.push_back(reportNs / copyNs);
        }
        perByte[i] = median(reports);
        const double ratio = median(ratios);
        if (ratio > 5.0) met = false;
        if (lineLength == 8 && !tags) nineByteLines[i] = ratio;
        std::printf("%-7s %-6zu %-5s %9.3f %9.3f %8.2f %8.2f\n", i == 0 ? "1 MiB" : "16 MiB", lineLength + 1,
                    tags ? "yes" : "no", perByte[i], median(copies), ratio, *std::min_element(ratios.begin(), ratios.end()));
      }
      const double flatness = perByte[1] / perByte[0];
      if (flatness > 1.5) met = false;
      std::printf("        per-byte cost 16 MiB / 1 MiB = %.2f   target: <= 1.50 (flat)\n", flatness);
    }
  }
  for (int i = 0; i < 2; ++i)
    std::printf("9-byte lines at %s: %.2fx memcpy   target <= 5.0x   %s\n", i == 0 ? "1 MiB" : "16 MiB",
                nineByteLines[i], nineByteLines[i] <= 5.0 ? "met" : "MISSED");
  std::printf("report cost: %s\n", met ? "target met" : "target MISSED");
  return 0;
}
