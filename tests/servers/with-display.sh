#!/usr/bin/env bash
# Runs a command with a virtual X display of its own: Xvfb on the first free
# display number from 90, started here, ended by its process id when the
# command ends and after 15 minutes at the latest, whatever happens.
#   with-display.sh COMMAND ARGS...
set -u
command -v Xvfb > /dev/null || { echo "with-display: Xvfb is not installed (scripts/setup.sh installs it)" >&2; exit 1; }
pid=
for n in $(seq 90 190); do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
  Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp > "/tmp/vardok-xvfb-$n.log" 2>&1 < /dev/null &
  pid=$!
  for _ in $(seq 200); do
    [ -e "/tmp/.X11-unix/X$n" ] && break
    kill -0 "$pid" 2> /dev/null || break
    sleep 0.05
  done
  [ -e "/tmp/.X11-unix/X$n" ] && kill -0 "$pid" 2> /dev/null && break
  kill "$pid" 2> /dev/null
  pid=
done
[ -n "$pid" ] || { echo "with-display: no free display for Xvfb" >&2; exit 1; }
# The bound's own sleep ends with it: left behind, it would keep every
# descriptor this script inherited (a caller's pipe, a lock) for 15 minutes.
(
  trap 'kill "$nap" 2> /dev/null; exit 0' TERM
  sleep 900 &
  nap=$!
  wait "$nap" && kill "$pid" 2> /dev/null
) > /dev/null 2>&1 < /dev/null &
bound=$!
DISPLAY=":$n" "$@"
status=$?
kill "$pid" "$bound" 2> /dev/null
wait "$pid" 2> /dev/null
exit $status
