#!/usr/bin/env bash
# The long reliability run: the stress test for SECONDS (default 60), the
# storm of failing instant runs (VARDOK_STORM_ROUNDS rounds of
# VARDOK_STORM_SECONDS, default 20 x 30 s), VARDOK_CYCLES (default 1000)
# load/attach/detach/unload cycles of the plug-in that must leave TLS
# indexes, handles and threads as they were, the console host's memory with
# checks printing 17 MB (VARDOK_MEMORY_SECONDS, default 300; it prints the
# ceiling), VARDOK_UNLOAD_ROUNDS (default 100) unloads under load (200
# contacts at 1 s for 20 s, then detach, FreeLibrary and the host in an
# alertable wait, each round in a job object; a hang dumps its threads) and
# each fuzzer for FUZZ_SECONDS (default 60).
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
cycles=${VARDOK_CYCLES:-1000}
echo "== ${cycles} load/attach/detach/unload cycles"
VARDOK_CYCLES=$cycles timeout 1800 wine "$root/build/win32/bin/run_ending_test.exe" --gtest_filter='PluginCycles.*'
memory_seconds=${VARDOK_MEMORY_SECONDS:-300}
echo "== console host memory: two checks printing 17 MB at interval 0 for ${memory_seconds}s"
work=$(mktemp -d)
child=$(winepath -w "$root/build/win32/bin/vardok-test-child.exe" 2>/dev/null)
printf 'Big 1 | 82 | 0 | yes | "%s" write 17\nBig 2 | 82 | 0 | yes | "%s" write 17\n' "$child" "$child" > "$work/contacts.txt"
printf 'memory\nsleep %d\nmemory\n' $((memory_seconds * 1000)) > "$work/script.txt"
wine "$root/build/win32/bin/vardok-host.exe" --no-color --contacts "$(winepath -w "$work/contacts.txt" 2>/dev/null)" \
  --script "$(winepath -w "$work/script.txt" 2>/dev/null)" --log "$(winepath -w "$work/host.log" 2>/dev/null)" \
  | grep -E "^memory:" | sed 's/^/    /'
rm -rf "$work"
unload_rounds=${VARDOK_UNLOAD_ROUNDS:-100}
echo "== ${unload_rounds} unloads under load"
timeout $((unload_rounds * 120 + 60)) wine "$root/build/win32/bin/vardok-unload-stress.exe" "$unload_rounds" \
  | grep -vE "^round: |^round [0-9]+: passed"
for fuzzer in regex_fuzzer result_tags_fuzzer params_fuzzer url_fuzzer; do
  echo "== $fuzzer for ${fuzz_seconds}s"
  bash "$root/scripts/fuzz.sh" "$fuzzer" "$fuzz_seconds" 2>&1 | tail -n 3
done
