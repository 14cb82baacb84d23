// A contact's history as the store packs it: raw results and rollups in
// blobs, each field written as a varint of its zigzagged difference from
// the record before it, so that a steady check costs a few bytes a record.
//
// A blob holds one contact's records of one span (its row's start is the
// base of the times in it) in time order. Decoding checks every length
// against the blob and answers false for a blob it cannot read whole; it
// never reads past the end. Platform-free; plain functions, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace VardokHost {

// A result's class: the contact's state after it.
enum class Verdict : uint8_t { Well = 0, Problem = 1, Critical = 2 };

// "well", "problem", "critical".
const char* verdictWord(Verdict verdict);

// One result of a check as the host saw it.
struct RawResult {
  int64_t timeMs = 0;        // Unix time in ms
  Verdict verdict = Verdict::Well;
  int32_t durationMs = -1;   // how long the run took; -1 unknown
  bool hasPerf = false;
  double perf = 0;           // the first performance value, in base units
};

// What a span of time (a minute, an hour) of one contact came to.
struct Rollup {
  int64_t startMs = 0;
  uint32_t runs = 0, problems = 0, criticals = 0;  // results, and the failures among them by class
  uint32_t timed = 0;                              // results with a duration
  int32_t durationMin = 0, durationMax = 0;
  double durationMean = 0;
  uint32_t measured = 0;  // results with a performance value
  double perfMin = 0, perfMax = 0, perfMean = 0;
  // The time of the span in each state, as the results held it (a result
  // holds until the next one, at most its hold); the rest is unknown.
  int64_t wellMs = 0, problemMs = 0, criticalMs = 0;

  int64_t knownMs() const { return wellMs + problemMs + criticalMs; }
  bool empty() const { return runs == 0 && knownMs() == 0; }
  // Adds one result's counts (not its time) to the span.
  void addResult(const RawResult& result);
  // Adds another span's counts and time (a finer span within this one).
  void merge(const Rollup& other);
  void addTime(Verdict verdict, int64_t ms);
};

// Raw results of one span, times relative to baseMs. Results before
// baseMs are written at baseMs.
std::string encodeResults(int64_t baseMs, const std::vector<RawResult>& results);
bool decodeResults(int64_t baseMs, const std::string& blob, std::vector<RawResult>* out);

// Rollups of one span, in steps of bucketMs from baseMs (each rollup's
// startMs on a step at or after baseMs, in order; empty ones are left out).
std::string encodeRollups(int64_t baseMs, int64_t bucketMs, const std::vector<Rollup>& rollups);
bool decodeRollups(int64_t baseMs, int64_t bucketMs, const std::string& blob, std::vector<Rollup>* out);

// A result as the rollups weigh it: with how long it stands when no result
// follows (the check's limit).
struct HeldResult {
  RawResult result;
  int64_t holdMs = 0;
};

// Rolls results up into spans of bucketMs over [fromMs, toMs): each result
// counts in the span its time falls in (one before fromMs in the first),
// and each holds its state from its time until the next result's, at most
// holdMs, clipped to the range. before: the last result before fromMs,
// whose state may reach into the range. Answers the spans with anything
// in them, in order. results in time order.
std::vector<Rollup> rollUp(int64_t fromMs, int64_t toMs, int64_t bucketMs, const HeldResult* before,
                           const std::vector<HeldResult>& results);

// Merges rollups into spans of bucketMs (aligned to multiples of it),
// in order.
std::vector<Rollup> coarsen(const std::vector<Rollup>& rollups, int64_t bucketMs);

}  // namespace VardokHost
