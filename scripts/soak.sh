#!/usr/bin/env bash
# A longer run of the service-fault test: the simulator is killed KILLS
# times and stalled STALLS times while THREADS threads loop over all five
# requests.
#   scripts/soak.sh [KILLS [STALLS [THREADS [SEED]]]]    (default 50 20 8)
# Uses the build of preset `default` (build/default); BUILD_DIR overrides it.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build/default}"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset default -S "$root" >/dev/null
fi
echo "soak: building reliability_service_faults"
cmake --build "$build" --target reliability_service_faults -j2 >/dev/null

export SOAK_KILLS="${1:-50}"
export SOAK_STALLS="${2:-20}"
export SOAK_THREADS="${3:-8}"
if [ -n "${4:-}" ]; then export SOAK_SEED="$4"; fi
start=$(date +%s)
log="$build/soak.log"
echo "soak: running (one line as each part finishes)"
# Each part's result and figures as it finishes; the whole log in $log.
set +e
"$build/tests/reliability/reliability_service_faults" --gtest_color=no 2>&1 | tee "$log" |
  grep --line-buffered -E '^\[ figures  \]|^\[ +(OK|FAILED) +\]'
rc=${PIPESTATUS[0]}
set -e
if [ "$rc" -ne 0 ]; then
  grep -vE '^request\[' "$log" | tail -40 >&2
fi
echo "soak: exit $rc after $(($(date +%s) - start)) s (log: $log)"
exit "$rc"
