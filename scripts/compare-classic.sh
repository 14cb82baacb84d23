#!/usr/bin/env bash
# vardok-check side by side with the classic monitoring plugins (Debian's
# monitoring-plugins) on the same loopback servers, most of them hostile:
# silent, trickling, refusing, with certificates not yet valid or expired,
# and a name server that never answers. Prints a table and fails when
# vardok-check is late (past its --timeout and a second) or calls a
# failure well. Not part of the test command: it installs the plugins.
#   scripts/compare-classic.sh            (after scripts/build.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export DEBIAN_FRONTEND=noninteractive
if [ ! -x /usr/lib/nagios/plugins/check_dns ]; then
  apt-get install -y --no-install-recommends monitoring-plugins-basic monitoring-plugins-standard dnsutils >/dev/null
fi
[ -f "$root/build/win32/bin/vardok-check.exe" ] || bash "$root/scripts/build.sh"
. "$root/scripts/wine-env.sh"
export WINEDEBUG=-all
exec python3 "$root/scripts/compare_classic.py" "$root/build/win32/bin"
