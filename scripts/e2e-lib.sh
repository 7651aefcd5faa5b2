# Shared by the end-to-end scripts (source it): processes tracked by id and
# stopped again, polling with a deadline, failing with a message, and finding
# the processes that carry a given environment entry (an office started by a
# launcher that has gone is found by its private profile, never by name).

pids=()

# stop_pids: asks every tracked process to end, then kills what is left.
stop_pids() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
}

# poll SECONDS COMMAND...: until the command succeeds; returns 1 after SECONDS.
poll() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}

fail() { echo "e2e: FAIL: $*" >&2; exit 1; }

# pids_with_env NAME=VALUE: the processes whose environment has that entry.
pids_with_env() {
  local env
  for env in /proc/[0-9]*/environ; do
    if { tr '\0' '\n' <"$env"; } 2>/dev/null | grep -qxF "$1"; then
      env=${env#/proc/}
      echo "${env%/environ}"
    fi
  done
}
