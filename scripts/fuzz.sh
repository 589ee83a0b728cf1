#!/usr/bin/env bash
# Builds the libFuzzer targets (preset `fuzz`, clang 14) and runs each for a
# given time, starting from its seed corpus in tests/reliability/fuzz/corpus/.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
# New inputs go to build/fuzz/corpus/<target>/ (the seeds stay as they are),
# crashing inputs to build/fuzz/findings/<target>/. Prints executions and
# findings per target; exits non-zero when any target found a fault.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
shift || true
build="$root/build/fuzz"
seeds="$root/tests/reliability/fuzz/corpus"

if ! command -v clang++-14 >/dev/null 2>&1; then
  echo "fuzz: clang++-14 not found (apt-get install clang-14 libclang-rt-14-dev)" >&2
  exit 2
fi

cmake --preset fuzz -S "$root" >/dev/null
cmake --build "$build" --target comm_rms_fuzz_targets -j2 >/dev/null

if [ "$#" -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for dir in "$seeds"/*/; do targets+=("$(basename "$dir")"); done
fi

failed=0
summary=()
for target in "${targets[@]}"; do
  exe="$build/tests/reliability/fuzz/fuzz_$target"
  if [ ! -x "$exe" ]; then
    echo "fuzz: no target $target" >&2
    failed=1
    continue
  fi
  work="$build/corpus/$target"
  findings="$build/findings/$target"
  rm -rf "$findings"
  mkdir -p "$work" "$findings"
  log="$build/fuzz_$target.log"
  rc=0
  "$exe" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$findings/" "$work" "$seeds/$target" >"$log" 2>&1 || rc=$?
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  found="$(find "$findings" -type f | wc -l)"
  if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then
    failed=1
    echo "fuzz: $target FAILED (exit $rc); see $log and $findings" >&2
    tail -30 "$log" >&2
  fi
  summary+=("$(printf '%-18s %12s execs  %3s findings  %4ss' "$target" "${execs:-?}" "$found" "$seconds")")
done

echo "fuzz summary:"
printf '  %s\n' "${summary[@]}"
exit "$failed"
