#!/usr/bin/env bash
# Builds the plug-in, vardok-check and the console host (optimised, as they
# ship) and writes dist/vardok-VERSION-win32.zip: stripped binaries,
# INSTALL.txt, the example list and SHA256SUMS. Run twice, it gives the same
# bytes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" >&2
VARDOK_NATIVE=0 bash "$root/scripts/build.sh" >&2
python3 "$root/scripts/package.py" --bin "$root/build/win32/bin" --out "$root/dist"
