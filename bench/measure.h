// Timing for the benchmarks: a high-resolution clock, order statistics,
// and variants measured side by side, interleaved in random order within
// each round, so that a noisy machine's drifts hit every variant alike.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace VardokBench {

int64_t now();
double milliseconds(int64_t ticks);
double median(std::vector<double> values);
double percentile(std::vector<double> values, double p);
double minimum(const std::vector<double>& values);

// Runs every variant once per round, in a new random order each round;
// answers each variant's samples (what its function answered: a time in
// ms, or any cost).
std::vector<std::vector<double>> interleave(int rounds, const std::vector<std::function<double()>>& variants);

// Per-round ratios a[i] / b[i].
std::vector<double> ratios(const std::vector<double>& a, const std::vector<double>& b);

// "median ratio 1.03, min 0.95, n 40   target <= 1.10  met"
bool printRatio(const char* what, const std::vector<double>& ratios, double target, bool atMost = true);
void printVerdict(const char* what, bool met);

}  // namespace VardokBench
