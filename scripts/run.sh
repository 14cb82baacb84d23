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
wine_prefix_ready
host="$root/build/win32/bin/vardok-host.exe"
if [ ! -f "$host" ]; then
  echo "vardok: the console host is not built yet; this command will start $host" >&2
  echo "vardok: with the default contact list (examples/contacts.txt)." >&2
  exit 0
fi
exec wine "$host" "$@"
