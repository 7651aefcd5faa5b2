#!/usr/bin/env bash
# Installs what the kit needs, builds it, installs it into build/prefix and
# starts a program: the launcher Quenlo, or the recorder with "grabvid".
#
#   scripts/run.sh            # starts Quenlo
#   scripts/run.sh grabvid    # starts Grabvid
set -euo pipefail
cd "$(dirname "$0")/.."

program=Quenlo
case "${1:-quenlo}" in
  quenlo|Quenlo) program=Quenlo ;;
  grabvid|Grabvid) program=Grabvid ;;
  *) echo "usage: $0 [quenlo|grabvid]" >&2; exit 2 ;;
esac

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
cmake --install build/release >/dev/null
exec "build/prefix/bin/$program"
