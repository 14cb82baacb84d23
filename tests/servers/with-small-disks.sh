#!/usr/bin/env bash
# Runs a program with two small disks of its own (root): a read-only one
# holding a contact list and a history file (VARDOK_READ_ONLY_DIR), and an
# empty one of 2 MiB that the program may fill (VARDOK_FULL_DIR); both are
# Linux paths, unmounted and removed when the program ends. They are
# mounted where every process sees them, Wine's server included (it opens
# the files its clients ask for). Where they cannot be mounted, the program
# runs without them and the tests that need them say why they skip.
#   with-small-disks.sh PROGRAM ARGS...
set -u
base=$(mktemp -d /tmp/vardok-disks.XXXXXX)
ro=$base/read-only full=$base/full
mkdir -p "$ro" "$full"
cleanup() {
  umount "$ro" 2>/dev/null
  umount "$full" 2>/dev/null
  rm -rf "$base"
}
trap cleanup EXIT
if mount -t tmpfs -o size=4m vardok-read-only "$ro" 2>/dev/null &&
   mount -t tmpfs -o size=2m vardok-full "$full" 2>/dev/null; then
  printf "Fine | 82 | 1 | yes | cmd /c echo fine\n" > "$ro/contacts.txt"
  python3 -c "import sqlite3, sys; db = sqlite3.connect(sys.argv[1]); db.execute('CREATE TABLE kept(x)'); db.commit()" \
    "$ro/history.db" || exit 91
  mount -o remount,ro "$ro" || exit 92
  VARDOK_READ_ONLY_DIR=$ro VARDOK_FULL_DIR=$full "$@"
else
  "$@"
fi
