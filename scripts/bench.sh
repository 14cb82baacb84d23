#!/usr/bin/env bash
# Builds what ships (build/win32, optimised) and an optimised native build
# of the report, and runs every benchmark; each figure is printed beside
# its target with "met" or "MISSED", and figures asked for over several
# runs are summed up as median [min-max] of n runs at the end.
#   scripts/bench.sh [ROUNDS] [CONTACTS]   (default 40 rounds, 1000 contacts)
# Runs and lengths (environment): REPORT_RUNS (10), HTTP_RUNS (5), HISTORY_DAYS (365),
# SCALE_RUNS (5), SOAK_MINUTES (10; scripts/soak.sh runs the long one),
# SLOW_MINUTES (20). All of it takes about an hour.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" >&2
VARDOK_NATIVE=0 bash "$root/scripts/build.sh" >/dev/null

native="$root/build/bench-native"
if [ ! -f "$native/build.ninja" ]; then
  cmake -S "$root" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARDOK_SANITIZE=OFF \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
fi
cmake --build "$native" --target report_bench >/dev/null

# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"
wine_server_start
trap wine_server_stop EXIT
win="$root/build/win32/bin"
rounds=${1:-40}
contacts=${2:-1000}
log=$(mktemp -d)

# Runs a command RUNS times, printing its output and keeping the lines
# that match PATTERN for the summary.
repeat() {
  local name=$1 runs=$2 pattern=$3
  shift 3
  for ((i = 1; i <= runs; i++)); do
    echo "-- $name, run $i of $runs"
    "$@" | tee "$log/out" | grep -E "$pattern|target" || true
    grep -E "$pattern" "$log/out" >>"$log/$name" || true
  done
}

echo "== report cost (median ratio to memcpy per run)"
repeat report-native "${REPORT_RUNS:-10}" '^9-byte lines' "$native/bench/report_bench" "$rounds"
repeat report-wine "${REPORT_RUNS:-10}" '^9-byte lines' wine "$win/report_bench.exe" "$rounds"
echo
echo "== HTTP check against a bare GET, both on worker threads"
repeat http "${HTTP_RUNS:-5}" 'HTTP check / bare GET' wine "$win/checks_bench.exe" http 200
echo
echo "== the check engine: a run against a bare one, $contacts contacts, idle items"
wine "$win/checks_bench.exe" "$rounds" "$contacts"
echo
echo "== the main thread with $contacts contacts at 1 s"
repeat scale "${SCALE_RUNS:-5}" "main thread's longest" wine "$win/checks_bench.exe" scale "$contacts" 1
echo
echo "== vardok-check"
wine "$win/check_tool_bench.exe" "$rounds"
echo
echo "== the history: a simulated year of $contacts contacts at 5 s"
history_dir=$(mktemp -d)
wine "$win/history-bench.exe" "Z:$history_dir" "$contacts" "${HISTORY_DAYS:-365}"
rm -rf "$history_dir"
echo
echo "== the DLL under load and churn, ${SOAK_MINUTES:-10} min with $contacts contacts"
wine "$win/soak.exe" "${SOAK_MINUTES:-10}" "$contacts" mix
echo
echo "== slow checks: 1200 checks that wait 30 s, ${SLOW_MINUTES:-20} min"
wine "$win/soak.exe" "${SLOW_MINUTES:-20}" 1200 slow

echo
echo "== over the runs (median [min-max], runs met of n)"
python3 - "$log" <<'PY'
import re, statistics, sys, pathlib
log = pathlib.Path(sys.argv[1])
def summary(name, what, number):
    path = log / name
    if not path.exists():
        return
    lines = [l for l in path.read_text().splitlines() if what in l]
    values = [float(re.search(number, l).group(1)) for l in lines if re.search(number, l)]
    met = sum(1 for l in lines if l.rstrip().endswith("met"))
    if values:
        print(f"{name:13} {what}: {statistics.median(values):.2f} [{min(values):.2f}-{max(values):.2f}], "
              f"met in {met} of {len(values)}")
for name in ("report-native", "report-wine"):
    summary(name, "9-byte lines at 1 MiB", r"(\d+\.\d+)x")
    summary(name, "9-byte lines at 16 MiB", r"(\d+\.\d+)x")
summary("http", "HTTP check / bare GET", r"median ratio (\d+\.\d+)")
summary("scale", "main thread's longest", r"wait (\d+\.\d+) ms")
PY
rm -rf "$log"
