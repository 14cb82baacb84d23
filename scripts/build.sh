#!/usr/bin/env bash
# Configures and builds the cross build (build/win32: the DLL that ships,
# the hosts and the tests, optimised with assertions on) and, unless
# VARDOK_NATIVE=0, the native sanitizer build (build/native). Incremental.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
win32_type=${VARDOK_BUILD_TYPE:-RelWithDebInfo}
jobs=${VARDOK_JOBS:-$(nproc)}

configure() {  # folder, build type, extra arguments...
  local dir=$1 type=$2; shift 2
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
  elif ! grep -q "^CMAKE_BUILD_TYPE:STRING=$type\$" "$dir/CMakeCache.txt"; then
    cmake "$dir" -DCMAKE_BUILD_TYPE="$type" >/dev/null
  fi
}

configure "$root/build/win32" "$win32_type" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-mingw.cmake"
cmake --build "$root/build/win32" -j "$jobs"

if [ "${VARDOK_NATIVE:-1}" != 0 ]; then
  configure "$root/build/native" Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
  cmake --build "$root/build/native" -j "$jobs"
fi
