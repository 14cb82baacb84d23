#include "bench/measure.h"

#include <algorithm>
#include <numeric>
#include <random>

#include <windows.h>

namespace VardokBench {

int64_t now() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

double milliseconds(int64_t ticks) {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  return ticks * 1000.0 / frequency;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t at = std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5));
  return values[at];
}

double median(std::vector<double> values) { return percentile(std::move(values), 0.5); }

double minimum(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

std::vector<std::vector<double>> interleave(int rounds, const std::vector<std::function<double()>>& variants) {
  std::vector<std::vector<double>> samples(variants.size());
  std::vector<size_t> order(variants.size());
  std::iota(order.begin(), order.end(), 0);
  std::mt19937 random(static_cast<unsigned>(GetTickCount()));
  for (int round = 0; round < rounds; ++round) {
    std::shuffle(order.begin(), order.end(), random);
    for (size_t which : order) samples[which].push_back(variants[which]());
  }
  return samples;
}

std::vector<double> ratios(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> out;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i)
    if (b[i] > 0) out.push_back(a[i] / b[i]);
  return out;
}

bool printRatio(const char* what, const std::vector<double>& values, double target, bool atMost) {
  const double m = median(values);
  const bool met = atMost ? m <= target : m >= target;
  std::printf("    %s: median ratio %.2f, min %.2f, n %zu   target %s %.2f   %s\n", what, m, minimum(values),
              values.size(), atMost ? "<=" : ">=", target, met ? "met" : "MISSED");
  return met;
}

void printVerdict(const char* what, bool met) { std::printf("    %s: %s\n", what, met ? "target met" : "target MISSED"); }

}  // namespace VardokBench
