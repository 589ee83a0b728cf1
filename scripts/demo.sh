#!/usr/bin/env bash
# The demo: builds the simulator and rmsctl (preset default), starts the
# simulator in a private run directory, runs one client session against it
# (register, path, connection result, RFB status, unregister, dump), prints
# the dump file, its table from rmsctl show and the simulator's log, and
# stops the simulator. Nothing is left running; the dump file stays in
# /tmp/debug_file/.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
echo "=== build (preset default: comm-rms-service, rmsctl)"
cmake --preset default >/dev/null
# One line per finished target, so that a first build shows its progress.
cmake --build --preset default -j "${jobs}" --target comm-rms-service rmsctl |
  { grep --line-buffered -E '^\[ *[0-9]+%\] Built target' || true; }
bin=build/default/tools

run_dir=$(mktemp -d /tmp/comm_rms_demo.XXXXXX)
export VANTOREL_RUN_DIR=${run_dir}
service_pid=""
stop_service() {
  if [[ -n ${service_pid} ]]; then
    kill -TERM "${service_pid}" 2>/dev/null || true
    wait "${service_pid}" 2>/dev/null || true
    service_pid=""
  fi
}
trap 'stop_service; rm -rf "${run_dir}"' EXIT

# The library writes its dump file there and does not create the directory.
[[ -d /tmp/debug_file ]] || mkdir -m 0700 /tmp/debug_file

"${bin}/comm-rms-service" --connect-result /demo/panel0=0 >"${run_dir}/service.log" 2>&1 &
service_pid=$!
for _ in $(seq 200); do
  grep -q '^comm-rms-service: serving' "${run_dir}/service.log" && break
  kill -0 "${service_pid}" 2>/dev/null || break
  sleep 0.05
done
if ! grep -q '^comm-rms-service: serving' "${run_dir}/service.log"; then
  echo "the simulator did not start:" >&2
  cat "${run_dir}/service.log" >&2
  exit 1
fi

echo "=== client session (rmsctl)"
status=0
"${bin}/rmsctl" \
  register --url vnc://127.0.0.1:5900 --path /demo/panel0 \
  path \
  connect-result --path /demo/panel0 \
  rfb-status \
  unregister --path /demo/panel0 --terminated 1 \
  rfb-status \
  dump || status=$?

stop_service
if [[ ${status} -eq 0 ]]; then
  echo "=== the dump read back (rmsctl show)"
  "${bin}/rmsctl" show /tmp/debug_file/comm_rms_client_debug.log
fi
echo "=== simulator log"
cat "${run_dir}/service.log"
if [[ ${status} -ne 0 ]]; then
  echo "=== the client session failed (exit ${status})" >&2
fi
exit "${status}"
