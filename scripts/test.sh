#!/usr/bin/env bash
# Installs what the kit and its tests need, builds with warnings as errors and
# runs every test: the unit tests headless, the end-to-end tests inside a
# private X session with a window manager, PulseAudio and LibreOffice.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --test
cmake --preset ci
cmake --build --preset ci
scripts/test-session.sh ctest --preset ci "$@"
