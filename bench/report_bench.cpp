// Report cost against output size: line-ending normalisation plus the three
// tag look-ups, side by side with one memcpy pass over the same bytes.
// Targets: the cost per byte is flat across sizes (16 MiB within 1.5x of
// 1 MiB), and within 5x of memcpy.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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

size_t report(const std::string& input) {
  std::string output = input;
  Vardok::normalizeLineEndings(output);
  size_t sink = Vardok::getTagValue(output, "info", "OK").size();
  sink += Vardok::getTagValue(output, "notify", "").size();
  sink += static_cast<size_t>(Vardok::parseNumber(Vardok::getTagValue(output, "icon", ""), 255));
  return sink;
}

template <typename F>
double bestNanosecondsPerByte(F f, size_t bytes) {
  const int rounds = bytes >= (16u << 20) ? 5 : bytes >= (1u << 20) ? 20 : 2000;
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    const auto start = Clock::now();
    f();
    best = std::min(best, std::chrono::duration<double, std::nano>(Clock::now() - start).count());
  }
  return best / bytes;
}

}  // namespace

int main() {
  std::printf("Report cost: normalise line endings + 3 tag look-ups, ns per byte\n");
  std::printf("%-9s %-6s %-5s %9s %9s %7s   target: <= 5.0x memcpy\n", "size", "lines", "tags", "report", "memcpy",
              "ratio");
  const size_t sizes[] = {1u << 10, 1u << 20, 16u << 20};
  bool met = true;
  volatile size_t sink = 0;
  for (size_t lineLength : {8u, 4000u}) {
    for (bool tags : {false, true}) {
      double perByte[3];
      for (int i = 0; i < 3; ++i) {
        const size_t size = sizes[i];
        const std::string output = makeOutput(size, lineLength, tags);
        std::vector<char> copy(size);
        const double copyCost = bestNanosecondsPerByte([&] {
          std::memcpy(copy.data(), output.data(), size);
          sink = sink + static_cast<unsigned char>(copy[size / 2]);
        }, size);
        perByte[i] = bestNanosecondsPerByte([&] { sink = sink + report(output); }, size);
        const double ratio = perByte[i] / copyCost;
        // 1 KiB is dominated by compiling the three patterns, not by bytes.
        if (i > 0 && ratio > 5.0) met = false;
        std::printf("%-9s %-6s %-5s %9.3f %9.3f %7.1f\n", i == 0 ? "1 KiB" : i == 1 ? "1 MiB" : "16 MiB",
                    lineLength == 8 ? "short" : "long", tags ? "yes" : "no", perByte[i], copyCost, ratio);
      }
      const double flatness = perByte[2] / perByte[1];
      if (flatness > 1.5) met = false;
      std::printf("          per-byte cost 16 MiB / 1 MiB = %.2f   target: <= 1.50 (flat)\n", flatness);
    }
  }
  std::printf("report cost: %s\n", met ? "target met" : "target MISSED");
  return 0;
}
