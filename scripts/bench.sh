#!/usr/bin/env bash
# Builds the benchmarks optimised and runs them; each prints its figures
# next to their targets.
#   scripts/bench.sh [SCALE_SECONDS] [SCALE_CONTACTS]   (default 60 s, 1000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" >&2

native="$root/build/bench-native"
if [ ! -f "$native/build.ninja" ]; then
  cmake -S "$root" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARDOK_SANITIZE=OFF \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
fi
cmake --build "$native" --target report_bench >/dev/null

win="$root/build/bench-win32"
if [ ! -f "$win/build.ninja" ]; then
  cmake -S "$root" -B "$win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-mingw.cmake" >/dev/null
fi
cmake --build "$win" --target checks_bench >/dev/null

echo "== 1. report cost against output size (native, no sanitizers)"
"$native/bench/report_bench"
echo
echo "== 2-5. the check engine under Wine"
# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"
wine_server_start
trap wine_server_stop EXIT
wine "$win/bin/checks_bench.exe" "${1:-60}" "${2:-1000}"
