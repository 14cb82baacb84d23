#!/usr/bin/env bash
# Fuzzes one target of the native build for a chosen time:
#   scripts/fuzz.sh regex_fuzzer 600
# New inputs go to build/native/fuzz/NAME-corpus; crashes to build/native/fuzz/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
name=${1:?usage: fuzz.sh TARGET SECONDS}
seconds=${2:-60}
bash "$root/scripts/setup.sh"
cmake --build "$root/build/native" --target "$name" >/dev/null 2>&1 || bash "$root/scripts/build.sh"
work="$root/build/native/fuzz/$name-corpus"
mkdir -p "$work"
cd "$root/build/native/fuzz"
exec "./$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "$work" "$root/fuzz/corpus/$name"
