#include "host/history/series_codec.h"

#include <algorithm>
#include <cmath>

namespace VardokHost {

const char* verdictWord(Verdict verdict) {
  return verdict == Verdict::Well ? "well" : verdict == Verdict::Problem ? "problem" : "critical";
}

void Rollup::addResult(const RawResult& result) {
  ++runs;
  if (result.verdict == Verdict::Problem) ++problems;
  if (result.verdict == Verdict::Critical) ++criticals;
  if (result.durationMs >= 0) {
    durationMin = timed == 0 ? result.durationMs : std::min(durationMin, result.durationMs);
    durationMax = timed == 0 ? result.durationMs : std::max(durationMax, result.durationMs);
    durationMean += (result.durationMs - durationMean) / (timed + 1);
    ++timed;
  }
  if (result.hasPerf) {
    perfMin = measured == 0 ? result.perf : std::min(perfMin, result.perf);
    perfMax = measured == 0 ? result.perf : std::max(perfMax, result.perf);
    perfMean += (result.perf - perfMean) / (measured + 1);
    ++measured;
  }
}

void Rollup::merge(const Rollup& other) {
  runs += other.runs;
  problems += other.problems;
  criticals += other.criticals;
  if (other.timed > 0) {
    durationMin = timed == 0 ? other.durationMin : std::min(durationMin, other.durationMin);
    durationMax = timed == 0 ? other.durationMax : std::max(durationMax, other.durationMax);
    durationMean = (durationMean * timed + other.durationMean * other.timed) / (timed + other.timed);
    timed += other.timed;
  }
  if (other.measured > 0) {
    perfMin = measured == 0 ? other.perfMin : std::min(perfMin, other.perfMin);
    perfMax = measured == 0 ? other.perfMax : std::max(perfMax, other.perfMax);
    perfMean = (perfMean * measured + other.perfMean * other.measured) / (measured + other.measured);
    measured += other.measured;
  }
  wellMs += other.wellMs;
  problemMs += other.problemMs;
  criticalMs += other.criticalMs;
}

void Rollup::addTime(Verdict verdict, int64_t ms) {
  if (verdict == Verdict::Well) wellMs += ms;
  else if (verdict == Verdict::Problem) problemMs += ms;
  else criticalMs += ms;
}

namespace {

constexpr uint8_t kFormat = 1;

uint64_t zigzag(int64_t value) { return (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63); }
int64_t unzigzag(uint64_t value) { return static_cast<int64_t>(value >> 1) ^ -static_cast<int64_t>(value & 1); }

class Writer {
 public:
  void byte(uint8_t value) { _out.push_back(static_cast<char>(value)); }
  void varint(uint64_t value) {
    while (value >= 0x80) {
      byte(static_cast<uint8_t>(value | 0x80));
      value >>= 7;
    }
    byte(static_cast<uint8_t>(value));
  }
  void signedDelta(int64_t value, int64_t before) { varint(zigzag(static_cast<int64_t>(static_cast<uint64_t>(value) - static_cast<uint64_t>(before)))); }
  std::string take() { return std::move(_out); }

 private:
  std::string _out;
};

class Reader {
 public:
  explicit Reader(const std::string& in) : _in(in) {}
  bool byte(uint8_t* value) {
    if (_at >= _in.size()) return false;
    *value = static_cast<uint8_t>(_in[_at++]);
    return true;
  }
  bool varint(uint64_t* value) {
    *value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      uint8_t part;
      if (!byte(&part)) return false;
      *value |= static_cast<uint64_t>(part & 0x7F) << shift;
      if (!(part & 0x80)) return true;
    }
    return false;
  }
  bool signedDelta(int64_t before, int64_t* value) {
    uint64_t raw;
    if (!varint(&raw)) return false;
    *value = static_cast<int64_t>(static_cast<uint64_t>(before) + static_cast<uint64_t>(unzigzag(raw)));
    return true;
  }
  bool done() const { return _at == _in.size(); }

 private:
  const std::string& _in;
  size_t _at = 0;
};

// A performance value as a decimal, mantissa * 10^exponent, with the fewest
// digits that keep it to about seven significant ones (what a chart or a
// rollup needs): the values checks print ("36.1", "0.012") come out exact,
// and a steady value's mantissa changes little from record to record.
struct Decimal {
  int64_t mantissa = 0;
  int exponent = 0;
};

double power10(int exponent) { return std::pow(10.0, exponent); }

Decimal decimalOf(double value) {
  if (value == 0 || !std::isfinite(value)) return {};
  for (int exponent = 30; exponent >= -30; --exponent) {
    const double scaled = value / power10(exponent);
    if (std::fabs(scaled) > 9.0e15) break;
    const double mantissa = std::nearbyint(scaled);
    if (std::fabs(mantissa * power10(exponent) - value) <= std::fabs(value) * 5e-8)
      return {static_cast<int64_t>(mantissa), exponent};
  }
  const int exponent = static_cast<int>(std::floor(std::log10(std::fabs(value)))) - 15;
  return {static_cast<int64_t>(std::nearbyint(value / power10(exponent))), exponent};
}

double valueOf(Decimal decimal) { return static_cast<double>(decimal.mantissa) * power10(decimal.exponent); }

// A series of decimals, each written against the one before: the mantissa's
// difference when the exponent stays, else the exponent and the mantissa.
class DecimalSeries {
 public:
  void write(Writer& out, double value) {
    const Decimal now = decimalOf(value);
    if (now.exponent == _last.exponent) {
      out.varint(zigzag(now.mantissa - _last.mantissa) << 1);
    } else {
      out.varint((zigzag(now.exponent) << 1) | 1);
      out.varint(zigzag(now.mantissa));
    }
    _last = now;
  }
  bool read(Reader& in, double* value) {
    uint64_t head;
    if (!in.varint(&head)) return false;
    Decimal now = _last;
    if (head & 1) {
      uint64_t mantissa;
      if (!in.varint(&mantissa)) return false;
      const int64_t exponent = unzigzag(head >> 1);
      if (exponent < -40 || exponent > 40) return false;
      now = {unzigzag(mantissa), static_cast<int>(exponent)};
    } else {
      now.mantissa += unzigzag(head >> 1);
    }
    _last = now;
    *value = valueOf(now);
    return true;
  }

 private:
  Decimal _last;
};

// A mean kept to one digit finer than the least and the most it lies
// between (their own digits, as the check printed them): what a chart
// needs, and a few bits where all seven digits would cost bytes.
double meanWithin(double mean, double least, double most) {
  const int exponent = std::min(decimalOf(least).exponent, decimalOf(most).exponent) - 1;
  if (least == 0 && most == 0) return 0;
  const double step = power10(exponent);
  const double kept = std::nearbyint(mean / step) * step;
  return std::clamp(kept, least, most);
}

// A raw result's first byte.
enum : uint8_t {
  kVerdictBits = 0x03,
  kTimed = 0x04,
  kMeasured = 0x08,
  kPerfSame = 0x10,  // the performance value is the previous one
};

}  // namespace

std::string encodeResults(int64_t baseMs, const std::vector<RawResult>& results) {
  Writer out;
  out.byte(kFormat);
  out.varint(results.size());
  int64_t lastTime = baseMs, lastStep = 0, lastDuration = 0;
  bool lastMeasured = false;
  double lastPerf = 0;
  DecimalSeries perf;
  for (const RawResult& result : results) {
    const bool timed = result.durationMs >= 0;
    const bool measured = result.hasPerf && std::isfinite(result.perf);
    const bool same = measured && lastMeasured && result.perf == lastPerf;
    out.byte(static_cast<uint8_t>(static_cast<uint8_t>(result.verdict) & kVerdictBits) | (timed ? kTimed : 0) |
             (measured ? kMeasured : 0) | (same ? kPerfSame : 0));
    // Times as the change of the step between results: a check that keeps
    // its interval writes zero.
    const int64_t time = std::max(result.timeMs, lastTime);
    const int64_t step = time - lastTime;
    out.signedDelta(step, lastStep);
    lastTime = time;
    lastStep = step;
    if (timed) {
      out.signedDelta(result.durationMs, lastDuration);
      lastDuration = result.durationMs;
    }
    if (measured && !same) perf.write(out, result.perf);
    if (measured) {
      lastMeasured = true;
      lastPerf = result.perf;
    }
  }
  return out.take();
}

bool decodeResults(int64_t baseMs, const std::string& blob, std::vector<RawResult>* out) {
  Reader in(blob);
  uint8_t format;
  uint64_t count;
  if (!in.byte(&format) || format != kFormat || !in.varint(&count) || count > blob.size()) return false;
  out->reserve(out->size() + count);
  int64_t lastTime = baseMs, lastStep = 0, lastDuration = 0;
  double lastPerf = 0;
  bool lastMeasured = false;
  DecimalSeries perf;
  for (uint64_t i = 0; i < count; ++i) {
    uint8_t head;
    if (!in.byte(&head) || (head & kVerdictBits) > 2) return false;
    RawResult result;
    result.verdict = static_cast<Verdict>(head & kVerdictBits);
    int64_t step;
    if (!in.signedDelta(lastStep, &step)) return false;
    lastStep = step;
    lastTime += step;
    result.timeMs = lastTime;
    if (head & kTimed) {
      int64_t duration;
      if (!in.signedDelta(lastDuration, &duration) || duration < 0 || duration > INT32_MAX) return false;
      lastDuration = duration;
      result.durationMs = static_cast<int32_t>(duration);
    }
    if (head & kMeasured) {
      result.hasPerf = true;
      if (head & kPerfSame) {
        if (!lastMeasured) return false;
        result.perf = lastPerf;
      } else if (!perf.read(in, &result.perf)) {
        return false;
      }
      lastMeasured = true;
      lastPerf = result.perf;
    }
    out->push_back(result);
  }
  return in.done();
}

namespace {

// A rollup's first byte: which groups of fields follow.
enum : uint8_t {
  kGap = 0x01,       // the number of empty steps before this one follows
  kRunsChange = 0x02,
  kFailures = 0x04,
  kDurations = 0x08,
  kPerf = 0x10,
  kTimeSplit = 0x20,  // not the whole step well
};

}  // namespace

std::string encodeRollups(int64_t baseMs, int64_t bucketMs, const std::vector<Rollup>& rollups) {
  Writer out;
  out.byte(kFormat);
  out.varint(rollups.size());
  int64_t nextStep = 0, lastRuns = 0, lastMin = 0, lastMean = 0, lastMax = 0;
  DecimalSeries perfMin, perfMean, perfMax;
  for (const Rollup& rollup : rollups) {
    const int64_t step = std::max<int64_t>(nextStep, (rollup.startMs - baseMs) / bucketMs);
    const bool timeSplit = rollup.wellMs != bucketMs || rollup.knownMs() != bucketMs;
    out.byte((step != nextStep ? kGap : 0) | (rollup.runs != lastRuns ? kRunsChange : 0) |
             (rollup.problems || rollup.criticals ? kFailures : 0) | (rollup.timed ? kDurations : 0) |
             (rollup.measured ? kPerf : 0) | (timeSplit ? kTimeSplit : 0));
    if (step != nextStep) out.varint(static_cast<uint64_t>(step - nextStep));
    nextStep = step + 1;
    if (rollup.runs != lastRuns) out.signedDelta(rollup.runs, lastRuns);
    lastRuns = rollup.runs;
    if (rollup.problems || rollup.criticals) {
      out.varint(rollup.problems);
      out.varint(rollup.criticals);
    }
    if (rollup.timed) {
      // The mean in tenths of a millisecond, between the least and the most.
      const int64_t mean = std::llround(rollup.durationMean * 10);
      out.varint(rollup.runs - std::min(rollup.runs, rollup.timed));
      out.signedDelta(rollup.durationMin, lastMin);
      out.signedDelta(mean, lastMean);
      out.signedDelta(rollup.durationMax, lastMax);
      lastMin = rollup.durationMin;
      lastMean = mean;
      lastMax = rollup.durationMax;
    }
    if (rollup.measured) {
      out.varint(rollup.runs - std::min(rollup.runs, rollup.measured));
      perfMin.write(out, rollup.perfMin);
      perfMean.write(out, meanWithin(rollup.perfMean, rollup.perfMin, rollup.perfMax));
      perfMax.write(out, rollup.perfMax);
    }
    if (timeSplit) {
      out.varint(static_cast<uint64_t>(std::max<int64_t>(0, bucketMs - rollup.knownMs())));
      out.varint(static_cast<uint64_t>(rollup.problemMs));
      out.varint(static_cast<uint64_t>(rollup.criticalMs));
    }
  }
  return out.take();
}

bool decodeRollups(int64_t baseMs, int64_t bucketMs, const std::string& blob, std::vector<Rollup>* out) {
  Reader in(blob);
  uint8_t format;
  uint64_t count;
  if (bucketMs <= 0 || !in.byte(&format) || format != kFormat || !in.varint(&count) || count > blob.size())
    return false;
  out->reserve(out->size() + count);
  int64_t nextStep = 0, lastRuns = 0, lastMin = 0, lastMean = 0, lastMax = 0;
  DecimalSeries perfMin, perfMean, perfMax;
  auto count32 = [&](uint64_t* value) { return in.varint(value) && *value <= UINT32_MAX; };
  for (uint64_t i = 0; i < count; ++i) {
    uint8_t head;
    if (!in.byte(&head) || (head & 0xC0)) return false;
    Rollup rollup;
    uint64_t gap = 0;
    if ((head & kGap) && (!in.varint(&gap) || gap > (1u << 30))) return false;
    const int64_t step = nextStep + static_cast<int64_t>(gap);
    nextStep = step + 1;
    rollup.startMs = baseMs + step * bucketMs;
    int64_t runs = lastRuns;
    if ((head & kRunsChange) && !in.signedDelta(lastRuns, &runs)) return false;
    if (runs < 0 || runs > UINT32_MAX) return false;
    lastRuns = runs;
    rollup.runs = static_cast<uint32_t>(runs);
    uint64_t value, other;
    if (head & kFailures) {
      if (!count32(&value) || !count32(&other) || value + other > rollup.runs) return false;
      rollup.problems = static_cast<uint32_t>(value);
      rollup.criticals = static_cast<uint32_t>(other);
    }
    if (head & kDurations) {
      int64_t least, mean, most;
      if (!count32(&value) || value > rollup.runs || !in.signedDelta(lastMin, &least) ||
          !in.signedDelta(lastMean, &mean) || !in.signedDelta(lastMax, &most))
        return false;
      if (least < 0 || most > INT32_MAX || least > most) return false;
      rollup.timed = rollup.runs - static_cast<uint32_t>(value);
      rollup.durationMin = static_cast<int32_t>(least);
      rollup.durationMax = static_cast<int32_t>(most);
      rollup.durationMean = mean / 10.0;
      lastMin = least;
      lastMean = mean;
      lastMax = most;
    }
    if (head & kPerf) {
      if (!count32(&value) || value > rollup.runs || !perfMin.read(in, &rollup.perfMin) ||
          !perfMean.read(in, &rollup.perfMean) || !perfMax.read(in, &rollup.perfMax))
        return false;
      rollup.measured = rollup.runs - static_cast<uint32_t>(value);
    }
    if (head & kTimeSplit) {
      uint64_t unknown, problem, critical;
      if (!in.varint(&unknown) || !in.varint(&problem) || !in.varint(&critical)) return false;
      if (unknown > static_cast<uint64_t>(bucketMs) || problem > static_cast<uint64_t>(bucketMs) ||
          critical > static_cast<uint64_t>(bucketMs) || unknown + problem + critical > static_cast<uint64_t>(bucketMs))
        return false;
      rollup.problemMs = static_cast<int64_t>(problem);
      rollup.criticalMs = static_cast<int64_t>(critical);
      rollup.wellMs = bucketMs - static_cast<int64_t>(unknown + problem + critical);
    } else {
      rollup.wellMs = bucketMs;
    }
    out->push_back(rollup);
  }
  return in.done();
}

std::vector<Rollup> rollUp(int64_t fromMs, int64_t toMs, int64_t bucketMs, const HeldResult* before,
                           const std::vector<HeldResult>& results) {
  std::vector<Rollup> spans;
  if (toMs <= fromMs || bucketMs <= 0) return spans;
  spans.resize(static_cast<size_t>((toMs - fromMs + bucketMs - 1) / bucketMs));
  for (size_t i = 0; i < spans.size(); ++i) spans[i].startMs = fromMs + static_cast<int64_t>(i) * bucketMs;
  auto spanAt = [&](int64_t time) {
    const int64_t index = (time - fromMs) / bucketMs;
    return static_cast<size_t>(std::clamp<int64_t>(index, 0, static_cast<int64_t>(spans.size()) - 1));
  };
  // The state of a result from its time until next, at most its hold,
  // split over the spans it crosses.
  auto hold = [&](const HeldResult& held, int64_t next) {
    int64_t from = std::max(held.result.timeMs, fromMs);
    const int64_t until = std::min({next, held.result.timeMs + std::max<int64_t>(held.holdMs, 0), toMs});
    while (from < until) {
      Rollup& span = spans[spanAt(from)];
      const int64_t end = std::min(until, span.startMs + bucketMs);
      span.addTime(held.result.verdict, end - from);
      from = end;
    }
  };
  const HeldResult* last = before;
  for (const HeldResult& held : results) {
    if (last) hold(*last, held.result.timeMs);
    if (held.result.timeMs < toMs) spans[spanAt(held.result.timeMs)].addResult(held.result);
    last = &held;
  }
  if (last) hold(*last, toMs);
  std::vector<Rollup> kept;
  for (Rollup& span : spans)
    if (!span.empty()) kept.push_back(span);
  return kept;
}

std::vector<Rollup> coarsen(const std::vector<Rollup>& rollups, int64_t bucketMs) {
  std::vector<Rollup> merged;
  for (const Rollup& rollup : rollups) {
    const int64_t start = rollup.startMs - ((rollup.startMs % bucketMs) + bucketMs) % bucketMs;
    if (merged.empty() || merged.back().startMs != start) {
      merged.emplace_back();
      merged.back().startMs = start;
    }
    merged.back().merge(rollup);
  }
  return merged;
}

}  // namespace VardokHost
