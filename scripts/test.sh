#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the cross
# build's tests under Wine, then the native build's tests with the sanitizers
# and the replay of the fuzzers' seed corpora.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"

# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"
wine_server_start
trap wine_server_stop EXIT

status=0
echo "== tests under Wine (build/win32)"
(cd "$root/build/win32" && ctest --output-on-failure -j "${VARDOK_TEST_JOBS:-2}") || status=1
echo "== native tests with AddressSanitizer and UndefinedBehaviorSanitizer (build/native)"
(cd "$root/build/native" && ctest --output-on-failure -j "${VARDOK_TEST_JOBS:-2}") || status=1
exit $status
