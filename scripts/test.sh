#!/usr/bin/env bash
# Builds and runs every test: the host suite, then the whole PowerPC suite
# (unit and integration tests, all under qemu-ppc) where the cross compiler
# and qemu-user are installed. Exits non-zero when anything fails.
#   scripts/test.sh            host + PowerPC; installs what is missing (make deps)
#                              when it may (root, or sudo without a password)
#   scripts/test.sh host       only the host suite (needs no cross tools)
#   scripts/test.sh ppc        only the PowerPC suite
#   scripts/test.sh asan|tsan  one sanitizer preset (TZ set to a non-UTC zone)
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
# Called from make: the builds below run their own make with their own -j.
unset MAKEFLAGS MFLAGS MAKELEVEL

# configure, build and test one preset
run_preset() {
  local preset=$1 start=${SECONDS}
  echo "=== ${preset}: configure, build, test"
  cmake --preset "${preset}" >/dev/null
  cmake --build --preset "${preset}" -j "${jobs}"
  ctest --preset "${preset}" -j "${jobs}"
  echo "=== ${preset}: passed in $((SECONDS - start)) s"
}

# Local-time code must be exercised in a zone that is not UTC, with a
# half-hour offset so that hour-only arithmetic shows up too.
non_utc_zone() {
  local zone=Asia/Kolkata
  if [[ ! -e /usr/share/zoneinfo/${zone} ]]; then
    echo "missing /usr/share/zoneinfo/${zone} (Debian package tzdata)" >&2
    exit 1
  fi
  echo "${zone}"
}

# Why the PowerPC suite cannot run here; nothing when it can.
ppc_missing() {
  if ! command -v powerpc-linux-gnu-g++ >/dev/null; then
    echo "powerpc-linux-gnu-g++ not installed (Debian package g++-powerpc-linux-gnu)"
  elif ! command -v qemu-ppc >/dev/null && ! command -v qemu-ppc-static >/dev/null; then
    echo "qemu-ppc not installed (Debian package qemu-user)"
  fi
}

# Installs the missing packages where that needs no password; else stops
# with the command that would, before anything is built.
set_up() {
  local why
  why=$(ppc_missing)
  [[ -z ${why} ]] && return 0
  if (($(id -u) == 0)) || sudo -n true 2>/dev/null; then
    echo "=== set-up: ${why}; installing with apt-get (scripts/install-deps.sh)"
    scripts/install-deps.sh
    return 0
  fi
  echo "The PowerPC suite needs: ${why}." >&2
  echo "Install it with:  sudo make deps    (then run make test again)" >&2
  echo "or run the host suite alone:  make test-host" >&2
  exit 1
}

case "${1:-all}" in
  all)
    set_up
    run_preset default
    run_preset ppc
    ;;
  host)
    run_preset default
    ;;
  ppc)
    why=$(ppc_missing)
    if [[ -n ${why} ]]; then
      echo "PowerPC suite cannot run: ${why}" >&2
      exit 1
    fi
    run_preset ppc
    ;;
  asan | tsan)
    zone=$(non_utc_zone)
    echo "TZ=${zone}"
    TZ=${zone} run_preset "$1"
    ;;
  *)
    echo "usage: $0 [all|host|ppc|asan|tsan]" >&2
    exit 2
    ;;
esac
echo "=== all tests passed (${1:-all})"
