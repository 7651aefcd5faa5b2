# What the launch benchmarks start from (source it with the benchmark's name):
# the build's launcher and the office, the helpers that drive them, a scratch
# folder $work whose offices and processes are stopped by id and which is
# removed at exit, and the sample presentation $work/sample.ppt, made by the
# office itself.
#
# Needs a display with a window manager: run them inside scripts/test-session.sh.
# VARDEL_BUILD names the build folder (default build/ci, the test command's).
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${VARDEL_BUILD:-$root/build/ci}
quenlo=$build/launcher/Quenlo
soffice=/usr/lib/libreoffice/program/soffice
[ -n "${DISPLAY:-}" ] || { echo "no DISPLAY: run inside scripts/test-session.sh" >&2; exit 1; }
[ -x "$quenlo" ] || { echo "$quenlo is missing: build first" >&2; exit 1; }

source "$root/scripts/e2e-lib.sh"
source "$root/launcher/tests/quenlo-driver.sh"
work=$(mktemp -d "/tmp/vardel-bench-$1.XXXXXX")
# Every office here runs in a profile under $work: found by that, stopped by id.
bench_offices() { pgrep -f "[${work:0:1}]${work:1}/" || true; }
stop_offices() {
  local p
  p=$(bench_offices)
  [ -z "$p" ] && return 0
  kill $p 2>/dev/null || true
  for _ in $(seq 100); do [ -z "$(bench_offices)" ] && return 0; sleep 0.1; done
  kill -9 $(bench_offices) 2>/dev/null || true
}
cleanup() { stop_offices; stop_pids; rm -rf "$work"; }
trap cleanup EXIT

"$root/components/office/tests/make-sample.sh" "$soffice" \
  "$root/components/office/tests/fixture/sample.fodp" "$work"
