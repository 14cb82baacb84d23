#!/usr/bin/env bash
# Builds what ships (build/win32, optimised) and an optimised native build
# of the report, and runs the benchmarks; each prints its figures beside
# their targets.
#   scripts/bench.sh [ROUNDS] [CONTACTS]   (default 40 rounds, 1000 contacts)
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
echo "== report cost, native build (clang -O2)"
"$native/bench/report_bench" "${1:-40}"
echo
echo "== report cost, the 32-bit build that ships, under Wine"
wine "$win/report_bench.exe" "${1:-40}"
echo
echo "== the check engine under Wine (32-bit, optimised)"
wine "$win/checks_bench.exe" "${1:-40}" "${2:-1000}"
echo
echo "== vardok-check under Wine (32-bit, optimised)"
wine "$win/check_tool_bench.exe" "${1:-40}"
