#!/usr/bin/env bash
# The fault sweep: every function Vardok.dll imports made to fail (at its
# first call, at every call; the allocation functions also at every Nth
# call and above a size), each row in a process of its own under the
# fault-injecting host (tests/fault_host). Prints each row as it ends,
# then the table, its size and how long it ran; exit code 1 when a row
# failed.
#   scripts/faults.sh [BUDGET_SECONDS] [ONLY]
# BUDGET_SECONDS (1800) bounds the sweep: rows not started by then are
# listed as not run. ONLY keeps the rows whose "DLL!FUNCTION MODE" holds
# that text. VARDOK_FAULT_JOBS (2) rows run at a time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
budget=${1:-1800}
only=${2:-}
jobs=${VARDOK_FAULT_JOBS:-2}
bash "$root/scripts/setup.sh" >&2
bash "$root/scripts/build.sh"
# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"
wine_server_start
trap wine_server_stop EXIT
start=$(date +%s)
args=(--sweep --budget "$budget" --jobs "$jobs")
[ -n "$only" ] && args+=(--only "$only")
status=0
# The budget bounds the rows started; each row has its own limit (90 s).
timeout $((budget + 600)) wine "$root/build/win32/bin/vardok-fault-host.exe" "${args[@]}" </dev/null || status=$?
echo "fault sweep: $(( $(date +%s) - start )) s in all"
exit $status
