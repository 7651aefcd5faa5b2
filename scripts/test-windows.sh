#!/usr/bin/env bash
# Cross-compiles the Windows-only code (the COM bridge and the run-time it
# rests on) with mingw-w64 and runs its tests under wine in a scratch prefix.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/mingw -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARDEL_WERROR=ON
cmake --build build/mingw
prefix=$(mktemp -d /tmp/vardel-wine.XXXXXX)
trap 'WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true; rm -rf "$prefix"' EXIT
WINEPREFIX="$prefix" WINEDEBUG=-all ctest --test-dir build/mingw --output-on-failure --timeout 300
