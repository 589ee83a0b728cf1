#!/usr/bin/env bash
# Builds the benchmarks in Release and prints one table: each of our figures
# against the best alternative, measured in the same run, with its target.
#   scripts/bench.sh [--verbose] [extra benchmark flags...]
# BENCH_BUILD_DIR overrides the build directory (default build/bench).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BENCH_BUILD_DIR:-$root/build/bench}"
started=$SECONDS

# The baselines and the harness come from Debian packages.
missing=()
for package in libspdlog-dev libbenchmark-dev; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing ${missing[*]}" >&2
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >&2
fi

echo "building in $build (Release)" >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCOMM_RMS_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target comm_rms_bench -j2 >/dev/null

# The harness checks its baselines before anything is measured.
if [[ -x "$build/bench/comm_rms_bench_selftest" ]]; then
  "$build/bench/comm_rms_bench_selftest" --gtest_brief=1 >/dev/null ||
    { echo "bench self-test failed" >&2; exit 1; }
fi

# The dump writes to a fixed directory that it does not create.
[[ -d /tmp/debug_file ]] || mkdir -m 0700 /tmp/debug_file

# On a machine shared with other work, a higher priority (as root) keeps the
# scheduler's noise out of both sides of every ratio alike.
runner=()
[[ $(id -u) -eq 0 ]] && runner=(nice -n -10)

rows="$(mktemp)"
out="$(mktemp)"
trap 'rm -f "$rows" "$out"' EXIT
for program in comm_rms_bench_trace comm_rms_bench_request comm_rms_bench_dump comm_rms_bench_history; do
  echo "running $program" >&2
  "${runner[@]}" "$build/bench/$program" "$@" >"$out" || { echo "$program failed" >&2; exit 1; }
  echo "finished $program ($((SECONDS - started)) s so far)" >&2
  # A filter given on the command line may leave a program without rows.
  grep '^ROW|' "$out" >>"$rows" || true
done

field() { grep -m1 "^$1[[:space:]]*:" /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'; }
cpu="$(field 'model name') (family $(field 'cpu family'), model $(field model))"
echo
echo "Machine: $cpu, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Times in ns: medians over repetitions interleaved in one run; ratio = ours / baseline."
echo "clock: cpu = CPU time of the measuring thread, real = wall time."
echo
awk -F'|' '
  BEGIN { fmt = "%-52s %12s %12s %7s %8s %4s %6s\n"
          printf fmt, "figure", "ours", "baseline", "ratio", "target", "met", "clock"
          printf fmt, "------", "----", "--------", "-----", "------", "---", "-----" }
  { printf fmt, $2, $3, $4, $5, $6, $7, $8; if ($7 == "no") missed++ }
  END { printf "\n%d target(s) missed\n", missed }' "$rows"
echo "total $((SECONDS - started)) s"
