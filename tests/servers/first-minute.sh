#!/usr/bin/env bash
# A new user's first minute with each host: on a Wine prefix made here for
# it (as a first start makes one), trusting the demo's certificate as
# scripts/run.sh makes it, the console host and then the desk host run the
# demo list for a minute and must raise no notification of a failure.
# The prefix and its wineserver are gone afterwards, whatever happens.
#   first-minute.sh BIN_FOLDER
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
bin=$1
work=$(mktemp -d /tmp/vardok-new-prefix.XXXXXX)
export VARDOK_WINEPREFIX=$work/prefix VARDOK_NEW_PREFIX=1
unset DISPLAY
# shellcheck source=../../scripts/wine-env.sh
. "$root/scripts/wine-env.sh"
cleanup() {
  wine_server_stop
  rm -rf "$work"
}
trap cleanup EXIT
wine_server_start
wine "$bin/vardok-trust-root.exe" </dev/null || exit 1
status=0
timeout 300 bash "$root/scripts/wine-capture.sh" "$bin/console_host_test.exe" --gtest_filter='FirstMinute.*' || status=1
# Each host starts as on a new machine: without a list of the user's own.
wine cmd /c rmdir /s /q "%APPDATA%\\Vardok" </dev/null >/dev/null 2>&1
timeout 300 bash "$root/tests/servers/with-display.sh" bash "$root/scripts/wine-capture.sh" "$bin/desk_host_test.exe" \
  --gtest_filter='FirstMinute.*' </dev/null || status=1
exit $status
