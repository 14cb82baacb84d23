#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's prefix with its output
# going to a file, printed when the program ends (how the tests run).
# Wine's console helpers of ended children can inherit the program's Unix
# output and outlive it; writing to a file, they cannot keep whoever reads
# our output (ctest) waiting.
export WINEDEBUG=-all
export WINEARCH=win32
export WINEPREFIX=${VARDOK_WINEPREFIX:-$HOME/.vardok/wine}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree=;mshtml=}
out=$(mktemp)
wine "$@" >"$out" 2>&1 </dev/null
status=$?
cat "$out"
rm -f "$out"
exit $status
