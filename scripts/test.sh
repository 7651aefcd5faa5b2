#!/usr/bin/env bash
# Installs what the kit and its tests need, builds with warnings as errors and
# runs every test: the unit tests headless, the end-to-end tests inside a
# private X session with a window manager, PulseAudio and LibreOffice, and the
# Windows-only code cross-compiled with mingw-w64 and run under wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --test
cmake --preset ci
cmake --build --preset ci
scripts/test-windows.sh
scripts/test-session.sh ctest --preset ci "$@"
