#!/usr/bin/env bash
# Installs what the kit and its tests need, builds with warnings as errors and
# runs every test: the unit tests headless, the end-to-end tests inside a
# private X session with a window manager, PulseAudio and LibreOffice, and the
# Windows-only code cross-compiled with mingw-w64 and run under wine; then
# the Debian package is built, installed, tried and removed.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --test
cmake --preset ci
cmake --build --preset ci
scripts/test-windows.sh
scripts/test-session.sh bash -c 'ctest --preset ci "$@" && scripts/test-package.sh' ctest "$@"
