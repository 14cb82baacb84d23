#!/usr/bin/env bash
# Runs the real DLL for a long time under load and churn, and prints every
# minute what it holds (handles, private bytes, threads, children), the
# reports per minute and the main thread's longest wait; at the end each
# series' slope after a 5-minute warm-up, and any report that came after
# its contact was removed or long after it was disabled.
#   scripts/soak.sh [MINUTES] [CONTACTS]   (default 60 and 1000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" >&2
VARDOK_NATIVE=0 bash "$root/scripts/build.sh" >/dev/null
# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"
wine_server_start
trap wine_server_stop EXIT
wine "$root/build/win32/bin/soak.exe" "${1:-60}" "${2:-1000}"
