#!/usr/bin/env bash
# Installs what is missing, builds the plug-in and the console host, and
# starts the console host with its default contact list (arguments are
# passed on to it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

bash "$root/scripts/setup.sh" >&2
VARDOK_NATIVE=0 bash "$root/scripts/build.sh" >&2

# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"
# Wine's own helper processes start here, away from our output, so that a
# pipe reading the host's output ends when the host does.
wine_server_start
host="$root/build/win32/bin/vardok-host.exe"
# The demo's HTTPS page has a certificate from this build's test issuer,
# which this Wine prefix (and no other) is told to trust.
wine "$root/build/win32/bin/vardok-trust-root.exe" </dev/null >&2
# Without arguments: the default contact list, with the demo status page
# that its HTTP check asks for.
[ "$#" -gt 0 ] || set -- --serve-demo
exec wine "$host" "$@"
