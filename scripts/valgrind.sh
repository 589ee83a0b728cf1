#!/usr/bin/env bash
# Runs the unit test executables (tests/log, tests/facade, tests/host) under
# valgrind memcheck. Any memcheck error or definite leak fails the run.
#   scripts/valgrind.sh [BUILD_DIR]    (default: build/default, preset `default`)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build/default}"

if ! command -v valgrind >/dev/null 2>&1; then
  echo "valgrind: not installed (apt-get install valgrind)" >&2
  exit 2
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset default -S "$root" >/dev/null
fi
cmake --build "$build" -j2 >/dev/null

logs="$build/valgrind"
rm -rf "$logs"
mkdir -p "$logs"
failed=0
count=0
for group in log facade host; do
  dir="$build/tests/$group"
  [ -d "$dir" ] || continue
  while IFS= read -r exe; do
    name="$(basename "$exe")"
    count=$((count + 1))
    start=$(date +%s)
    rc=0
    # Memory errors count in every process, forked test scenarios included
    # (they fail their test through the exit code). Leaks count in the test
    # process itself only: a forked child ends without unwinding its
    # parent's objects. Re-executed death test children run natively.
    valgrind --tool=memcheck --error-exitcode=97 --leak-check=full \
      --errors-for-leak-kinds=none --show-leak-kinds=definite \
      --log-file="$logs/$name.%p.log" "$exe" >"$logs/$name.out" 2>&1 || rc=$?
    took=$(($(date +%s) - start))
    errors="$(cat "$logs/$name".*.log 2>/dev/null |
      sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' | awk '{s+=$1} END {print s+0}')"
    main_log="$(grep -l "Parent PID: $$\$" "$logs/$name".*.log 2>/dev/null | head -1 || true)"
    lost=unknown
    if [ -n "$main_log" ]; then
      lost="$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$main_log" | tr -d , |
        awk '{s+=$1} END {print s+0}')"
    fi
    if [ "$rc" -ne 0 ] || [ "$errors" -ne 0 ] || [ "$lost" != 0 ]; then
      failed=1
      echo "valgrind: $name FAILED (exit $rc, $errors errors, $lost bytes lost); logs in $logs" >&2
    else
      echo "valgrind: $name clean (${took}s)"
    fi
  done < <(find "$dir" -maxdepth 1 -type f -executable | sort)
done
if [ "$count" -eq 0 ]; then
  echo "valgrind: no test executables under $build/tests" >&2
  exit 2
fi
echo "valgrind: $count executables, $([ "$failed" -eq 0 ] && echo "0 errors" || echo "FAILURES")"
exit "$failed"
