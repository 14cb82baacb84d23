#!/usr/bin/env bash
# Builds the benchmarks optimised and without sanitizers, and runs them.
# Each prints its figures next to their targets.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" >&2
dir="$root/build/bench-native"
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARDOK_SANITIZE=OFF \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
fi
cmake --build "$dir" --target report_bench >/dev/null
echo "== 1. report cost against output size (native)"
"$dir/bench/report_bench"
