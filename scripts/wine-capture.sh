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
# A program of ours ends with its own exit code (a crash of it with the
# exception's); Wine's own Unix process ended by a signal (under load,
# Wine 8 has been seen to crash so as a test program exits) is not the
# program's verdict: it is said, and the program runs once more.
out=$(mktemp)
for attempt in 1 2; do
  wine "$@" >"$out" 2>&1 </dev/null
  status=$?
  cat "$out"
  if [ "$attempt" = 1 ] && [ "$status" -gt 128 ] && [ "$status" -lt 160 ]; then
    echo "wine-capture: Wine itself ended by signal $((status - 128)); running the program once more"
    continue
  fi
  break
done
rm -f "$out"
exit $status
