#!/usr/bin/env bash
# Runs a program with a name-server configuration of its own: in a mount
# namespace of its own, /etc/resolv.conf is a copy of the system's that the
# program may rewrite (its Linux path in VARDOK_RESOLV_CONF), so that the
# resolver of every process it starts, Wine's included, asks the server the
# program chose. The system's own file is never touched. Where no private
# namespace can be made (not root, no unshare), the program runs without
# VARDOK_RESOLV_CONF, and the tests that need it say why they skip.
#   with-private-resolver.sh PROGRAM ARGS...
set -u
conf=$(mktemp /tmp/vardok-resolv.XXXXXX)
cp /etc/resolv.conf "$conf" 2>/dev/null || : > "$conf"
trap 'rm -f "$conf"' EXIT
if unshare -m true 2>/dev/null; then
  VARDOK_RESOLV_CONF=$conf unshare -m bash -c 'mount --bind "$VARDOK_RESOLV_CONF" /etc/resolv.conf && "$@"' \
    with-private-resolver "$@"
else
  "$@"
fi
