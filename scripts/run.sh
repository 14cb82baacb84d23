#!/usr/bin/env bash
# Installs what is missing, builds the plug-in and the hosts, and starts the
# console host with its default contact list (arguments are passed on to
# it). With --gui first, it starts the desk host (vardok-desk.exe) on the
# user's display instead; without a display it says so and exits 2.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
gui=0
if [ "${1:-}" = --gui ]; then
  gui=1
  shift
  if [ -z "${DISPLAY:-}" ]; then
    echo "run.sh --gui: the desk host needs a display, and DISPLAY is not set" >&2
    exit 2
  fi
fi

bash "$root/scripts/setup.sh" >&2
VARDOK_NATIVE=0 bash "$root/scripts/build.sh" >&2

# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"
# Wine's own helper processes start here, away from our output, so that a
# pipe reading the host's output ends when the host does.
wine_server_start
bin="$root/build/win32/bin"
host="$bin/vardok-host.exe"
# The demo's HTTPS page has a certificate from this build's test issuer,
# which this Wine prefix (and no other) is told to trust.
wine "$bin/vardok-trust-root.exe" </dev/null >&2
if [ "$gui" -eq 1 ]; then
  # In a desktop window of its own: Wine's default desktop may already run
  # without a display (the persistent Wine server of a test run).
  exec wine explorer "/desktop=Vardok,1280x800" "$(winepath -w "$bin/vardok-desk.exe")" "$@"
fi
# Without arguments: the default contact list, with the demo status page
# that its HTTP check asks for.
[ "$#" -gt 0 ] || set -- --serve-demo
exec wine "$host" "$@"
