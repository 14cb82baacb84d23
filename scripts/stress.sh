#!/usr/bin/env bash
# The long reliability run: the stress test for SECONDS (default 60), the
# storm of failing instant runs (VARDOK_STORM_ROUNDS rounds of
# VARDOK_STORM_SECONDS, default 20 x 30 s) and each fuzzer for FUZZ_SECONDS
# (default 60).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
fuzz_seconds=${2:-60}
bash "$root/scripts/setup.sh" >&2
bash "$root/scripts/build.sh"
# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"
wine_server_start
trap wine_server_stop EXIT
echo "== stress for ${seconds}s"
VARDOK_STRESS_SECONDS=$seconds timeout $((seconds + 300)) wine "$root/build/win32/bin/stress_test.exe" --gtest_filter='Stress.*'
storm_seconds=${VARDOK_STORM_SECONDS:-30}
storm_rounds=${VARDOK_STORM_ROUNDS:-20}
echo "== storm of failing instant runs: ${storm_rounds} rounds of ${storm_seconds}s"
VARDOK_STORM_SECONDS=$storm_seconds VARDOK_STORM_ROUNDS=$storm_rounds \
  timeout $((storm_rounds * (storm_seconds + 30))) wine "$root/build/win32/bin/stress_test.exe" --gtest_filter='Storm.*'
for fuzzer in regex_fuzzer result_tags_fuzzer params_fuzzer url_fuzzer; do
  echo "== $fuzzer for ${fuzz_seconds}s"
  bash "$root/scripts/fuzz.sh" "$fuzzer" "$fuzz_seconds" 2>&1 | tail -n 3
done
