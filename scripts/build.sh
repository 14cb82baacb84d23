#!/usr/bin/env bash
# Configures and builds the cross build (build/win32) and, unless
# VARDOK_NATIVE=0, the native sanitizer build (build/native). Incremental.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_type=${VARDOK_BUILD_TYPE:-Debug}
jobs=${VARDOK_JOBS:-$(nproc)}

configure() {  # folder, extra arguments...
  local dir=$1; shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" "$@" >/dev/null
  fi
}

configure "$root/build/win32" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-mingw.cmake"
cmake --build "$root/build/win32" -j "$jobs"

if [ "${VARDOK_NATIVE:-1}" != 0 ]; then
  configure "$root/build/native" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
  cmake --build "$root/build/native" -j "$jobs"
fi
