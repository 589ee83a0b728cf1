#!/usr/bin/env bash
# Builds the benchmarks in Release and prints one table: each of our figures
# against the best alternative, measured in the same run, with its target.
#   scripts/bench.sh [--verbose] [extra benchmark flags...]
# BENCH_BUILD_DIR overrides the build directory (default build/bench).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BENCH_BUILD_DIR:-$root/build/bench}"
started=$SECONDS
verbose=false
[[ ${1:-} == --verbose ]] && { verbose=true; shift; }

# One row per line: figure | our benchmark | its baseline (none: empty) |
# the median compared (cpu_time of the measuring thread, real_time = wall
# time, or a counter) | largest acceptable ratio (none: empty; "=N": our
# figure itself at most N). A benchmark is named as registered, plus
# "/threads:N" when it ran on N threads.
table="\
stored line, 1 thread vs spdlog byte ring|stored_line/ours|stored_line/spdlog_byte_ring|cpu_time|0.6
stored line, 1 thread vs spdlog ringbuffer_sink_mt|stored_line/ours|stored_line/spdlog_ringbuffer_sink_mt|cpu_time|1.1
stored line, 2 threads vs spdlog byte ring|stored_line/ours/threads:2|stored_line/spdlog_byte_ring/threads:2|real_time|0.5
stored line, 4 threads vs spdlog byte ring|stored_line/ours/threads:4|stored_line/spdlog_byte_ring/threads:4|real_time|
dropped call (level 32) vs spdlog filtered|dropped/ours|dropped/spdlog_filtered|cpu_time|1.0"
for m in get_server_path_name register_server unregister_server get_server_connect_result get_rfb_status; do
  table+="
$m round trip, mean|round_trip/ours/$m|round_trip/raw/$m|mean_ns|1.30
$m round trip, p99|round_trip/ours/$m|round_trip/raw/$m|p99_ns|1.30"
done
for m in get_server_path_name register_server unregister_server get_server_connect_result get_rfb_status; do
  table+="
$m, in-process channel vs its record copies|device/ours/$m|device/copies/$m|cpu_time|"
done
table+="
device part: one stored trace line|device/part/stored_trace_line||cpu_time|
device part: one history record|device/part/history_record||cpu_time|
heap allocations per stored trace line|device/part/stored_trace_line||allocations|=0"
for m in get_server_path_name unregister_server get_server_connect_result get_rfb_status; do
  table+="
heap allocations per $m|device/ours/$m||allocations|=0"
done
table+="
heap allocations per register_server (its history record)|device/ours/register_server||allocations|=1"
table+="
UCGETMEMINFO, full store vs fopen/fwrite/fclose|dump/ours|dump/floor_fopen_fwrite_fclose|cpu_ns|1.0
UCGETMEMINFO, full store, wall time|dump/ours|dump/floor_fopen_fwrite_fclose|real_time|
history rendering, 1000 records|history/render_1000||cpu_time|"

# The baselines, the harness and the reader of its results come from Debian packages.
missing=()
for package in libspdlog-dev libbenchmark-dev jq; do
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

# On a machine shared with other work, a higher priority (as root) keeps the
# scheduler's noise out of both sides of every ratio alike.
runner=()
[[ $(id -u) -eq 0 ]] && runner=(nice -n -10)

medians="$(mktemp)"
out="$(mktemp)"
log="$(mktemp)"
trap 'rm -f "$medians" "$out" "$log"' EXIT
for program in trace request device dump history; do
  echo "running comm_rms_bench_$program" >&2
  # Baseline and figure share the run: repetitions alternate at random, and
  # each ratio is taken between medians. Later flags override these.
  "${runner[@]}" "$build/bench/comm_rms_bench_$program" --benchmark_repetitions=9 \
    --benchmark_enable_random_interleaving=true --benchmark_min_time=0.02 \
    --benchmark_out="$out" --benchmark_out_format=json "$@" >"$log" 2>&1 ||
    { cat "$log" >&2; echo "comm_rms_bench_$program failed" >&2; exit 1; }
  if $verbose; then cat "$log" >&2; fi
  echo "finished comm_rms_bench_$program ($((SECONDS - started)) s so far)" >&2
  # "name|value|median" per figure, "name|error|message" per failed run.
  jq -r '.benchmarks[]
    | (.run_name | gsub("/(min_time|iterations|repeats):[^/]*|/(real|manual)_time"; "")) as $name
    | if .error_occurred then "\($name)|error|\(.error_message)"
      elif .aggregate_name == "median" then
        to_entries[] | select(.value | type == "number") | "\($name)|\(.key)|\(.value)"
      else empty end' "$out" >>"$medians"
done

field() { grep -m1 "^$1[[:space:]]*:" /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'; }
cpu="$(field 'model name') (family $(field 'cpu family'), model $(field model))"
echo
echo "Machine: $cpu, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Times in ns: medians over repetitions interleaved in one run; ratio = ours / baseline."
echo "measure: cpu_time = CPU time of the measuring thread, real_time = wall time, else a counter."
echo
echo "$table" | awk -F'|' '
  NR == FNR { value[$1 "|" $2] = $3; next }
  FNR == 1 { fmt = "%-52s %12s %12s %7s %8s %4s %9s\n"
             printf fmt, "figure", "ours", "baseline", "ratio", "target", "met", "measure"
             printf fmt, "------", "----", "--------", "-----", "------", "---", "-------" }
  function figure(name) {
    if ((name "|error") in value) return "error: " value[name "|error"]
    return (name "|" $4) in value ? sprintf("%.1f", value[name "|" $4]) : ""
  }
  { ours = figure($2); base = $3 == "" ? "-" : figure($3)
    if (ours == "") next  # left out by a filter on the command line
    if (base == "") base = "error: not run"
    ratio = "-"; target = "-"; met = "-"
    if ($5 ~ /^=/) {
      ours = sprintf("%.3f", value[$2 "|" $4]); target = "<= " substr($5, 2)
      met = ours + 0 <= substr($5, 2) + 0 ? "yes" : "no"
    } else if (ours + 0 > 0 && base + 0 > 0) {
      ratio = sprintf("%.3f", ours / base)
      if ($5 != "") { target = sprintf("<= %.2f", $5); met = ratio + 0 <= $5 + 0 ? "yes" : "no" }
    }
    if (met == "no") missed++
    printf fmt, $1, ours, base, ratio, target, met, $4 }
  END { printf "\n%d target(s) missed\n", missed }' "$medians" -

# The library's size on the device: the PowerPC cross build in Release, where
# the cross compiler is installed.
if command -v powerpc-linux-gnu-g++ >/dev/null && command -v powerpc-linux-gnu-size >/dev/null; then
  echo "building the PowerPC library in $build-ppc (Release)" >&2
  cmake -S "$root" -B "$build-ppc" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-powerpc-linux-gnu.cmake" \
    -DCOMM_RMS_BUILD_TESTS=OFF -DCOMM_RMS_BUILD_TOOLS=OFF -DCOMM_RMS_CONFORMANCE=OFF >/dev/null
  cmake --build "$build-ppc" --target comm_rms -j2 >/dev/null
  powerpc-linux-gnu-size "$build-ppc/libcomm_rms.so" | awk 'NR == 2 {
    printf "PowerPC libcomm_rms.so (Release): text %d, data %d, bss %d bytes\n", $1, $2, $3 }'
else
  echo "PowerPC libcomm_rms.so: no size (no powerpc-linux-gnu cross compiler here)"
fi
echo "total $((SECONDS - started)) s"
