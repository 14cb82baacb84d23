#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine:
# the i686 mingw-w64 cross compilers, Wine (32-bit) with its own fonts (the
# title bars' buttons are drawn in Marlett), Boost headers,
# GoogleTest sources, PCRE for the native build, clang with libFuzzer,
# OpenSSL's command line (the test certificates), dnsmasq and Prometheus
# (real servers for vardok-check's tests), Xvfb, ImageMagick, xdotool and
# xwininfo (the desk host's tests look at what it draws on a virtual
# display), and the PCRE 8.39, mbed TLS 2.28 and SQLite 3.40 source
# packages for the cross build (mbed TLS serves the test hosts' HTTPS
# pages, SQLite keeps the hosts' history; the plug-in itself uses WinINet
# and neither). SQLite's single-file form is made from its source tree
# with the native compiler and tclsh. Every step is skipped
# when its result is already in place, so running it again is quick.
set -euo pipefail

DEPS_DIR=${VARDOK_DEPS_DIR:-/opt/vardok-deps}
export DEBIAN_FRONTEND=noninteractive

packages=(
  cmake ninja-build make dpkg-dev gcc tcl
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
  wine wine32 fonts-wine
  libboost-dev googletest libpcre3-dev nlohmann-json3-dev
  clang libclang-rt-14-dev
  python3 openssl
  dnsmasq-base prometheus
  xvfb imagemagick xdotool x11-utils
)

need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: installing packages needs root (run as root, or install: ${packages[*]})" >&2
    exit 1
  fi
}

missing=()
for p in "${packages[@]}"; do
  arch_p=$p
  [ "$p" = wine32 ] && arch_p=wine32:i386
  dpkg-query -W -f='${Status}' "$arch_p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$arch_p")
done

src_list=/etc/apt/sources.list.d/vardok-deb-src.sources
apt_updated=0
# A mirror in the middle of a sync answers with an index of the wrong size:
# asked again a little later it is whole. After three tries the indexes that
# did come are used, and an install that still lacks a package says which.
apt_update() {
  [ "$apt_updated" -eq 0 ] || return 0
  local try
  for try in 1 2 3; do
    apt-get update -qq && break
    echo "setup: apt-get update failed (try $try of 3)" >&2
    [ "$try" -lt 3 ] && sleep $((try * 10))
  done
  apt_updated=1
}

if [ "${#missing[@]}" -gt 0 ]; then
  need_root
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt_update
  echo "setup: installing ${missing[*]}"
  if ! apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
    # Wine's 32-bit half needs each shared library at the same version in
    # both architectures; when one architecture's index of the security
    # suite could not be read, the two disagree. The release's own versions
    # agree.
    echo "setup: installing again from the release itself (-t bookworm)" >&2
    apt-get install -y -qq --no-install-recommends -t bookworm "${missing[@]}" >/dev/null
  fi
fi

# A Debian source package, unpacked (with Debian's patches) into
# $DEPS_DIR/NAME unless the file that shows it is there exists already.
fetch_source() {  # package, folder name, a file inside the tree
  local package=$1 name=$2 marker=$3
  [ -f "$DEPS_DIR/$name/$marker" ] && return 0
  need_root
  if [ ! -f "$src_list" ]; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$src_list"
    else
      printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' > "$src_list"
    fi
    apt_updated=0
  fi
  apt_update
  rm -rf "$DEPS_DIR/$name.tmp"
  mkdir -p "$DEPS_DIR/$name.tmp"
  (cd "$DEPS_DIR/$name.tmp" && apt-get source -qq "$package" >/dev/null 2>&1)
  local src
  src=$(find "$DEPS_DIR/$name.tmp" -maxdepth 1 -mindepth 1 -type d -name "$package-*" | head -n1)
  [ -n "$src" ] || { echo "setup: apt-get source $package gave no source tree" >&2; exit 1; }
  rm -rf "${DEPS_DIR:?}/$name"
  mv "$src" "$DEPS_DIR/$name"
  rm -rf "$DEPS_DIR/$name.tmp"
}

fetch_source pcre3 pcre3 CMakeLists.txt
fetch_source mbedtls mbedtls CMakeLists.txt
fetch_source sqlite3 sqlite3 configure

# SQLite's amalgamation (sqlite3.c and sqlite3.h), which the cross build
# compiles as one file: generated from the source tree by its own makefile.
amalgamation=$DEPS_DIR/sqlite3-amalgamation
if [ ! -f "$amalgamation/sqlite3.c" ]; then
  rm -rf "$amalgamation.tmp" && mkdir -p "$amalgamation.tmp"
  (cd "$amalgamation.tmp" && "$DEPS_DIR/sqlite3/configure" --disable-tcl --disable-readline >configure.log 2>&1 &&
    make sqlite3.c >make.log 2>&1) || { echo "setup: making SQLite's amalgamation failed (see $amalgamation.tmp)" >&2; exit 1; }
  mkdir -p "$amalgamation"
  cp "$amalgamation.tmp/sqlite3.c" "$amalgamation.tmp/sqlite3.h" "$amalgamation/"
  rm -rf "$amalgamation.tmp"
fi

echo "setup: dependencies in place"
